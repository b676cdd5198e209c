#pragma once

// What a patch tool carries after its program image, and how a reader finds it
// in a tool that has been signed since it was made.
//
// make-patch-tool writes: the program, the delta, zero bytes up to 7 so that
// the file ends on a multiple of 8, then this 64-byte trailer as the file's
// last bytes. Appending needs only the prebuilt program and the packs to make
// a tool, no compiler; and the delta stays a plain region of the file that the
// decoder reads a little at a time, where a resource would be mapped into
// memory whole.
//
// Authenticode signing (osslsigncode, signtool) then changes exactly three
// things: it rewrites the optional header's CheckSum, points data-directory
// entry 4 (the certificate table) at a file offset, and appends the table
// there, after padding the file to a multiple of 8. Our file already is one,
// so nothing is padded and the table starts right after the trailer; signing
// again replaces the table in place. So:
// - where entry 4 is empty the file is unsigned and ours ends at its end; where
//   it is not, ours ends where the certificate table starts, and the trailer is
//   the 64 bytes before it. Everything from there on belongs to signing; a
//   table that runs past the file's end means the file was cut short.
// - toolHash is the XXH3 of every byte before the toolHash field, skipping the
//   4 bytes of CheckSum and the 8 of entry 4: blind to what signing changes,
//   and to nothing else.
// Keeping the record at the end of our bytes, rather than in a resource of the
// image, leaves the program untouched by make-patch-tool: the tool is the
// program built from source, byte for byte, followed by data.
//
// QVDELTA1 marks the layout before tools could be signed: no padding, and
// toolHash over every byte before it, CheckSum and entry 4 included. A reader
// takes it only as the very end of an unsigned file, which is where it always
// was and where such a tool still works; signing such a tool changed bytes its
// checksum covers, so a signed one is refused as damaged, as it always was.
//
// All fields are little-endian. scripts/patch-trailer writes and reads the same layout.
#include <cstdint>

#include "VcdiffDecoder.h"

struct PatchTrailer {
  uint64_t deltaOffset;  // where the delta starts; it ends at most 7 bytes before the trailer
  uint64_t deltaSize;
  uint64_t sourceSize;   // the original pack this tool is for
  uint64_t sourceHash;   // XXH3-64 of the original pack
  uint64_t targetSize;   // the localised pack it makes
  uint64_t targetHash;   // XXH3-64 of the localised pack
  uint64_t toolHash;     // XXH3-64 of the tool's bytes before this field, as described above
  char magic[8];
};

static_assert(sizeof(PatchTrailer) == 64, "the layout make-patch-tool writes");

constexpr char kTrailerMagic[8] = {'Q', 'V', 'D', 'E', 'L', 'T', 'A', '2'};
constexpr char kUnsignableTrailerMagic[8] = {'Q', 'V', 'D', 'E', 'L', 'T', 'A', '1'};
constexpr unsigned kTrailerHashedBytes = 48;  // the fields before toolHash

// What reading a tool's own record found.
enum class TrailerStatus {
  kOk,
  kReadError,     // the file could not be read (the reader's last error says why)
  kNotAProgram,   // no PE header where a tool has one
  kNoTrailer,     // nothing of ours where the layout puts the trailer
  kChecksum,      // the bytes do not match toolHash
  kLayout,        // the trailer does not describe the file
  kOldSigned,     // a QVDELTA1 tool that has been signed since
};

// Finds and checks the trailer of `tool`, read whole: on kOk, `trailer` holds
// it and its delta lies within the file's own bytes.
TrailerStatus ReadPatchTrailer(vcdiff::ByteSource& tool, PatchTrailer* trailer);

// In a few words, what a status other than kOk and kReadError means.
const char* TrailerProblem(TrailerStatus status);
