// xdelta3's deltas, made by vcdiff_xdelta.sh in the folder VCDIFF_CASES
// (cases.txt: "name source delta reference" a line, "-" for no source):
// each decoded in this process and compared with xdelta3's own decoding; then
// thousands of seeded corruptions of some of them, which may fail but never
// crash, hang or take more memory, and whose accepted checksummed windows must
// be right. VCDIFF_SWEEP_SEED=n VCDIFF_SWEEP_CASE=i repeats one case.
#include <gtest/gtest.h>
#ifdef _WIN32
#include <windows.h>
#include <psapi.h>
#endif

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <iterator>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "AllocationMeter.h"
#include "DeltaBuilder.h"
#include "DeltaFiles.h"

namespace {

using deltabuilder::Bytes;
using deltafiles::MemorySink;
using deltafiles::MemorySource;
using vcdiff::Status;

// One 16 MiB window, the source block cache and the delta's buffers, with room to spare.
constexpr size_t kDecoderMemory = 20u << 20;

struct Case {
  std::string name, source, delta, reference;
};

deltafiles::Path InFolder(const std::string& name) {
  return deltafiles::InFolderOf("VCDIFF_CASES", name);
}

std::vector<Case> ReadCases() {
  const Bytes text = deltafiles::ReadWhole(InFolder("cases.txt"));
  std::istringstream lines(std::string(text.begin(), text.end()));
  std::vector<Case> cases;
  Case c;
  while (lines >> c.name >> c.source >> c.delta >> c.reference) cases.push_back(c);
  return cases;
}

// Where a delta's header fields are (magic to checksum, not the sections),
// found independently of the decoder, so that mutations can aim at them.
struct Field {
  size_t at, length;
};

std::vector<Field> HeaderFields(const Bytes& d) {
  std::vector<Field> fields;
  size_t pos = 0;
  const auto take = [&](size_t n) {
    if (n > d.size() - pos) throw std::runtime_error("delta ends inside a field");
    fields.push_back({pos, n});
    pos += n;
  };
  const auto varint = [&] {
    size_t n = 1;
    uint64_t v = 0;
    while (pos + n <= d.size() && (d[pos + n - 1] & 0x80)) v = v << 7 | (d[pos + n++ - 1] & 0x7F);
    if (pos + n > d.size()) throw std::runtime_error("delta ends inside an integer");
    v = v << 7 | d[pos + n - 1];
    take(n);
    return v;
  };
  take(4);
  const uint8_t indicator = d[pos];
  take(1);
  if (indicator & 0x04) pos += size_t(varint());
  while (pos < d.size()) {
    const uint8_t window = d[pos];
    take(1);
    if (window & 0x03) varint(), varint();
    const uint64_t encoding = varint();
    const size_t end = pos + size_t(encoding);
    varint(), take(1), varint(), varint(), varint();
    if (window & 0x04) take(4);
    pos = end;
  }
  return fields;
}

Bytes Varint(uint64_t v) {
  Bytes b;
  deltabuilder::PutVarint(b, v);
  return b;
}

// One mutation of `delta`, all of it drawn from `random`; `what` says which.
Bytes Mutate(Bytes d, const std::vector<Field>& fields, std::mt19937_64& random,
             std::string& what) {
  const size_t at = size_t(random() % d.size());
  const Field field = fields[random() % fields.size()];
  const std::string place = " at " + std::to_string(at);
  switch (random() % 7) {
    case 0:
      d[at] ^= uint8_t(1 << random() % 8);
      what = "bit flipped" + place;
      break;
    case 1: {
      static const uint8_t kBytes[] = {0x00, 0xFF, 0x7F, 0x80};
      d[at] = random() % 2 ? uint8_t(random()) : kBytes[random() % 4];
      what = "byte set to " + std::to_string(d[at]) + place;
      break;
    }
    case 2:
      d.resize(at);
      what = "cut" + place;
      break;
    case 3:
      if (random() % 2) d.insert(d.begin() + at, uint8_t(random()));
      else d.erase(d.begin() + at);
      what = "byte inserted or deleted" + place;
      break;
    case 4:
      d[field.at + random() % field.length] ^= uint8_t(1 << random() % 8);
      what = "bit flipped in the header field at " + std::to_string(field.at);
      break;
    default: {
      // Integers a hostile delta might put in a length, size or position.
      static const Bytes kHuge[] = {
          Varint(0),
          Varint(0x7FFFFFFF),
          Varint(0x80000000),
          Varint(0xFFFFFFFF),
          Varint(uint64_t(1) << 32),
          Varint((16u << 20) + 1),
          Varint(uint64_t(1) << 63),
          Varint(UINT64_MAX),
          Bytes{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x7F},  // eleven bytes
          Bytes{0x82, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x00}};       // 65 bits
      const Bytes& huge = kHuge[random() % std::size(kHuge)];
      d.erase(d.begin() + field.at, d.begin() + field.at + field.length);
      d.insert(d.begin() + field.at, huge.begin(), huge.end());
      what = "header field at " + std::to_string(field.at) + " replaced by " +
             std::to_string(huge.size()) + " bytes";
    }
  }
  return d;
}

// Ends the process naming the case in hand if the sweep outlives its budget:
// a hang inside Decode cannot be failed any other way.
class Watchdog {
 public:
  explicit Watchdog(std::chrono::seconds budget)
      : thread_([this, budget] {
          std::unique_lock<std::mutex> lock(mutex_);
          if (wake_.wait_for(lock, budget, [this] { return done_; })) return;
          std::fprintf(stderr, "corruption sweep: over its %d s budget in %s; a hang\n",
                       int(budget.count()), at_.c_str());
          std::fflush(stderr);
          std::_Exit(3);
        }) {}
  ~Watchdog() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      done_ = true;
    }
    wake_.notify_one();
    thread_.join();
  }
  void At(const std::string& where) {
    std::lock_guard<std::mutex> lock(mutex_);
    at_ = where;
  }

 private:
  std::mutex mutex_;
  std::condition_variable wake_;
  bool done_ = false;
  std::string at_;
  std::thread thread_;
};

// The process's working set as Windows counts it. The build machine's native
// runs leave it out: a sanitizer's shadow memory and quarantine are most of
// what such a process holds, and the allocation meter bounds the decoder there.
struct WorkingSet {
  bool known = false;
  size_t now = 0, peak = 0, pagefile = 0, peakPagefile = 0;
};

WorkingSet Memory() {
  WorkingSet w;
#ifdef _WIN32
  PROCESS_MEMORY_COUNTERS counters{};
  w.known = GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters);
  w.now = counters.WorkingSetSize;
  w.peak = counters.PeakWorkingSetSize;
  w.pagefile = counters.PagefileUsage;
  w.peakPagefile = counters.PeakPagefileUsage;
#endif
  return w;
}

// Small deltas of every kind: several windows with a source and checksums,
// none (edit.n: anything accepted goes), no source, an application header.
const char* const kBases[] = {"edit.W16k",   "edit.n",     "periodic.l9", "self.W16k",
                              "grow.ownapp", "shrink.B1m", "empty.app"};
constexpr int kCasesPerBase = 500;

TEST(VcdiffXdeltaTest, CorruptedDeltasFailCleanly) {
  const char* seedText =
      std::getenv("VCDIFF_SWEEP_SEED") ? std::getenv("VCDIFF_SWEEP_SEED") : "20020601";
  const uint64_t seed = std::strtoull(seedText, nullptr, 10);
  const int only =
      std::getenv("VCDIFF_SWEEP_CASE") ? std::atoi(std::getenv("VCDIFF_SWEEP_CASE")) : -1;
  std::map<Status, int> outcomes;
  int accepted = 0;
  const WorkingSet start = Memory();
  const auto began = std::chrono::steady_clock::now();
  Watchdog watchdog(std::chrono::seconds(60));
  int base = 0;
  for (const Case& c : ReadCases()) {
    if (std::find(std::begin(kBases), std::end(kBases), c.name) == std::end(kBases)) continue;
    const Bytes original = deltafiles::ReadWhole(InFolder(c.delta));
    const Bytes source = c.source == "-" ? Bytes() : deltafiles::ReadWhole(InFolder(c.source));
    const Bytes reference = deltafiles::ReadWhole(InFolder(c.reference));
    const std::vector<Field> fields = HeaderFields(original);
    const bool checksummed = c.name != "edit.n";
    for (int i = 0; i < kCasesPerBase; ++i) {
      if (only >= 0 && i != only) continue;
      std::mt19937_64 random(seed * 1000003 + base * kCasesPerBase + i);
      std::string what;
      const Bytes delta = Mutate(original, fields, random, what);
      const std::string where =
          c.name + " case " + std::to_string(i) + " (" + what + "), VCDIFF_SWEEP_SEED=" + seedText;
      watchdog.At(where);

      MemorySource deltaBytes(delta), sourceBytes(source);
      MemorySink sink(reference.size());  // the patch tool refuses more than the localised size
      sink.bytes.reserve(reference.size());
      sink.windows.reserve(64);
      allocationmeter::ResetPeak();
      const size_t before = allocationmeter::Live();
      const vcdiff::Result r = vcdiff::Decode(deltaBytes, sourceBytes, sink);
      ++outcomes[r.status];
      ASSERT_LE(allocationmeter::Peak() - before, kDecoderMemory) << where;
      ASSERT_LE(r.deltaOffset, delta.size()) << where;
      ASSERT_EQ(r.detail.find('\n'), std::string::npos) << where;
      ASSERT_EQ(r.status == Status::kOk, r.detail.empty()) << where << ": " << r.detail;
      // Every window of these deltas carries a checksum: whatever survives a
      // mutation and is accepted (an application header changed, the delta
      // cut between windows) is the reference's first windows, exactly.
      if (r.status == Status::kOk && checksummed) {
        ASSERT_TRUE(std::equal(sink.bytes.begin(), sink.bytes.end(), reference.begin()))
            << where << ": accepted with other bytes than the windows' checksums";
        accepted += int(sink.windows.size());
      }
    }
    ++base;
  }
  ASSERT_EQ(base, int(std::size(kBases))) << "cases.txt lacks some of the sweep's bases";
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
  const WorkingSet end = Memory();
  std::printf("corruption sweep, VCDIFF_SWEEP_SEED=%s: %d cases in %.1f s:", seedText,
              base * kCasesPerBase, seconds);
  for (const auto& [status, count] : outcomes)
    std::printf(" %s %d,", vcdiff::StatusName(status), count);
  std::printf(" %d accepted checksummed windows", accepted);
  if (end.known)
    std::printf("; peak working set %u KiB, %u KiB at the start", unsigned(end.peak >> 10),
                unsigned(start.now >> 10));
  std::printf("\n");
  if (only >= 0) return;
  // The sweep provoked each outcome it is there for.
  EXPECT_GT(outcomes[Status::kCorrupt], 1000);
  EXPECT_GT(outcomes[Status::kWindowChecksum], 50);
  EXPECT_GT(outcomes[Status::kUnsupported], 10);
  EXPECT_GT(accepted, 10);
  if (end.known) {
    EXPECT_LT(end.peak, start.now + (48u << 20));
    EXPECT_LT(end.peakPagefile, start.pagefile + (48u << 20));
  }
}

// After the sweep, whose peak working set would otherwise include the 16 MiB
// windows decoded here.
TEST(VcdiffXdeltaTest, DecodesWhatXdelta3Decodes) {
  const std::vector<Case> cases = ReadCases();
  ASSERT_GE(cases.size(), 100u) << "cases.txt lists too few cases";
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    deltafiles::FileSource delta(InFolder(c.delta));
    ASSERT_TRUE(delta.ok());
    Bytes none;
    std::unique_ptr<vcdiff::ByteSource> source = std::make_unique<MemorySource>(none);
    if (c.source != "-") {
      auto file = std::make_unique<deltafiles::FileSource>(InFolder(c.source));
      ASSERT_TRUE(file->ok());
      source = std::move(file);
    }
    const Bytes reference = deltafiles::ReadWhole(InFolder(c.reference));
    MemorySink out(reference.size());
    out.bytes.reserve(reference.size());
    allocationmeter::ResetPeak();
    const size_t before = allocationmeter::Live();
    const vcdiff::Result r = vcdiff::Decode(delta, *source, out);
    EXPECT_EQ(r.status, Status::kOk) << vcdiff::StatusName(r.status) << ": " << r.detail;
    EXPECT_EQ(r.deltaOffset, delta.Size());
    EXPECT_LE(allocationmeter::Peak() - before, kDecoderMemory)
        << "bytes allocated at once while decoding";
    ASSERT_EQ(out.bytes.size(), reference.size());
    const auto wrong = std::mismatch(out.bytes.begin(), out.bytes.end(), reference.begin()).first;
    EXPECT_TRUE(wrong == out.bytes.end()) << "first wrong byte at " << (wrong - out.bytes.begin());
  }
}

// The same deltas through 16-byte buffers and 256-byte source blocks, from
// memory: every refill, direct read and block eviction that only deltas and
// packs of many megabytes reach with the real sizes.
TEST(VcdiffXdeltaTest, DecodesAlikeThroughTinyBuffers) {
  vcdiff::BufferSizes tiny;
  tiny.deltaBuffer = 16;
  tiny.sourceBlock = 256;
  int decoded = 0;
  for (const Case& c : ReadCases()) {
    if (c.name.rfind("large.", 0) == 0)
      continue;  // 16 MiB windows: slow this way, and nothing more to reach
    SCOPED_TRACE(c.name);
    const Bytes delta = deltafiles::ReadWhole(InFolder(c.delta));
    const Bytes source = c.source == "-" ? Bytes() : deltafiles::ReadWhole(InFolder(c.source));
    const Bytes reference = deltafiles::ReadWhole(InFolder(c.reference));
    MemorySource deltaBytes(delta), sourceBytes(source);
    MemorySink out(reference.size());
    const vcdiff::Result r = vcdiff::Decode(deltaBytes, sourceBytes, out, tiny);
    EXPECT_EQ(r.status, Status::kOk) << vcdiff::StatusName(r.status) << ": " << r.detail;
    EXPECT_TRUE(out.bytes == reference) << "other bytes than xdelta3's";
    ++decoded;
  }
  EXPECT_GE(decoded, 100);
}

}  // namespace
