// Thousands of corrupted copies of xdelta3's deltas: bits flipped, bytes
// changed, cut short, huge or overlong integers written over header fields.
// None may crash, hang or make the decoder ask for more than its bound; a
// window that carries an Adler-32 and is accepted must be the right bytes.
// Seeded: VCDIFF_SWEEP_SEED=n VCDIFF_SWEEP_CASE=i repeats one case.
#include <gtest/gtest.h>
#include <windows.h>
#include <psapi.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <map>
#include <mutex>
#include <random>
#include <thread>

#include "AllocationMeter.h"
#include "DeltaBuilder.h"
#include "DeltaFiles.h"
#include "XdeltaCases.h"

namespace {

using deltabuilder::Bytes;
using deltafiles::MemorySink;
using deltafiles::MemorySource;
using vcdiff::Status;

constexpr size_t kDecoderMemory = 20u << 20;

// Where a delta's fields are, read independently of the decoder: enough to aim
// mutations at header fields and to tell which windows carry a checksum.
struct Layout {
  struct Field {
    size_t at, length;
  };
  struct Window {
    uint64_t targetLength;
    bool checksum;
  };
  bool ok = false;
  std::vector<Field> fields;
  std::vector<Window> windows;
};

class Walker {
 public:
  explicit Walker(const Bytes& d) : d_(d) {}

  Layout Walk() {
    Layout layout;
    if (d_.size() < 5 || d_[0] != 0xD6 || d_[1] != 0xC3 || d_[2] != 0xC4 || d_[3] != 0) return layout;
    pos_ = 4;
    const uint8_t indicator = d_[pos_];
    if (!Field(layout, 1) || (indicator & 0x03)) return layout;
    uint64_t length;
    if ((indicator & 0x04) && !(Varint(layout, length) && Skip(length))) return layout;
    while (pos_ < d_.size()) {
      const uint8_t window = d_[pos_];
      uint64_t segment, position, encoding, target, data, inst, addr;
      if (!Field(layout, 1)) return layout;
      if ((window & 0x03) && !(Varint(layout, segment) && Varint(layout, position))) return layout;
      if (!Varint(layout, encoding)) return layout;
      const size_t start = pos_;
      if (!Varint(layout, target) || !Field(layout, 1) || !Varint(layout, data) || !Varint(layout, inst) ||
          !Varint(layout, addr) || ((window & 0x04) && !Field(layout, 4)))
        return layout;
      if (encoding > d_.size() - start) return layout;
      pos_ = start + size_t(encoding);
      layout.windows.push_back({target, (window & 0x04) != 0});
    }
    layout.ok = true;
    return layout;
  }

 private:
  bool Field(Layout& layout, size_t length) {
    if (length > d_.size() - pos_) return false;
    layout.fields.push_back({pos_, length});
    pos_ += length;
    return true;
  }
  bool Varint(Layout& layout, uint64_t& value) {
    const size_t start = pos_;
    value = 0;
    for (int i = 0; i < 10 && pos_ < d_.size(); ++i) {
      const uint8_t b = d_[pos_++];
      if (value >> 57) return false;
      value = value << 7 | (b & 0x7F);
      if (!(b & 0x80)) {
        layout.fields.push_back({start, pos_ - start});
        return true;
      }
    }
    return false;
  }
  bool Skip(uint64_t length) {
    if (length > d_.size() - pos_) return false;
    pos_ += size_t(length);
    return true;
  }

  const Bytes& d_;
  size_t pos_ = 0;
};

struct Base {
  std::string name;
  Bytes delta, source, reference;
  Layout layout;
};

// Integers a hostile delta might put in a length, size or position field.
Bytes HugeVarint(std::mt19937_64& random, uint64_t old) {
  static const uint64_t kValues[] = {
      0, 1, 0x7FFFFFFF, 0x80000000, 0xFFFFFFFF, uint64_t(1) << 32, (uint64_t(1) << 32) + 1,
      16u << 20, (16u << 20) + 1, uint64_t(1) << 63, UINT64_MAX, UINT64_MAX - 1};
  const size_t pick = random() % (std::size(kValues) + 4);
  if (pick < std::size(kValues)) {
    Bytes out;
    deltabuilder::PutVarint(out, kValues[pick]);
    return out;
  }
  switch (pick - std::size(kValues)) {
    case 0: return Bytes{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x7F};  // eleven bytes
    case 1: return Bytes{0x82, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x00};        // 65 bits
    case 2: {
      Bytes out;
      deltabuilder::PutVarint(out, old + 1);
      return out;
    }
    default: {
      Bytes out;
      deltabuilder::PutVarint(out, old ? old - 1 : 0);
      return out;
    }
  }
}

uint64_t ReadVarint(const Bytes& d, const Layout::Field& f) {
  uint64_t v = 0;
  for (size_t i = 0; i < f.length; ++i) v = v << 7 | (d[f.at + i] & 0x7F);
  return v;
}

// One mutation of `base`, all of it drawn from `random`; `what` says which.
Bytes Mutate(const Base& base, std::mt19937_64& random, std::string& what) {
  Bytes d = base.delta;
  const auto anywhere = [&] { return size_t(random() % d.size()); };
  const Layout::Field field = base.layout.fields[random() % base.layout.fields.size()];
  char text[96];
  switch (random() % 8) {
    case 0: {
      const size_t at = anywhere();
      const int bit = int(random() % 8);
      d[at] ^= uint8_t(1 << bit);
      std::snprintf(text, sizeof text, "bit %d of byte %u flipped", bit, unsigned(at));
      break;
    }
    case 1: {
      const size_t at = anywhere();
      d[at] = uint8_t(random());
      std::snprintf(text, sizeof text, "byte %u set to %02X", unsigned(at), d[at]);
      break;
    }
    case 2: {
      static const uint8_t kBytes[] = {0x00, 0xFF, 0x7F, 0x80};
      const size_t at = anywhere();
      d[at] = kBytes[random() % 4];
      std::snprintf(text, sizeof text, "byte %u set to %02X", unsigned(at), d[at]);
      break;
    }
    case 3: {
      d.resize(random() % d.size());
      std::snprintf(text, sizeof text, "cut to %u bytes", unsigned(d.size()));
      break;
    }
    case 4:
    case 5: {
      const Bytes huge = HugeVarint(random, field.length <= 10 ? ReadVarint(d, field) : 0);
      d.erase(d.begin() + field.at, d.begin() + field.at + field.length);
      d.insert(d.begin() + field.at, huge.begin(), huge.end());
      std::snprintf(text, sizeof text, "field at %u (%u bytes) replaced by %u bytes", unsigned(field.at),
                    unsigned(field.length), unsigned(huge.size()));
      break;
    }
    case 6: {
      const size_t at = field.at + random() % field.length;
      const int bit = int(random() % 8);
      d[at] ^= uint8_t(1 << bit);
      std::snprintf(text, sizeof text, "bit %d of header byte %u flipped", bit, unsigned(at));
      break;
    }
    default: {
      const size_t at = anywhere();
      if (random() % 2) {
        d.insert(d.begin() + at, uint8_t(random()));
        std::snprintf(text, sizeof text, "byte inserted at %u", unsigned(at));
      } else {
        d.erase(d.begin() + at);
        std::snprintf(text, sizeof text, "byte %u deleted", unsigned(at));
      }
      break;
    }
  }
  what = text;
  return d;
}

// Ends the process with the case in hand if the sweep outlives its budget: a
// hang inside Decode cannot be failed any other way.
class Watchdog {
 public:
  Watchdog(std::chrono::seconds budget, const std::string& seed) : seed_(seed), thread_([this, budget] { Watch(budget); }) {}
  ~Watchdog() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      done_ = true;
    }
    wake_.notify_one();
    thread_.join();
  }
  void At(const std::string& name, int index) {
    std::lock_guard<std::mutex> lock(mutex_);
    base_ = name;
    index_ = index;
  }

 private:
  void Watch(std::chrono::seconds budget) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (wake_.wait_for(lock, budget, [this] { return done_; })) return;
    std::fprintf(stderr, "corruption sweep: over its %d s budget at %s case %d (VCDIFF_SWEEP_SEED=%s); a hang\n",
                 int(budget.count()), base_.c_str(), index_, seed_.c_str());
    std::fflush(stderr);
    std::_Exit(3);
  }

  std::string seed_, base_;
  int index_ = -1;
  bool done_ = false;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::thread thread_;
};

std::string Environment(const char* name, const char* fallback) {
  const char* value = std::getenv(name);
  return value && *value ? value : fallback;
}

PROCESS_MEMORY_COUNTERS Memory() {
  PROCESS_MEMORY_COUNTERS counters{};
  counters.cb = sizeof counters;
  GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters);
  return counters;
}

// Small deltas of every kind: windows with and without a source or checksum,
// several windows, no source at all, an application header of our own.
const char* const kBases[] = {"edit.W16k", "edit.n", "periodic.l9", "self.W16k", "grow.ownapp", "shrink.B1m", "empty.app"};
constexpr int kCasesPerBase = 500;

TEST(VcdiffSweepTest, CorruptedDeltasFailCleanly) {
  const std::string seedText = Environment("VCDIFF_SWEEP_SEED", "20020601");
  const uint64_t seed = std::strtoull(seedText.c_str(), nullptr, 10);
  const int only = std::atoi(Environment("VCDIFF_SWEEP_CASE", "-1").c_str());
  std::printf("corruption sweep: VCDIFF_SWEEP_SEED=%s\n", seedText.c_str());

  std::vector<Base> bases;
  for (const xdeltacases::Case& c : xdeltacases::ReadCases()) {
    if (std::find(std::begin(kBases), std::end(kBases), c.name) == std::end(kBases)) continue;
    Base b{c.name, deltafiles::ReadWhole(xdeltacases::InFolder(c.delta)),
           c.source == "-" ? Bytes() : deltafiles::ReadWhole(xdeltacases::InFolder(c.source)),
           deltafiles::ReadWhole(xdeltacases::InFolder(c.reference)), {}};
    b.layout = Walker(b.delta).Walk();
    ASSERT_TRUE(b.layout.ok) << c.name << ": the test cannot read the unmutated delta";
    bases.push_back(std::move(b));
  }
  ASSERT_EQ(bases.size(), std::size(kBases)) << "cases.txt lacks some of the sweep's bases";

  const PROCESS_MEMORY_COUNTERS start = Memory();
  std::map<Status, int> outcomes;
  int checkedWindows = 0;
  const auto began = std::chrono::steady_clock::now();
  {
    Watchdog watchdog(std::chrono::seconds(60), seedText);
    for (size_t b = 0; b < bases.size(); ++b) {
      const Base& base = bases[b];
      for (int i = 0; i < kCasesPerBase; ++i) {
        if (only >= 0 && i != only) continue;
        watchdog.At(base.name, i);
        std::mt19937_64 random(seed * 1000003 + b * kCasesPerBase + i);
        std::string what;
        const Bytes delta = Mutate(base, random, what);
        const std::string where = base.name + " case " + std::to_string(i) + " (" + what + "), VCDIFF_SWEEP_SEED=" + seedText;

        MemorySource deltaBytes(delta), sourceBytes(base.source);
        MemorySink sink(base.reference.size());
        sink.bytes.reserve(base.reference.size());
        sink.windows.reserve(64);
        allocationmeter::ResetPeak();
        const size_t before = allocationmeter::Live();
        const vcdiff::Result r = vcdiff::Decode(deltaBytes, sourceBytes, sink);
        const size_t used = allocationmeter::Peak() - before;
        ++outcomes[r.status];

        ASSERT_LE(used, kDecoderMemory) << where;
        ASSERT_LE(r.deltaOffset, delta.size()) << where;
        ASSERT_EQ(r.detail.find('\n'), std::string::npos) << where;
        if (r.status != Status::kOk) {
          ASSERT_FALSE(r.detail.empty()) << where;
          continue;
        }
        // Accepted: every window that carries a checksum is the reference's
        // bytes at its place; windows without one may be anything.
        const Layout layout = Walker(delta).Walk();
        ASSERT_TRUE(layout.ok) << where << ": accepted, but its windows cannot be walked";
        uint64_t at = 0;
        size_t written = 0;
        for (const Layout::Window& w : layout.windows) {
          if (w.targetLength == 0) continue;
          ASSERT_LT(written, sink.windows.size()) << where;
          ASSERT_EQ(sink.windows[written], w.targetLength) << where;
          if (w.checksum) {
            ASSERT_TRUE(std::equal(sink.bytes.begin() + at, sink.bytes.begin() + at + w.targetLength, base.reference.begin() + at))
                << where << ": a window with a checksum was accepted with other bytes";
            ++checkedWindows;
          }
          at += w.targetLength;
          ++written;
        }
        ASSERT_EQ(written, sink.windows.size()) << where;
      }
    }
  }
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
  const PROCESS_MEMORY_COUNTERS end = Memory();

  std::printf("corruption sweep: %d cases in %.1f s:", int(bases.size()) * kCasesPerBase, seconds);
  for (const auto& [status, count] : outcomes) std::printf(" %s %d,", vcdiff::StatusName(status), count);
  std::printf(" %d accepted windows with checksums compared; peak working set %u KiB (%u at the start)\n", checkedWindows,
              unsigned(end.PeakWorkingSetSize >> 10), unsigned(start.WorkingSetSize >> 10));
  if (only >= 0) return;
  // Each kind of outcome the sweep is there to provoke did happen.
  EXPECT_GT(outcomes[Status::kCorrupt], 1000);
  EXPECT_GT(outcomes[Status::kWindowChecksum], 50);
  EXPECT_GT(outcomes[Status::kUnsupported], 10);
  EXPECT_GT(outcomes[Status::kOk], 10);
  EXPECT_GT(checkedWindows, 10);
  EXPECT_LT(end.PeakWorkingSetSize, start.WorkingSetSize + (48u << 20));
  EXPECT_LT(end.PeakPagefileUsage, start.PagefileUsage + (48u << 20));
}

}  // namespace
