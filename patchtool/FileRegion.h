#pragma once

// Files as the decoder reads them, on Windows: the patch tool's pack and the
// delta inside the tool, the restore program's pack and record.
#include <windows.h>

#include <cstdint>
#include <memory>
#include <new>

#include "Checksum.h"
#include "VcdiffDecoder.h"

// Reads exactly `size` bytes at `offset`, at most 16 MiB a call; a short read
// (end of file) is a failure, with ERROR_HANDLE_EOF as the last error.
inline bool ReadFileAt(HANDLE file, uint64_t offset, void* buffer, size_t size) {
  constexpr DWORD kMostAtOnce = 16u << 20;
  auto* bytes = static_cast<uint8_t*>(buffer);
  while (size > 0) {
    OVERLAPPED at = {};
    at.Offset = static_cast<DWORD>(offset);
    at.OffsetHigh = static_cast<DWORD>(offset >> 32);
    const DWORD want = size < kMostAtOnce ? static_cast<DWORD>(size) : kMostAtOnce;
    DWORD got = 0;
    if (!ReadFile(file, bytes, want, &got, &at)) return false;
    if (got == 0) {
      SetLastError(ERROR_HANDLE_EOF);
      return false;
    }
    bytes += got;
    offset += got;
    size -= got;
  }
  return true;
}

// `size` bytes of an open file from `start`.
class FileRegion : public vcdiff::ByteSource {
 public:
  FileRegion(HANDLE file, uint64_t start, uint64_t size)
      : file_(file), start_(start), size_(size) {}
  uint64_t Size() const override { return size_; }
  bool ReadAt(uint64_t offset, void* buffer, size_t size) override {
    if (offset > size_ || size > size_ - offset) return false;
    return ReadFileAt(file_, start_ + offset, buffer, size);
  }

 private:
  HANDLE file_;
  uint64_t start_;
  uint64_t size_;
};

// XXH3-64 of the whole region, read a megabyte at a time; false with the
// system's error, ERROR_NOT_ENOUGH_MEMORY when there is no room to read into.
inline bool ChecksumRegion(FileRegion& region, uint64_t* digest) {
  constexpr DWORD kChunk = 1u << 20;
  std::unique_ptr<uint8_t[]> buffer(new (std::nothrow) uint8_t[kChunk]);
  if (!buffer) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return false;
  }
  Checksum checksum;
  for (uint64_t at = 0; at < region.Size();) {
    const uint64_t left = region.Size() - at;
    const DWORD want = left < kChunk ? static_cast<DWORD>(left) : kChunk;
    if (!region.ReadAt(at, buffer.get(), want)) return false;
    checksum.Update(buffer.get(), want);
    at += want;
  }
  *digest = checksum.Digest();
  return true;
}
