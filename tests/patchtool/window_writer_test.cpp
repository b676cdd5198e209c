// The patch tool's writer thread on small buffers, so that every path runs in
// a few megabytes: windows built in its buffers, shared by small windows or
// filling one whole, bytes built elsewhere, runs of zeros left as holes (at the
// end too), and a file it cannot write, which must stop the decoder's side
// instead of leaving it waiting.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "WindowWriter.h"

namespace {

using Bytes = std::vector<uint8_t>;
constexpr size_t kBuffer = 256u << 10;

class WindowWriterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    wchar_t folder[MAX_PATH];
    GetTempPathW(MAX_PATH, folder);
    path_ = std::wstring(folder) + L"window_writer_" + std::to_wstring(GetCurrentProcessId()) + L".bin";
  }
  void TearDown() override { DeleteFileW(path_.c_str()); }

  HANDLE Open(DWORD access, DWORD disposition) {
    return CreateFileW(path_.c_str(), access, 0, nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
  }

  Bytes ReadBack() {
    HANDLE file = Open(GENERIC_READ, OPEN_EXISTING);
    LARGE_INTEGER size{};
    GetFileSizeEx(file, &size);
    Bytes bytes(size_t(size.QuadPart));
    DWORD got = 0;
    if (!bytes.empty()) ReadFile(file, bytes.data(), DWORD(bytes.size()), &got, nullptr);
    CloseHandle(file);
    bytes.resize(got);
    return bytes;
  }

  std::wstring path_;
};

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
  std::vector<Bytes> windows = {random(1000), random(70000), Bytes(), random(kBuffer), random(5), random(kBuffer - 3)};
  Bytes zeros = random(3000);
  zeros.resize(3000 + (3u << 16), 0);
  windows.push_back(zeros);
  windows.push_back(random(kBuffer / 2));
  const Bytes elsewhere = random(kBuffer + 12345);
  const Bytes tail(200000, 0);

  HANDLE file = Open(GENERIC_WRITE, CREATE_ALWAYS);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  Bytes expected;
  {
    WindowWriter writer(file, kBuffer);
    for (const Bytes& w : windows) {
      ASSERT_TRUE(Decode(writer, w));
      expected.insert(expected.end(), w.begin(), w.end());
    }
    ASSERT_TRUE(writer.Take(elsewhere.data(), elsewhere.size()));
    ASSERT_TRUE(Decode(writer, tail));
    expected.insert(expected.end(), elsewhere.begin(), elsewhere.end());
    expected.insert(expected.end(), tail.begin(), tail.end());
    EXPECT_EQ(writer.Buffer(kBuffer + 1), nullptr) << "a window larger than a buffer is the decoder's to hold";
    ASSERT_TRUE(writer.Finish()) << writer.Error();
  }
  CloseHandle(file);
  const Bytes back = ReadBack();
  ASSERT_EQ(back.size(), expected.size());
  EXPECT_TRUE(back == expected);
}

TEST_F(WindowWriterTest, AFailedWriteStopsTheDecoderSide) {
  HANDLE make = Open(GENERIC_WRITE, CREATE_ALWAYS);
  ASSERT_NE(make, INVALID_HANDLE_VALUE);
  CloseHandle(make);
  HANDLE file = Open(GENERIC_READ, OPEN_EXISTING);  // every write to it fails
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  const Bytes window(kBuffer, 0x5A);
  WindowWriter writer(file, kBuffer);
  // Each window fills a buffer and is handed over at once; the writer fails on
  // the first, and the decoder's side, which cannot get ahead by more than the
  // buffers, must be told then, however many windows the delta still has.
  size_t taken = 0;
  while (taken < 1000 && Decode(writer, window)) ++taken;
  EXPECT_LE(taken, WindowWriter::kBuffers);
  EXPECT_FALSE(writer.Finish());
  EXPECT_EQ(writer.Error(), DWORD(ERROR_ACCESS_DENIED));
  CloseHandle(file);
}

}  // namespace
