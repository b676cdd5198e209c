#pragma once

// What a patch tool carries after its program image: the delta, then this
// trailer as the file's last bytes. Appending needs only the prebuilt program and
// the packs to make a tool, no compiler; and the delta stays a plain region of
// the file that the decoder reads a little at a time, where a resource would be
// mapped into memory whole.
//
// All fields are little-endian. scripts/patch-trailer writes and reads the same layout.
#include <cstdint>

struct PatchTrailer {
  uint64_t deltaOffset;  // where the delta starts; it ends where the trailer starts
  uint64_t deltaSize;
  uint64_t sourceSize;   // the original pack this tool is for
  uint64_t sourceHash;   // XXH3-64 of the original pack
  uint64_t targetSize;   // the localised pack it makes
  uint64_t targetHash;   // XXH3-64 of the localised pack
  uint64_t toolHash;     // XXH3-64 of every byte of the file before this field
  char magic[8];
};

static_assert(sizeof(PatchTrailer) == 64, "the layout make-patch-tool writes");

constexpr char kTrailerMagic[8] = {'Q', 'V', 'D', 'E', 'L', 'T', 'A', '1'};
constexpr unsigned kTrailerHashedBytes = 48;  // the fields before toolHash
