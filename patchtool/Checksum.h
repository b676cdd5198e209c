#pragma once

// XXH3-64 of a stream: several GB/s even in a 32-bit program, so checking a
// whole pack costs little beside reading and writing it.
#include <cstddef>
#include <cstdint>

class Checksum {
 public:
  Checksum();
  ~Checksum();
  Checksum(const Checksum&) = delete;
  Checksum& operator=(const Checksum&) = delete;

  void Update(const void* data, size_t size);
  uint64_t Digest() const;

 private:
  struct State;
  State* state_;
};

uint64_t ChecksumOf(const void* data, size_t size);
