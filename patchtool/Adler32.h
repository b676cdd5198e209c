#pragma once

// Adler-32 (RFC 1950) of a buffer, as xdelta3 records it for each window. The
// decoder checks every window with it, so it runs over every byte of the
// output; with SSE2 it is several times faster than a byte-at-a-time loop.
#include <cstddef>
#include <cstdint>

namespace vcdiff {

// Continues `adler` (1 for an empty input) over `size` bytes.
uint32_t Adler32(uint32_t adler, const uint8_t* data, size_t size);

}  // namespace vcdiff
