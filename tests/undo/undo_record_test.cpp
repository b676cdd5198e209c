// The undo record from the decoder's COPYs: a forward delta is decoded through
// the recorder, the record is encoded, and decoding the record over the
// localised result must give the original back, whatever the budget.
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "AllocationMeter.h"
#include "DeltaBuilder.h"
#include "UndoRecord.h"
#include "VcdiffDecoder.h"

namespace {

using deltabuilder::Bytes;

class MemorySource : public vcdiff::ByteSource {
 public:
  explicit MemorySource(const Bytes& bytes) : bytes_(bytes) {}
  uint64_t Size() const override { return bytes_.size(); }
  bool ReadAt(uint64_t offset, void* buffer, size_t size) override {
    if (offset > bytes_.size() || size > bytes_.size() - offset) return false;
    std::copy(bytes_.begin() + offset, bytes_.begin() + offset + size,
              static_cast<uint8_t*>(buffer));
    return true;
  }

 private:
  const Bytes& bytes_;
};

class MemorySink : public vcdiff::ByteSink {
 public:
  bool Write(const uint8_t* data, size_t size) override {
    bytes.insert(bytes.end(), data, data + size);
    return true;
  }
  Bytes bytes;
};

class MemoryOutput : public undo::ByteOutput {
 public:
  bool Write(const void* data, size_t size) override {
    const auto* p = static_cast<const uint8_t*>(data);
    bytes.insert(bytes.end(), p, p + size);
    return true;
  }
  Bytes bytes;
};

Bytes Noise(size_t size, unsigned seed) {
  std::mt19937 random(seed);
  Bytes bytes(size);
  for (uint8_t& b : bytes) b = uint8_t(random());
  return bytes;
}

struct Patched {
  Bytes localised, record;
  uint64_t dropped = 0;
  size_t peakBytes = 0;  // allocated at once while patching and encoding
};

// Applies `forward` to `original` as the tool does, with a list of
// `capacity` runs, and makes the record.
Patched Patch(const Bytes& original, const Bytes& forward, size_t capacity) {
  Patched out;
  const size_t before = allocationmeter::Live();
  allocationmeter::ResetPeak();
  undo::KeptRegions kept(capacity);
  MemorySink sink;
  undo::CopyRecorder recorder(sink, kept);
  MemorySource delta(forward), source(original);
  const vcdiff::Result decoded = vcdiff::Decode(delta, source, recorder);
  EXPECT_EQ(decoded.status, vcdiff::Status::kOk) << decoded.detail;
  kept.Finish();
  out.dropped = kept.DroppedBytes();
  out.localised = sink.bytes;
  const undo::RecordInfo info{"01.exe", "System.GPK", out.localised.size(), 1, original.size(), 2};
  MemorySource originalAgain(original);
  MemoryOutput record;
  EXPECT_EQ(undo::Encode(kept, originalAgain, info, record), undo::EncodeStatus::kOk);
  out.peakBytes = allocationmeter::Peak() - before;
  out.record = record.bytes;
  return out;
}

Bytes Restore(const Patched& patched) {
  MemorySource record(patched.record), localised(patched.localised);
  MemorySink sink;
  const vcdiff::Result result = vcdiff::Decode(record, localised, sink);
  EXPECT_EQ(result.status, vcdiff::Status::kOk) << result.detail;
  return sink.bytes;
}

TEST(UndoRecordTest, MovedOverlappingAndRepeatedCopiesComeBackAcrossWindows) {
  const Bytes original = Noise(10 << 20, 1);
  const uint64_t all = original.size();
  // The second half first, new text, the first half, a stretch copied twice
  // more (so runs overlap in the original), and the tail dropped.
  deltabuilder::Window w;
  w.Source(0, all)
      .Copy(4 << 20, deltabuilder::kSelf, 5 << 20)
      .Add(Noise(3000, 2))
      .Copy(5 << 20, deltabuilder::kSelf, 0)
      .Copy(700000, deltabuilder::kSelf, 100000)
      .Add(Noise(17, 3))
      .Copy(50000, deltabuilder::kSelf, 600000);
  const Patched patched = Patch(original, deltabuilder::Delta({w}), 1024);
  EXPECT_EQ(Restore(patched), original);
  EXPECT_EQ(patched.dropped, 0u);
  // Only the original's last 1 MiB was lost; the record carries little else.
  EXPECT_LT(patched.record.size(), (1u << 20) + 4096);

  undo::RecordInfo info;
  MemorySource record(patched.record);
  ASSERT_TRUE(undo::ReadInfo(record, &info));
  EXPECT_EQ(info.pack, "System.GPK");
  EXPECT_EQ(info.originalSize, all);
  EXPECT_EQ(info.localisedSize, patched.localised.size());
}

// Tens of thousands of COPYs of a few bytes, scattered and never adjacent, and
// one long one: the list never grows past its budget, the short runs go to
// the data, and the long one stays a COPY.
TEST(UndoRecordTest, ManyTinyCopiesStayWithinTheBudget) {
  const Bytes original = Noise(1 << 20, 4);
  std::mt19937 random(5);
  std::vector<deltabuilder::Window> windows;
  deltabuilder::Window w;
  w.Source(0, original.size()).Copy(512 << 10, deltabuilder::kSelf, 256 << 10);
  for (int i = 0; i < 60000; ++i) {
    w.Copy(2 + random() % 6, deltabuilder::kSelf, random() % ((1 << 20) - 16));
    w.Add(Noise(1, i));
  }
  windows.push_back(w);
  const size_t capacity = 64;
  const Bytes forward = deltabuilder::Delta(windows);
  const Patched patched = Patch(original, forward, capacity);
  const Patched none = Patch(original, forward, 0);
  EXPECT_EQ(Restore(patched), original);
  EXPECT_EQ(Restore(none), original);
  // All that the list may add to the run is its one allocation, and the
  // instructions of a window that copies a few dozen runs.
  EXPECT_LE(patched.peakBytes,
            none.peakBytes + capacity * sizeof(undo::KeptRegions::Region) + 4096);
  EXPECT_GT(patched.dropped, 0u);
  EXPECT_LT(patched.record.size(), original.size() / 2 + 65536);
}

TEST(UndoRecordTest, WithNoRoomAtAllTheRecordCarriesTheWholeOriginal) {
  const Bytes original = Noise(100000, 6);
  deltabuilder::Window w;
  w.Source(0, original.size()).Copy(original.size(), deltabuilder::kSelf, 0);
  const Patched patched = Patch(original, deltabuilder::Delta({w}), 0);
  EXPECT_EQ(Restore(patched), original);
  EXPECT_GT(patched.record.size(), original.size());
}

// Padding the localised pack no longer copies (xdelta3 makes zeros with RUNs
// and copies within the target) goes into the record as RUNs, not as data.
TEST(UndoRecordTest, RunsOfOneByteAreCarriedAsRuns) {
  Bytes original = Noise(6 << 20, 7);
  std::fill(original.begin() + (1 << 20), original.begin() + (5 << 20) + 3, 0);
  std::fill(original.begin() + (5 << 20) + 100, original.begin() + (5 << 20) + 107,
            0xAB);  // too short for a RUN
  deltabuilder::Window w;
  w.Source(0, original.size())
      .Copy(1 << 20, deltabuilder::kSelf, 0)
      .Copy(512 << 10, deltabuilder::kSelf, 5 << 20);
  const Patched patched = Patch(original, deltabuilder::Delta({w}), 16);
  EXPECT_EQ(Restore(patched), original);
  EXPECT_LT(patched.record.size(), (512u << 10) + 4096);
}

// Replaced text repeats itself, across the pieces no COPY keeps as within
// one: the record pays for it about once, as the forward delta does.
TEST(UndoRecordTest, TextRepeatedInAWindowIsCopiedFromWhatItMade) {
  Bytes original = Noise(3 << 20, 8);
  const std::string line = "Event02.GPK original text, line ";
  for (size_t at = 0; at + line.size() < original.size(); at += line.size() + 1) {
    std::copy(line.begin(), line.end(), original.begin() + at);
    original[at + line.size()] = uint8_t('0' + at % 7);
  }
  // Kept: one stretch in the middle of each 4 MiB window's text, and a few
  // bytes between, so that the added bytes come in several pieces.
  deltabuilder::Window w;
  w.Source(0, original.size())
      .Copy(300000, deltabuilder::kSelf, 1 << 20)
      .Add(Noise(5, 9))
      .Copy(100, deltabuilder::kSelf, 2 << 20);
  const Patched patched = Patch(original, deltabuilder::Delta({w}), 16);
  EXPECT_EQ(Restore(patched), original);
  EXPECT_LT(patched.record.size(), original.size() / 20);
}

TEST(UndoRecordTest, OnlyTheExactLineIsAnInfo) {
  const undo::RecordInfo info{"011.exe",  "Event02.GPK", 1920111811, 0xfedcba9876543210ull,
                              1918447847, 0x0123ull};
  const std::string line = undo::FormatInfo(info);
  undo::RecordInfo parsed;
  ASSERT_TRUE(undo::ParseInfo(line, &parsed));
  EXPECT_EQ(undo::FormatInfo(parsed), line);
  EXPECT_EQ(parsed.localisedHash, info.localisedHash);
  EXPECT_EQ(parsed.originalSize, info.originalSize);

  for (const std::string& bad :
       {std::string("QVUNDO2") + line.substr(7), line + " ", line.substr(0, line.size() - 1),
        std::string("QVUNDO1 tool=011.exe pack=Event02.GPK localised=+1920111811:fedcba9876543210 "
                    "original=1918447847:0000000000000123"),
        std::string("QVUNDO1 tool=011.exe pack=Event02.GPK localised=1920111811:FEDCBA9876543210 "
                    "original=1918447847:0000000000000123"),
        std::string("QVUNDO1 tool=a/b pack=Event02.GPK localised=1:0000000000000001 "
                    "original=1:0000000000000001")})
    EXPECT_FALSE(undo::ParseInfo(bad, &parsed)) << bad;
}

}  // namespace
