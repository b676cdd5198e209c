#pragma once

// Byte sources and sinks for the decoder tests: files read at 64-bit offsets,
// with ReadFile as the patch tool reads them or with pread on the build
// machine, and memory for mutated deltas.
#ifdef _WIN32
#include <windows.h>
#include <winioctl.h>

#include "UniqueHandle.h"
#include "WinePath.h"
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "PosixFileSource.h"
#endif

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "VcdiffDecoder.h"

namespace deltafiles {

#ifdef _WIN32
using Path = std::wstring;

// `name` in the folder the environment variable `variable` names as a Unix path.
inline Path InFolderOf(const char* variable, const std::string& name) {
  const std::wstring wide(variable, variable + std::strlen(variable));
  return testkit::PathFromEnvironment(wide.c_str()) + L"\\" +
         std::wstring(name.begin(), name.end());
}

inline Path TempFile(const std::string& stem) {
  wchar_t folder[MAX_PATH];
  GetTempPathW(MAX_PATH, folder);
  return std::wstring(folder) + std::wstring(stem.begin(), stem.end()) + L"_" +
         std::to_wstring(GetCurrentProcessId()) + L".bin";
}

inline void RemoveFile(const Path& path) { DeleteFileW(path.c_str()); }

// A sparse file of `size` bytes holding only `writes`; false if it could not be made.
inline bool MakeSparseFile(const Path& path, uint64_t size,
                           const std::vector<std::pair<uint64_t, std::vector<uint8_t>>>& writes) {
  const UniqueHandle file(CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                      CREATE_ALWAYS, 0, nullptr));
  if (!file.IsValid()) return false;
  DWORD ignored;
  DeviceIoControl(file.Get(), FSCTL_SET_SPARSE, nullptr, 0, nullptr, 0, &ignored, nullptr);
  bool ok = true;
  for (const auto& [offset, bytes] : writes) {
    OVERLAPPED at{};
    at.Offset = DWORD(offset);
    at.OffsetHigh = DWORD(offset >> 32);
    DWORD done = 0;
    ok = ok && WriteFile(file.Get(), bytes.data(), DWORD(bytes.size()), &done, &at) &&
         done == bytes.size();
  }
  LARGE_INTEGER end;
  end.QuadPart = LONGLONG(size);
  return ok && SetFilePointerEx(file.Get(), end, nullptr, FILE_BEGIN) && SetEndOfFile(file.Get());
}

class FileSource : public vcdiff::ByteSource {
 public:
  explicit FileSource(const Path& path)
      : file_(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0,
                          nullptr)) {
    LARGE_INTEGER size{};
    if (file_.IsValid() && GetFileSizeEx(file_.Get(), &size))
      size_ = static_cast<uint64_t>(size.QuadPart);
  }

  bool ok() const { return file_.IsValid(); }
  uint64_t Size() const override { return size_; }
  bool ReadAt(uint64_t offset, void* buffer, size_t size) override {
    if (offset > size_ || size > size_ - offset) return false;
    auto* out = static_cast<uint8_t*>(buffer);
    while (size) {
      OVERLAPPED at{};
      at.Offset = static_cast<DWORD>(offset);
      at.OffsetHigh = static_cast<DWORD>(offset >> 32);
      const DWORD want = size > (1u << 30) ? (1u << 30) : static_cast<DWORD>(size);
      DWORD got = 0;
      if (!ReadFile(file_.Get(), out, want, &got, &at) || got == 0) return false;
      out += got;
      offset += got;
      size -= got;
    }
    return true;
  }

 private:
  UniqueHandle file_;
  uint64_t size_ = 0;
};
#else
using Path = std::string;

inline Path InFolderOf(const char* variable, const std::string& name) {
  const char* folder = std::getenv(variable);
  return std::string(folder ? folder : "") + "/" + name;
}

inline Path TempFile(const std::string& stem) {
  const char* folder = std::getenv("TMPDIR");
  return std::string(folder && *folder ? folder : "/tmp") + "/" + stem + "_" +
         std::to_string(getpid()) + ".bin";
}

inline void RemoveFile(const Path& path) { unlink(path.c_str()); }

inline bool MakeSparseFile(const Path& path, uint64_t size,
                           const std::vector<std::pair<uint64_t, std::vector<uint8_t>>>& writes) {
  static_assert(sizeof(off_t) == 8, "build with _FILE_OFFSET_BITS=64");
  const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
  if (fd < 0) return false;
  bool ok = true;
  for (const auto& [offset, bytes] : writes)
    ok = ok && pwrite(fd, bytes.data(), bytes.size(), off_t(offset)) == ssize_t(bytes.size());
  ok = ok && ftruncate(fd, off_t(size)) == 0;
  return close(fd) == 0 && ok;
}

using FileSource = PosixFileSource;
#endif

class MemorySource : public vcdiff::ByteSource {
 public:
  explicit MemorySource(const std::vector<uint8_t>& bytes) : bytes_(bytes) {}
  uint64_t Size() const override { return bytes_.size(); }
  bool ReadAt(uint64_t offset, void* buffer, size_t size) override {
    if (offset > bytes_.size() || size > bytes_.size() - offset) return false;
    if (size) std::memcpy(buffer, bytes_.data() + offset, size);
    return true;
  }

 private:
  const std::vector<uint8_t>& bytes_;
};

// Keeps what it is given, window by window, up to a cap: more is refused, as
// the patch tool refuses more than the localised size.
class MemorySink : public vcdiff::ByteSink {
 public:
  explicit MemorySink(size_t cap = SIZE_MAX) : cap_(cap) {}
  bool Write(const uint8_t* data, size_t size) override {
    if (size > cap_ - bytes.size()) return false;
    bytes.insert(bytes.end(), data, data + size);
    windows.push_back(size);
    return true;
  }
  std::vector<uint8_t> bytes;
  std::vector<size_t> windows;

 private:
  size_t cap_;
};

inline std::vector<uint8_t> ReadWhole(const Path& path) {
  FileSource file(path);
  std::vector<uint8_t> bytes(static_cast<size_t>(file.Size()));
  if (!file.ok() || (!bytes.empty() && !file.ReadAt(0, bytes.data(), bytes.size()))) bytes.clear();
  return bytes;
}

}  // namespace deltafiles
