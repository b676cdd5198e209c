#pragma once

// Byte sources and sinks for the decoder tests: files read with ReadFile at
// 64-bit offsets, as the patch tool reads them, and memory for mutated deltas.
#include <windows.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "VcdiffDecoder.h"

namespace deltafiles {

class FileSource : public vcdiff::ByteSource {
 public:
  explicit FileSource(const std::wstring& path)
      : file_(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr)) {
    LARGE_INTEGER size{};
    if (file_ != INVALID_HANDLE_VALUE && GetFileSizeEx(file_, &size)) size_ = static_cast<uint64_t>(size.QuadPart);
  }
  ~FileSource() override {
    if (file_ != INVALID_HANDLE_VALUE) CloseHandle(file_);
  }
  FileSource(const FileSource&) = delete;
  FileSource& operator=(const FileSource&) = delete;

  bool ok() const { return file_ != INVALID_HANDLE_VALUE; }
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
      if (!ReadFile(file_, out, want, &got, &at) || got == 0) return false;
      out += got;
      offset += got;
      size -= got;
    }
    return true;
  }

 private:
  HANDLE file_;
  uint64_t size_ = 0;
};

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

inline std::vector<uint8_t> ReadWhole(const std::wstring& path) {
  FileSource file(path);
  std::vector<uint8_t> bytes(static_cast<size_t>(file.Size()));
  if (!file.ok() || (!bytes.empty() && !file.ReadAt(0, bytes.data(), bytes.size()))) bytes.clear();
  return bytes;
}

}  // namespace deltafiles
