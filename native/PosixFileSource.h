// A file read at any offset through pread, as the decoder's ByteSource: what
// the build machine's check reads the tool and the pack with, and the native
// tests their files.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <string>

#include "VcdiffDecoder.h"

class PosixFileSource : public vcdiff::ByteSource {
 public:
  explicit PosixFileSource(const std::string& path) : fd_(open(path.c_str(), O_RDONLY)) {
    // Packs pass 2 GiB: a 32-bit build needs 64-bit file offsets.
    static_assert(sizeof(off_t) == 8, "build with _FILE_OFFSET_BITS=64");
    struct stat status;
    if (fd_ >= 0 && fstat(fd_, &status) == 0) size_ = uint64_t(status.st_size);
  }
  ~PosixFileSource() override {
    if (fd_ >= 0) close(fd_);
  }
  PosixFileSource(const PosixFileSource&) = delete;
  PosixFileSource& operator=(const PosixFileSource&) = delete;

  bool ok() const { return fd_ >= 0; }
  uint64_t Size() const override { return size_; }
  bool ReadAt(uint64_t offset, void* buffer, size_t size) override {
    if (offset > size_ || size > size_ - offset) return false;
    auto* out = static_cast<uint8_t*>(buffer);
    while (size) {
      const ssize_t got = pread(fd_, out, size, off_t(offset));
      if (got <= 0) return false;
      out += got;
      offset += uint64_t(got);
      size -= size_t(got);
    }
    return true;
  }

 private:
  int fd_;
  uint64_t size_ = 0;
};
