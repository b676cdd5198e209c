// Hand-built deltas: instruction semantics xdelta3 seldom or never writes
// (copies overlapping what they make, every address mode), what the decoder
// refuses and why, hostile fields, the same results through tiny buffers,
// failing I/O and memory, and a source above 4 GiB.
#include <gtest/gtest.h>

#include <functional>
#include <random>

#include "Adler32.h"
#include "AllocationMeter.h"
#include "DeltaAdvice.h"
#include "DeltaBuilder.h"
#include "DeltaFiles.h"

namespace {

using namespace deltabuilder;
using deltafiles::MemorySink;
using deltafiles::MemorySource;
using vcdiff::Field;
using vcdiff::Status;

struct Outcome {
  vcdiff::Result result;
  Bytes out;
};

Outcome DecodeBytes(const Bytes& delta, const Bytes& source,
                    const vcdiff::BufferSizes& sizes = vcdiff::BufferSizes()) {
  MemorySource deltaBytes(delta), sourceBytes(source);
  MemorySink sink;
  Outcome o;
  o.result = vcdiff::Decode(deltaBytes, sourceBytes, sink, sizes);
  o.out = sink.bytes;
  return o;
}

// `size` bytes of `unit` over and over.
Bytes RepeatTo(const std::string& unit, size_t size) {
  Bytes b;
  while (b.size() < size) Append(b, Text(unit));
  b.resize(size);
  return b;
}

Bytes Concat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) Append(out, p);
  return out;
}

struct SemanticsCase {
  const char* name;
  Bytes source = {};
  std::vector<Window> windows;
  Bytes expected;
};

const Bytes kAlphabet = Text("abcdefghijklmnopqrst");
const Bytes kLong = [] {
  Bytes b(400);
  for (size_t i = 0; i < b.size(); ++i) b[i] = uint8_t(i * 7 + 1);
  return b;
}();
Bytes LongAt(size_t at, size_t n) { return Bytes(kLong.begin() + at, kLong.begin() + at + n); }

std::vector<SemanticsCase> SemanticsCases() {
  return {
      {"copy overlapping what it makes, period 1",
       {},
       {Window().Add(Text("z")).Copy(40, kSelf, 0)},
       RepeatTo("z", 41)},
      {"long periodic copy past the doubling",
       {},
       {Window().Add(Text("0123456")).Copy(100000, kSelf, 0)},
       RepeatTo("0123456", 100007)},
      {"every address mode and both caches",
       {},
       {Window()
            .Add(kAlphabet)
            .Copy(4, kSelf, 3)     // "defg"; near[0] = 3, same[3] = 3
            .Copy(4, kNear0, 5)    // 3 + 5 = 8, "ijkl"; near[1] = 8
            .Copy(4, kSame0, 3)    // same[3] = 3, "defg"; near[2] = 3
            .Copy(4, kNear1, 0)    // near[1] = 8, "ijkl"; near[3] = 8
            .Copy(4, kHere, 26)    // here 36 - 26 = 10, "klmn"; near[0] = 10
            .Copy(4, kNear0, 1)},  // 10 + 1 = 11, "lmno"
       Concat({kAlphabet, Text("defgijkldefgijklklmnlmno")})},
      {"same cache slots past the first 256",
       {},
       // Address 300 lands in slot 300 (mode 7, byte 44) and 256 in slot 256
       // (mode 7, byte 0); the last mode's byte 0 is slot 512, still zero.
       {Window()
            .Add(kLong)
            .Copy(5, kSelf, 300)
            .Copy(6, kSame1, 300 - 256)
            .Copy(4, kSelf, 256)
            .Copy(4, kSame1, 0)
            .Copy(4, kSame2, 0)},
       Concat(
           {kLong, LongAt(300, 5), LongAt(300, 6), LongAt(256, 4), LongAt(256, 4), LongAt(0, 4)})},
      {"paired codes: ADD 1 + COPY 4, COPY 4 + ADD 1",
       {},
       {[] {
         Window w;
         w.Add(Text("ABCDEFGH"));
         w.inst.push_back(163);  // ADD 1, COPY 4 mode 0
         w.data.push_back('!');
         w.addr.push_back(0);
         w.inst.push_back(247);  // COPY 4 mode 0, ADD 1
         w.addr.push_back(4);
         w.data.push_back('?');
         w.targetLength += 10;
         return w;
       }()},
       Text("ABCDEFGH!ABCDEFGH?")},
      {"windows with and without a source and checksums",
       Text("SOURCE"),
       {Window().Source(0, 6).Copy(6, kSelf, 0).Checksum(Text("SOURCE")), Window().Add(Text("+")),
        Window().Source(3, 3).Copy(3, kSelf, 0).Copy(1, kSelf, 3).Checksum(Text("RCER"))},
       Text("SOURCE+RCER")},
      {"an empty window and a delta of no windows", {}, {Window()}, {}},
  };
}

TEST(VcdiffDecoderTest, DecodesHandBuiltInstructions) {
  for (const SemanticsCase& c : SemanticsCases()) {
    SCOPED_TRACE(c.name);
    const Bytes delta = Delta(c.windows);
    const Outcome o = DecodeBytes(delta, c.source);
    EXPECT_EQ(o.result.status, Status::kOk) << o.result.detail;
    EXPECT_EQ(o.result.deltaOffset, delta.size());
    EXPECT_EQ(o.out, c.expected);
  }
  EXPECT_EQ(DecodeBytes(Header(), {}).result.status, Status::kOk);
}

// A delta with one field replaced by raw bytes, for fields the builder writes well.
Bytes WithBytes(Bytes delta, size_t at, size_t length, const Bytes& replacement) {
  delta.erase(delta.begin() + at, delta.begin() + at + length);
  delta.insert(delta.begin() + at, replacement.begin(), replacement.end());
  return delta;
}

Bytes Varint(uint64_t v) {
  Bytes b;
  PutVarint(b, v);
  return b;
}

struct RefusalCase {
  const char* name;
  Bytes delta;
  Status status;
  Field field;         // the header field refused
  const char* advice;  // what the detail ends with, for the team that remakes the delta
  uint32_t maxTargetWindow = vcdiff::BufferSizes().maxTargetWindow;
};

constexpr char kNoSecondary[] = "; make the delta with xdelta3 -S none";
constexpr char kPlainXdelta3[] = "; make the delta with xdelta3 -e -S none";

// Header, then one window of five bytes with no source: "12345".
Bytes Plain() { return Delta({Window().Add(Text("12345"))}); }
constexpr size_t kWindowAt = 5;  // after the magic, version and indicator

std::vector<RefusalCase> RefusalCases() {
  Bytes decompress = Header(0x01);
  decompress.push_back(2);  // a compressor's id
  Append(decompress, Window().Add(Text("12345")).Encode());
  Bytes codeTable = Header(0x02);
  Append(codeTable, Bytes{0x05, 4, 3, 0, 0, 0, 0, 0});
  Window target = Window().Add(Text("12345"));
  target.indicator = 0x02;
  target.segmentLength = 5;
  const auto compressed = [](uint8_t bits) {
    Window w = Window().Add(Text("12345"));
    w.deltaIndicator = bits;
    return Delta({w});
  };
  Window big;
  big.targetLength = (16u << 20) + 1;
  Window justOver = Window().Add(Bytes(1001, 'a'));
  const Status unsupported = Status::kUnsupported, corrupt = Status::kCorrupt;
  return {
      {"secondary compression in the header", decompress, unsupported, Field::kSecondaryCompressor,
       kNoSecondary},
      {"compressed data section", compressed(0x01), unsupported, Field::kDeltaIndicator,
       kNoSecondary},
      {"compressed instructions section", compressed(0x02), unsupported, Field::kDeltaIndicator,
       kNoSecondary},
      {"compressed addresses section", compressed(0x04), unsupported, Field::kDeltaIndicator,
       kNoSecondary},
      {"own code table", codeTable, unsupported, Field::kCodeTable,
       "; make the delta with xdelta3, which uses the default table"},
      {"source from the target", Delta({Window().Add(Text("ab")), target}), unsupported,
       Field::kWindowIndicator, "; make the delta with xdelta3 -e -S none -s SOURCE"},
      {"window over 16 MiB", Delta({big}), unsupported, Field::kTargetLength,
       "; make the delta with xdelta3 -W 16777216 or less"},
      {"window over a caller's limit", Delta({justOver}), unsupported, Field::kTargetLength,
       "; make the delta with xdelta3 -W 1000 or less", 1000},
      {"unknown version", WithBytes(Plain(), 3, 1, {1}), unsupported, Field::kVersion,
       kPlainXdelta3},
      {"unknown header bits", WithBytes(Plain(), 4, 1, {0x08}), unsupported,
       Field::kHeaderIndicator, kPlainXdelta3},
      // Corrupt, not unsupported: no advice, as no option of xdelta3's makes them.
      {"unknown window bits", WithBytes(Plain(), kWindowAt, 1, {0x10}), corrupt,
       Field::kWindowIndicator, ""},
      {"source and target both", WithBytes(Plain(), kWindowAt, 1, {0x03, 0, 0}), corrupt,
       Field::kWindowIndicator, ""},
      {"unknown delta indicator bits", compressed(0x08), corrupt, Field::kDeltaIndicator, ""},
  };
}

TEST(VcdiffDecoderTest, RefusesWhatItDoesNotDecode) {
  for (const RefusalCase& c : RefusalCases()) {
    SCOPED_TRACE(c.name);
    vcdiff::BufferSizes sizes;
    sizes.maxTargetWindow = c.maxTargetWindow;
    const Outcome o = DecodeBytes(c.delta, {}, sizes);
    EXPECT_EQ(o.result.status, c.status)
        << vcdiff::StatusName(o.result.status) << ": " << o.result.detail;
    EXPECT_EQ(int(o.result.field), int(c.field)) << o.result.detail;
    EXPECT_EQ(RemakeAdvice(o.result, sizes), c.advice);
    EXPECT_EQ(DetailWithAdvice(o.result, sizes).find('\n'), std::string::npos);
    if (std::string(c.name) == "source from the target") EXPECT_EQ(o.out, Text("ab"));
    else EXPECT_TRUE(o.out.empty());
  }
}

struct HostileCase {
  const char* name;
  Bytes delta;
  Bytes source = {};
  Status status = Status::kCorrupt;
  Field field = Field::kNone;  // set only where the damage is in a field the advice goes by
};

std::vector<HostileCase> HostileCases() {
  const Bytes plain = Plain();
  const Bytes ten = Text("0123456789");
  Window sized = Window().Add(Text("12345"));
  sized.targetLength = 4;  // the ADD runs past the window
  Window shortOf = Window().Add(Text("12345"));
  shortOf.targetLength = 6;
  Window leftoverData = Window().Add(Text("12345"));
  leftoverData.data.push_back('!');
  Window leftoverAddr = Window().Add(Text("12345"));
  leftoverAddr.addr.push_back(0);
  Window badChecksum = Window().Add(Text("12345")).Checksum(Text("12346"));
  // Position plus length wraps round to 2, inside the source.
  const Bytes overflowSegment =
      WithBytes(Delta({Window().Source(1, 2).Copy(4, kSelf, 0)}), kWindowAt + 1, 2,
                Concat({Varint(UINT64_MAX - 2), Varint(5)}));
  return {
      {"copy from the byte it makes", Delta({Window().Add(Text("ab")).Copy(4, kSelf, 2)})},
      // Address 2 is "GH" in the segment; a copied string lies wholly in the
      // source or wholly in the target, and xdelta3 -d refuses this one too.
      {"copy running from the source segment on into the target",
       Bytes{0xD6, 0xC3, 0xC4, 0x00, 0x00, 0x01, 0x04, 0x04, 0x0A, 0x08, 0x00, 0x02, 0x02, 0x01,
             0x78, 0x79, 0x03, 0x16, 0x02},
       Text("ABCDEFGH")},
      {"copy from before the segment", Delta({Window().Add(Text("ab")).Copy(4, kHere, 3)})},
      {"copy with no source and nothing made yet", Delta({Window().Copy(4, kSelf, 0)})},
      {"near address overflowing",
       Delta({Window().Add(Text("abcdef")).Copy(4, kSelf, 5).Copy(4, kNear0, UINT64_MAX - 2)})},
      {"instruction past the window's end", Delta({sized})},
      {"instructions short of the window", Delta({shortOf})},
      {"data left over", Delta({leftoverData})},
      {"addresses left over", Delta({leftoverAddr})},
      {"segment past the source's end", Delta({Window().Source(6, 5).Copy(4, kSelf, 0)}), ten},
      {"segment position overflowing", overflowSegment, ten},
      // In the target window length.
      {"integer over 64 bits",
       WithBytes(plain, kWindowAt + 2, 1,
                 Bytes{0x82, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x05}),
       {},
       Status::kCorrupt,
       Field::kTargetLength},
      {"integer of eleven bytes",
       WithBytes(plain, kWindowAt + 2, 1,
                 Bytes{0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x05}),
       {},
       Status::kCorrupt,
       Field::kTargetLength},
      {"encoding longer than its sections",
       WithBytes(Concat({plain, {0}}), kWindowAt + 1, 1, Varint(plain[kWindowAt + 1] + 1))},
      {"sections longer than the encoding", WithBytes(plain, kWindowAt + 4, 1, Varint(6))},
      {"window checksum", Delta({badChecksum}), {}, Status::kWindowChecksum},
  };
}

TEST(VcdiffDecoderTest, StopsOnHostileDeltas) {
  for (const HostileCase& c : HostileCases()) {
    SCOPED_TRACE(c.name);
    const Outcome o = DecodeBytes(c.delta, c.source);
    EXPECT_EQ(o.result.status, c.status)
        << vcdiff::StatusName(o.result.status) << ": " << o.result.detail;
    EXPECT_EQ(int(o.result.field), int(c.field)) << o.result.detail;
    EXPECT_FALSE(o.result.detail.empty());
    EXPECT_LE(o.result.deltaOffset, c.delta.size());
    EXPECT_TRUE(o.out.empty()) << "a window that failed reached the sink";
  }
}

// Reads fail from a given offset on, as a file on a failing disk would.
class FailingSource : public vcdiff::ByteSource {
 public:
  FailingSource(const Bytes& bytes, uint64_t failFrom) : bytes_(bytes), failFrom_(failFrom) {}
  uint64_t Size() const override { return bytes_.Size(); }
  bool ReadAt(uint64_t offset, void* buffer, size_t size) override {
    return offset + size <= failFrom_ && bytes_.ReadAt(offset, buffer, size);
  }

 private:
  MemorySource bytes_;
  uint64_t failFrom_;
};

class RefusingSink : public vcdiff::ByteSink {
 public:
  bool Write(const uint8_t*, size_t) override { return false; }
};

// The buffers a caller can shrink: tiny ones make small deltas take every
// refill, direct read and block eviction that large ones take.
vcdiff::BufferSizes Tiny(uint32_t deltaBuffer = 16, uint32_t sourceBlock = 256) {
  vcdiff::BufferSizes sizes;
  sizes.deltaBuffer = deltaBuffer;
  sizes.sourceBlock = sourceBlock;
  return sizes;
}

TEST(VcdiffDecoderTest, ReportsWhichSideFailed) {
  const Bytes source(100000, 's');
  // A long copy read straight into the window, then short ones through the blocks.
  const Bytes delta = Delta({Window().Add(Bytes(300000, 'a')), Window()
                                                                   .Source(0, source.size())
                                                                   .Copy(source.size(), kSelf, 0)
                                                                   .Copy(5, kSelf, 60000)
                                                                   .Copy(5, kSelf, 99990)});
  for (const vcdiff::BufferSizes& sizes : {vcdiff::BufferSizes(), Tiny(), Tiny(1, 1)}) {
    SCOPED_TRACE("buffers of " + std::to_string(sizes.deltaBuffer) + " bytes");
    for (const uint64_t failFrom : {uint64_t(100), uint64_t(200000), uint64_t(delta.size() - 4)}) {
      FailingSource failingDelta(delta, failFrom);
      MemorySource good(source);
      MemorySink sink;
      const vcdiff::Result r = vcdiff::Decode(failingDelta, good, sink, sizes);
      EXPECT_EQ(r.status, Status::kDeltaRead) << failFrom << ": " << r.detail;
    }
    for (const uint64_t failFrom : {uint64_t(50000), uint64_t(99999)}) {
      MemorySource goodDelta(delta);
      FailingSource failingSource(source, failFrom);
      MemorySink sink;
      const vcdiff::Result r = vcdiff::Decode(goodDelta, failingSource, sink, sizes);
      EXPECT_EQ(r.status, Status::kSourceRead) << r.detail;
      EXPECT_EQ(sink.windows, std::vector<size_t>{300000})
          << "the first window should have been written";
    }
    MemorySource goodDelta(delta), good(source);
    RefusingSink refusing;
    EXPECT_EQ(vcdiff::Decode(goodDelta, good, refusing, sizes).status, Status::kSinkRefused);
  }
}

// Where the buffers end must change nothing a caller sees: the status, where
// the decode stopped, what it says and every byte.
TEST(VcdiffDecoderTest, TinyBuffersDecodeAlike) {
  std::vector<std::pair<std::string, std::pair<Bytes, Bytes>>> deltas;  // name, delta, source
  for (const SemanticsCase& c : SemanticsCases())
    deltas.push_back({c.name, {Delta(c.windows), c.source}});
  for (const HostileCase& c : HostileCases()) deltas.push_back({c.name, {c.delta, c.source}});
  for (const RefusalCase& c : RefusalCases()) deltas.push_back({c.name, {c.delta, {}}});
  // An integer of more than ten bytes in the data section's length: reported
  // at its first byte, however much of it the buffer held.
  const Bytes badInteger =
      Concat({Header(), {0x00, 0x14, 0x02, 0x00}, Bytes(10, 0xFF), Bytes(11, 0x7F)});
  deltas.push_back({"integer of eleven bytes", {badInteger, {}}});
  for (const auto& [name, pair] : deltas) {
    SCOPED_TRACE(name);
    const Outcome normal = DecodeBytes(pair.first, pair.second);
    for (const vcdiff::BufferSizes& sizes : {Tiny(), Tiny(1, 1), Tiny(10, 3)}) {
      const Outcome tiny = DecodeBytes(pair.first, pair.second, sizes);
      EXPECT_EQ(tiny.result.status, normal.result.status) << tiny.result.detail;
      EXPECT_EQ(int(tiny.result.field), int(normal.result.field)) << tiny.result.detail;
      EXPECT_EQ(tiny.result.window, normal.result.window) << tiny.result.detail;
      EXPECT_EQ(tiny.result.deltaOffset, normal.result.deltaOffset)
          << sizes.deltaBuffer << "-byte buffers: " << tiny.result.detail;
      EXPECT_EQ(tiny.result.detail, normal.result.detail);
      EXPECT_EQ(tiny.out, normal.out);
    }
  }
  const Outcome bad = DecodeBytes(badInteger, {});
  EXPECT_EQ(bad.result.status, Status::kCorrupt);
  EXPECT_EQ(bad.result.deltaOffset, 9u) << bad.result.detail;
}

// Each allocation the decoder makes, refused: it says so and stops.
TEST(VcdiffDecoderTest, ReportsWantOfMemory) {
  const Bytes source = RepeatTo("source", 5000);
  const Bytes small = Delta({Window().Source(0, source.size()).Copy(8, kSelf, 4000)});
  const Bytes large = Delta({Window().Add(Bytes(70000, 'a'))});
  struct Case {
    const char* name;
    const Bytes& delta;
    vcdiff::BufferSizes sizes;
    size_t failAbove;
  } cases[] = {
      {"the delta's read buffers", small, vcdiff::BufferSizes(), 100000},
      {"the target window", large, Tiny(), 69999},
      {"the source's block cache", small, Tiny(16, 4096), 100000},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    allocationmeter::FailAbove(c.failAbove);
    const Outcome o = DecodeBytes(c.delta, source, c.sizes);
    allocationmeter::FailAbove(SIZE_MAX);
    EXPECT_EQ(o.result.status, Status::kOutOfMemory)
        << vcdiff::StatusName(o.result.status) << ": " << o.result.detail;
    EXPECT_TRUE(o.out.empty());
    EXPECT_EQ(DecodeBytes(c.delta, source, c.sizes).result.status, Status::kOk)
        << "with memory to spare";
  }
}

// A sink that has the decoder build each window in a buffer of its own, as the
// patch tool's writer does.
class LendingSink : public vcdiff::ByteSink {
 public:
  uint8_t* WindowBuffer(size_t size) override {
    lent.emplace_back(size + 1, uint8_t(0xEE));  // one guard byte past the window
    return lent.back().data();
  }
  bool Write(const uint8_t* data, size_t size) override {
    if (lent.empty() || data != lent.back().data() || lent.back()[size] != 0xEE) return false;
    bytes.insert(bytes.end(), data, data + size);
    return true;
  }
  std::vector<Bytes> lent;
  Bytes bytes;
};

TEST(VcdiffDecoderTest, BuildsWindowsWhereTheSinkSays) {
  const Bytes source = RepeatTo("source bytes ", 70000);
  Window first =
      Window().Source(0, source.size()).Copy(60000, kSelf, 5).Add(Text("added")).Copy(7, kHere, 20);
  Window second = Window().Add(Text("second"));
  const Bytes expected = Concat(
      {Bytes(source.begin() + 5, source.begin() + 60005), Text("added"),
       Bytes(source.begin() + 60005 - 20 + 5, source.begin() + 60005 - 20 + 12), Text("second")});
  first.Checksum(Bytes(expected.begin(), expected.end() - 6));
  second.Checksum(Text("second"));
  const Bytes deltaBytes = Delta({first, Window(), second});
  MemorySource delta(deltaBytes), sourceBytes(source);
  LendingSink sink;
  const vcdiff::Result r = vcdiff::Decode(delta, sourceBytes, sink);
  ASSERT_EQ(r.status, Status::kOk) << r.detail;
  EXPECT_EQ(sink.bytes, expected);
  EXPECT_EQ(sink.lent.size(), 3u);
}

// Against zlib's Adler-32 at every alignment and the lengths where the vector
// part hands over to the byte loop or reduces its sums; all 0xFF is the largest
// sum a run can reach.
TEST(Adler32Test, MatchesZlib) {
  Bytes data(3 << 20);
  std::mt19937 generator(77);
  for (uint8_t& b : data) b = uint8_t(generator());
  const Bytes ones(1 << 20, 0xFF);
  auto zlib = [](const uint8_t* p, size_t n) {
    return uint32_t(adler32(adler32(0, Z_NULL, 0), p, uInt(n)));
  };
  for (size_t offset = 0; offset < 16; ++offset)
    for (size_t size :
         {size_t(0), size_t(1), size_t(15), size_t(16), size_t(17), size_t(5535), size_t(5536),
          size_t(5537), size_t(5552), size_t(5553), size_t(65536 + 7), data.size() - 16}) {
      EXPECT_EQ(vcdiff::Adler32(1, data.data() + offset, size), zlib(data.data() + offset, size))
          << offset << " " << size;
      EXPECT_EQ(vcdiff::Adler32(1, ones.data() + offset, std::min(size, ones.size() - 16)),
                zlib(ones.data() + offset, std::min(size, ones.size() - 16)));
    }
  EXPECT_EQ(
      vcdiff::Adler32(vcdiff::Adler32(1, data.data(), 1000003), data.data() + 1000003, 777777),
      zlib(data.data(), 1000003 + 777777));
}

// A sparse source file past 4 GiB, read with 64-bit offsets the way the patch
// tool reads a pack.
class BigSourceTest : public ::testing::Test {
 protected:
  static constexpr uint64_t k4G = uint64_t(1) << 32;
  static constexpr uint64_t kSize = k4G + (1 << 20);
  static constexpr uint64_t kRandomAt = k4G + 4096;

  void SetUp() override {
    path_ = deltafiles::TempFile("vcdiff_big_source");
    random_.resize(100 << 10);
    std::mt19937 generator(4242);
    for (uint8_t& b : random_) b = uint8_t(generator());
    ASSERT_TRUE(deltafiles::MakeSparseFile(
        path_, kSize, {{k4G - 8, Text("LOWSIDE!HIGHSIDE")}, {kRandomAt, random_}}))
        << "could not make a sparse file of " << kSize << " bytes";
  }
  void TearDown() override { deltafiles::RemoveFile(path_); }

  deltafiles::Path path_;
  Bytes random_;
};

TEST_F(BigSourceTest, CopiesFromPast4GiB) {
  const uint64_t lowStart = k4G - 8;
  // Window 1: a segment starting just under 4 GiB; a copy across the 4 GiB
  // line, a long copy read straight into the window, a short one through the cache.
  Window first = Window()
                     .Source(lowStart, 8 + 4096 + random_.size())
                     .Copy(16, kSelf, 0)
                     .Copy(random_.size(), kSelf, 8 + 4096)
                     .Copy(10, kSelf, 8 + 4096 + 50);
  const Bytes firstTarget = Concat(
      {Text("LOWSIDE!HIGHSIDE"), random_, Bytes(random_.begin() + 50, random_.begin() + 60)});
  first.Checksum(firstTarget);
  // Window 2: the whole file as the segment, so that addresses, and here, are
  // over 32 bits; then copies from the target part above 4 GiB of address space.
  Window second = Window()
                      .Source(0, kSize)
                      .Copy(8, kSelf, kRandomAt + 7)
                      .Copy(16, kHere, kSize + 8 - lowStart)
                      .Copy(4, kSelf, kSize + 8)  // "LOWS" made just before
                      .Copy(6, kHere, 3);         // overlapping its own bytes
  const Bytes secondTarget = Concat({Bytes(random_.begin() + 7, random_.begin() + 15),
                                     Text("LOWSIDE!HIGHSIDE"), Text("LOWS"), Text("OWSOWS")});
  second.Checksum(secondTarget);
  const Bytes delta = Delta({first, second});

  MemorySource deltaBytes(delta);
  deltafiles::FileSource source(path_);
  ASSERT_EQ(source.Size(), kSize);
  MemorySink sink;
  const vcdiff::Result r = vcdiff::Decode(deltaBytes, source, sink);
  ASSERT_EQ(r.status, Status::kOk) << r.detail;
  EXPECT_EQ(sink.bytes, Concat({firstTarget, secondTarget}));
  EXPECT_EQ(sink.windows, (std::vector<size_t>{firstTarget.size(), secondTarget.size()}));

  // One byte past the file's end is refused, not read as zeros.
  const Bytes over = Delta({Window().Source(kSize - 4, 5).Copy(4, kSelf, 0)});
  MemorySource overBytes(over);
  MemorySink none;
  EXPECT_EQ(vcdiff::Decode(overBytes, source, none).status, Status::kCorrupt);
}

}  // namespace
