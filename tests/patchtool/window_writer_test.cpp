// The patch tool's writer thread on small buffers, so that every path runs in
// a few megabytes: windows built in its buffers, shared by small windows or
// filling one whole, bytes built elsewhere, runs of zeros left as holes (at the
// end too), and a file it cannot write, which must stop the decoder's side
// instead of leaving it waiting. Then memory that cannot be had: for a second
// buffer (the writer goes on with one), for any (it fails, and says so), and
// for a thread (it fails without std::terminate); nothing to take; and random
// runs with small hand-overs and flush intervals, which reach the flusher.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "RefusedAllocations.h"
#include "UniqueHandle.h"
#include "WindowWriter.h"

namespace {

using Bytes = std::vector<uint8_t>;
constexpr size_t kBuffer = 256u << 10;

// Only the first `allowed` buffers of the writers made while it lives get memory.
struct BuffersAllowed {
  explicit BuffersAllowed(long allowed) { refused::AllowOfSize(kBuffer, allowed); }
  ~BuffersAllowed() { refused::AllowOfSize(kBuffer, -1); }
};

class WindowWriterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    wchar_t folder[MAX_PATH];
    GetTempPathW(MAX_PATH, folder);
    path_ =
        std::wstring(folder) + L"window_writer_" + std::to_wstring(GetCurrentProcessId()) + L".bin";
  }
  void TearDown() override { DeleteFileW(path_.c_str()); }

  UniqueHandle Open(DWORD access, DWORD disposition) {
    return UniqueHandle(CreateFileW(path_.c_str(), access, 0, nullptr, disposition,
                                    FILE_ATTRIBUTE_NORMAL, nullptr));
  }

  Bytes ReadBack() {
    const UniqueHandle file = Open(GENERIC_READ, OPEN_EXISTING);
    LARGE_INTEGER size{};
    GetFileSizeEx(file.Get(), &size);
    Bytes bytes(size_t(size.QuadPart));
    DWORD got = 0;
    if (!bytes.empty()) ReadFile(file.Get(), bytes.data(), DWORD(bytes.size()), &got, nullptr);
    bytes.resize(got);
    return bytes;
  }

  std::wstring path_;
};

Bytes Random(std::mt19937& generator, size_t size) {
  Bytes b(size);
  for (uint8_t& x : b) x = uint8_t(generator() | 1);
  return b;
}

// Builds `window` where the writer says and hands it over, as the decoder does.
bool Decode(WindowWriter& writer, const Bytes& window) {
  uint8_t* at = writer.Buffer(window.size());
  if (at == nullptr) return false;
  if (!window.empty()) std::memcpy(at, window.data(), window.size());
  return writer.Take(at, window.size());
}

TEST_F(WindowWriterTest, WritesEveryWindowInOrder) {
  std::mt19937 generator(5);
  auto random = [&](size_t size) {
    Bytes b(size);
    for (uint8_t& x : b) x = uint8_t(generator() | 1);
    return b;
  };
  // Small windows that share a buffer, an empty one, a window a whole buffer
  // long, one built elsewhere and copied, whole zero blocks between data, and
  // zeros at the end, which must still make the file's length.
  std::vector<Bytes> windows = {random(1000),    random(70000), Bytes(),
                                random(kBuffer), random(5),     random(kBuffer - 3)};
  Bytes zeros = random(3000);
  zeros.resize(3000 + (3u << 16), 0);
  windows.push_back(zeros);
  windows.push_back(random(kBuffer / 2));
  const Bytes elsewhere = random(kBuffer + 12345);
  const Bytes tail(200000, 0);

  UniqueHandle file = Open(GENERIC_WRITE, CREATE_ALWAYS);
  ASSERT_TRUE(file.IsValid());
  Bytes expected;
  {
    WindowWriter writer(file.Get(), kBuffer);
    for (const Bytes& w : windows) {
      ASSERT_TRUE(Decode(writer, w));
      expected.insert(expected.end(), w.begin(), w.end());
    }
    ASSERT_TRUE(writer.Take(elsewhere.data(), elsewhere.size()));
    ASSERT_TRUE(Decode(writer, tail));
    expected.insert(expected.end(), elsewhere.begin(), elsewhere.end());
    expected.insert(expected.end(), tail.begin(), tail.end());
    EXPECT_EQ(writer.Buffer(kBuffer + 1), nullptr)
        << "a window larger than a buffer is the decoder's to hold";
    ASSERT_TRUE(writer.Finish()) << writer.Error();
  }
  file.Close();
  const Bytes back = ReadBack();
  ASSERT_EQ(back.size(), expected.size());
  EXPECT_TRUE(back == expected);
}

TEST_F(WindowWriterTest, AFailedWriteStopsTheDecoderSide) {
  ASSERT_TRUE(Open(GENERIC_WRITE, CREATE_ALWAYS).IsValid());
  UniqueHandle file = Open(GENERIC_READ, OPEN_EXISTING);  // every write to it fails
  ASSERT_TRUE(file.IsValid());
  const Bytes window(kBuffer, 0x5A);
  WindowWriter writer(file.Get(), kBuffer);
  // Each window fills a buffer and is handed over at once; the writer fails on
  // the first, and the decoder's side, which cannot get ahead by more than the
  // buffers, must be told then, however many windows the delta still has.
  size_t taken = 0;
  while (taken < 1000 && Decode(writer, window)) ++taken;
  EXPECT_LE(taken, WindowWriter::kBuffers);
  EXPECT_FALSE(writer.Finish());
  EXPECT_EQ(writer.Error(), DWORD(ERROR_ACCESS_DENIED));
  file.Close();
}

// Nothing to take needs no buffer: before any window, and between two.
TEST_F(WindowWriterTest, TakesNothingWithoutABuffer) {
  UniqueHandle file = Open(GENERIC_WRITE, CREATE_ALWAYS);
  ASSERT_TRUE(file.IsValid());
  std::mt19937 generator(7);
  const Bytes window = Random(generator, 1000);
  {
    WindowWriter writer(file.Get(), kBuffer);
    EXPECT_TRUE(writer.Take(nullptr, 0));
    ASSERT_TRUE(Decode(writer, window));
    EXPECT_TRUE(writer.Take(window.data(), 0));
    ASSERT_TRUE(writer.Finish()) << writer.Error();
    EXPECT_EQ(writer.BuffersMade(), 1u);
  }
  file.Close();
  EXPECT_TRUE(ReadBack() == window);
}

// With memory for one buffer only, the writer goes on with that one: the
// decoder waits for it each time, and every window is written.
TEST_F(WindowWriterTest, GoesOnWithFewerBuffers) {
  for (long allowed = 1; allowed < long(WindowWriter::kBuffers); ++allowed) {
    UniqueHandle file = Open(GENERIC_WRITE, CREATE_ALWAYS);
    ASSERT_TRUE(file.IsValid());
    std::mt19937 generator(11);
    Bytes expected;
    {
      BuffersAllowed only(allowed);
      WindowWriter writer(file.Get(), kBuffer);
      // Whole-buffer windows, so that each needs a buffer of its own.
      for (int i = 0; i < 12; ++i) {
        const Bytes window = Random(generator, kBuffer - size_t(i));
        ASSERT_TRUE(Decode(writer, window))
            << "window " << i << " with " << allowed << " buffer(s)";
        expected.insert(expected.end(), window.begin(), window.end());
      }
      ASSERT_TRUE(writer.Finish()) << writer.Error();
      EXPECT_LE(writer.BuffersMade(), size_t(allowed));
    }
    file.Close();
    const Bytes back = ReadBack();
    ASSERT_EQ(back.size(), expected.size());
    EXPECT_TRUE(back == expected);
  }
}

// With memory for no buffer at all, the writer fails and says why, whichever
// way the bytes come, and nothing waits.
TEST_F(WindowWriterTest, FailsWithoutMemoryForAnyBuffer) {
  UniqueHandle file = Open(GENERIC_WRITE, CREATE_ALWAYS);
  ASSERT_TRUE(file.IsValid());
  std::mt19937 generator(13);
  const Bytes window = Random(generator, 5000);
  {
    BuffersAllowed none(0);
    WindowWriter writer(file.Get(), kBuffer);
    EXPECT_EQ(writer.Buffer(window.size()), nullptr);
    EXPECT_FALSE(writer.Take(window.data(), window.size()));
    EXPECT_EQ(writer.Error(), DWORD(ERROR_NOT_ENOUGH_MEMORY));
    EXPECT_FALSE(writer.Finish());
  }
  {
    BuffersAllowed none(0);
    WindowWriter writer(file.Get(), kBuffer);
    EXPECT_FALSE(writer.Take(window.data(), window.size()));
    EXPECT_EQ(writer.Error(), DWORD(ERROR_NOT_ENOUGH_MEMORY));
    EXPECT_FALSE(writer.Finish());
  }
}

// No memory for the writer thread's state, then for the flusher's (the writer
// thread then runs, and must be stopped and joined): the writer has failed,
// and every call says so.
TEST_F(WindowWriterTest, FailsWithoutMemoryForAThread) {
  for (long refused = 1; refused <= 2; ++refused) {
    UniqueHandle file = Open(GENERIC_WRITE, CREATE_ALWAYS);
    ASSERT_TRUE(file.IsValid());
    std::mt19937 generator(17);
    const Bytes window = Random(generator, 5000);
    {
      refused::ThrowAt(refused);
      WindowWriter writer(file.Get(), kBuffer);
      const long left = refused::Left();
      refused::ThrowAt(0);
      ASSERT_EQ(left, 0) << "the writer did not make thread " << refused;
      EXPECT_EQ(writer.Error(), DWORD(ERROR_NOT_ENOUGH_MEMORY)) << "thread " << refused;
      EXPECT_EQ(writer.Buffer(window.size()), nullptr);
      EXPECT_FALSE(writer.Take(window.data(), window.size()));
      EXPECT_FALSE(writer.Finish());
    }
  }
}

// Random windows (built in place or elsewhere, with runs of zeros, empty
// ones) through writers with hand-overs and flush intervals of a few KiB, so
// that the flusher runs dozens of times a round; some rounds are dropped
// half-way, as the tool drops a run that failed. Bounded in rounds and time.
TEST_F(WindowWriterTest, RandomRunsReachTheFlusher) {
  const DWORD start = GetTickCount();
  uint64_t flushes = 0;
  int rounds = 0;
  for (unsigned seed = 1; seed <= 60 && GetTickCount() - start < 20000; ++seed, ++rounds) {
    std::mt19937 generator(seed);
    auto below = [&](size_t n) { return size_t(generator() % n); };
    const size_t handOver = 1 + below(kBuffer);
    const uint64_t flushEvery = 1 + below(64u << 10);
    const bool abandon = below(8) == 0;
    UniqueHandle file = Open(GENERIC_WRITE, CREATE_ALWAYS);
    ASSERT_TRUE(file.IsValid());
    Bytes expected;
    {
      WindowWriter writer(file.Get(), kBuffer, handOver, flushEvery);
      const int windows = 1 + int(below(40));
      for (int w = 0; w < windows; ++w) {
        Bytes window;
        switch (below(4)) {
          case 0: window = Random(generator, below(4096)); break;
          case 1: window = Random(generator, below(kBuffer + 1)); break;
          case 2: window.assign(below(kBuffer + 1), 0); break;
          default: {
            window = Random(generator, below(kBuffer + 1));
            const size_t at = below(window.size() + 1);
            std::fill(window.begin() + at, window.begin() + at + below(window.size() - at + 1), 0);
          }
        }
        if (below(3) == 0) {
          ASSERT_TRUE(writer.Take(window.data(), window.size())) << "seed " << seed;
        } else {
          ASSERT_TRUE(Decode(writer, window)) << "seed " << seed;
        }
        expected.insert(expected.end(), window.begin(), window.end());
        if (abandon && w == windows / 2) break;
      }
      if (!abandon) {
        ASSERT_TRUE(writer.Finish()) << "seed " << seed << ": " << writer.Error();
      }
      flushes += writer.Flushes();
    }
    file.Close();
    if (abandon) continue;
    const Bytes back = ReadBack();
    ASSERT_EQ(back.size(), expected.size()) << "seed " << seed;
    ASSERT_TRUE(back == expected) << "seed " << seed;
  }
  EXPECT_GE(rounds, 5);
  EXPECT_GT(flushes, 0u) << "the flusher never ran";
  std::printf("%d random rounds, %llu flushes\n", rounds, static_cast<unsigned long long>(flushes));
}

}  // namespace
