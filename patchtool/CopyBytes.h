#pragma once

// A copy of a few bytes, as most of the decoder's are: an ADD's data, a short
// COPY through the source's blocks.
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace vcdiff {

// Most instructions move a few bytes; a call into the C library for each costs
// more than the copy, so short ones are done here with overlapping head and
// tail moves. `out` and `from` must not overlap.
inline void CopyBytes(uint8_t* out, const uint8_t* from, size_t size) {
  if (size > 32) {
    std::memcpy(out, from, size);
  } else if (size >= 16) {
    uint64_t a[2], b[2];
    std::memcpy(a, from, 16);
    std::memcpy(b, from + size - 16, 16);
    std::memcpy(out, a, 16);
    std::memcpy(out + size - 16, b, 16);
  } else if (size >= 8) {
    uint64_t a, b;
    std::memcpy(&a, from, 8);
    std::memcpy(&b, from + size - 8, 8);
    std::memcpy(out, &a, 8);
    std::memcpy(out + size - 8, &b, 8);
  } else if (size >= 4) {
    uint32_t a, b;
    std::memcpy(&a, from, 4);
    std::memcpy(&b, from + size - 4, 4);
    std::memcpy(out, &a, 4);
    std::memcpy(out + size - 4, &b, 4);
  } else if (size) {
    const uint8_t a = from[0], b = from[size / 2], c = from[size - 1];
    out[0] = a;
    out[size / 2] = b;
    out[size - 1] = c;
  }
}

}  // namespace vcdiff
