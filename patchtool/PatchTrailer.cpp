#include "PatchTrailer.h"

#include <cstring>
#include <memory>

#include "Checksum.h"

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__,
              "the trailer and the PE header are read as they lie in the file");

namespace {

// The PE header fields that signing rewrites, and where the tool's own bytes end.
struct SignedFields {
  uint64_t checkSumAt;       // 4 bytes
  uint64_t securityEntryAt;  // 8 bytes: the certificate table's file offset and size
  uint64_t ownEnd;           // the file's size, or where the certificate table starts
  bool isSigned;
};

uint32_t Le32(const uint8_t* at) {
  uint32_t value;
  std::memcpy(&value, at, sizeof value);
  return value;
}

TrailerStatus FindSignedFields(vcdiff::ByteSource& tool, SignedFields* fields) {
  uint8_t dos[64];
  if (tool.Size() < sizeof dos) return TrailerStatus::kNotAProgram;
  if (!tool.ReadAt(0, dos, sizeof dos)) return TrailerStatus::kReadError;
  if (dos[0] != 'M' || dos[1] != 'Z') return TrailerStatus::kNotAProgram;
  const uint64_t pe = Le32(dos + 0x3c);
  // The signature, the file header and the optional header as far as the data
  // directory of either size.
  uint8_t header[24 + 112 + 5 * 8];
  if (pe > tool.Size() || tool.Size() - pe < sizeof header) return TrailerStatus::kNotAProgram;
  if (!tool.ReadAt(pe, header, sizeof header)) return TrailerStatus::kReadError;
  if (std::memcmp(header, "PE\0\0", 4) != 0) return TrailerStatus::kNotAProgram;
  const unsigned optionalSize = header[20] | header[21] << 8;
  const uint8_t* optional = header + 24;
  const unsigned magic = optional[0] | optional[1] << 8;
  unsigned directory;  // offset of the data directory in the optional header
  if (magic == 0x10b) {
    directory = 96;
  } else if (magic == 0x20b) {
    directory = 112;
  } else {
    return TrailerStatus::kNotAProgram;
  }
  const uint32_t entries = Le32(optional + directory - 4);
  constexpr unsigned kSecurityEntry = 4;
  const unsigned entryAt = directory + kSecurityEntry * 8;
  if (entries <= kSecurityEntry || optionalSize < entryAt + 8) return TrailerStatus::kNotAProgram;

  fields->checkSumAt = pe + 24 + 64;
  fields->securityEntryAt = pe + 24 + entryAt;
  const uint32_t tableAt = Le32(optional + entryAt), tableSize = Le32(optional + entryAt + 4);
  fields->isSigned = tableSize != 0;
  fields->ownEnd = fields->isSigned ? tableAt : tool.Size();
  // A table that runs past the file's end was cut short: a broken download,
  // whose signature Windows will not take either, even though ours is whole.
  if (fields->ownEnd > tool.Size() || tableSize > tool.Size() - fields->ownEnd ||
      fields->ownEnd < fields->securityEntryAt + 8)
    return TrailerStatus::kLayout;
  return TrailerStatus::kOk;
}

// XXH3 of [0, end) of `tool` without the byte ranges in `skip` (sorted, apart).
struct Range {
  uint64_t begin, size;
};
TrailerStatus HashSkipping(vcdiff::ByteSource& tool, uint64_t end, const Range* skip, size_t skips,
                           uint64_t* digest) {
  constexpr size_t kChunk = 1 << 20;
  std::unique_ptr<uint8_t[]> buffer(new uint8_t[kChunk]);
  Checksum checksum;
  uint64_t at = 0;
  for (size_t i = 0; i <= skips; ++i) {
    const uint64_t stop = i < skips ? skip[i].begin : end;
    while (at < stop) {
      const size_t want = stop - at < kChunk ? static_cast<size_t>(stop - at) : kChunk;
      if (!tool.ReadAt(at, buffer.get(), want)) return TrailerStatus::kReadError;
      checksum.Update(buffer.get(), want);
      at += want;
    }
    if (i < skips) at += skip[i].size;
  }
  *digest = checksum.Digest();
  return TrailerStatus::kOk;
}

}  // namespace

TrailerStatus ReadPatchTrailer(vcdiff::ByteSource& tool, PatchTrailer* trailer) {
  SignedFields fields;
  if (const TrailerStatus found = FindSignedFields(tool, &fields); found != TrailerStatus::kOk)
    return found;
  if (fields.ownEnd - (fields.securityEntryAt + 8) < sizeof(PatchTrailer))
    return TrailerStatus::kNoTrailer;
  const uint64_t trailerAt = fields.ownEnd - sizeof(PatchTrailer);
  if (!tool.ReadAt(trailerAt, trailer, sizeof(PatchTrailer))) return TrailerStatus::kReadError;

  uint64_t digest = 0;
  bool described;  // whether the delta lies between the header and the trailer
  if (std::memcmp(trailer->magic, kTrailerMagic, sizeof kTrailerMagic) == 0) {
    const Range skip[] = {{fields.checkSumAt, 4}, {fields.securityEntryAt, 8}};
    if (const TrailerStatus hashed =
            HashSkipping(tool, trailerAt + kTrailerHashedBytes, skip, 2, &digest);
        hashed != TrailerStatus::kOk)
      return hashed;
    // Up to 7 bytes of padding lie between the delta and the trailer.
    described = trailer->deltaOffset <= trailerAt &&
                trailer->deltaSize <= trailerAt - trailer->deltaOffset &&
                trailerAt - trailer->deltaOffset - trailer->deltaSize < 8;
  } else if (std::memcmp(trailer->magic, kUnsignableTrailerMagic, sizeof kUnsignableTrailerMagic) ==
             0) {
    if (fields.isSigned) return TrailerStatus::kOldSigned;
    if (const TrailerStatus hashed =
            HashSkipping(tool, trailerAt + kTrailerHashedBytes, nullptr, 0, &digest);
        hashed != TrailerStatus::kOk)
      return hashed;
    described =
        trailer->deltaOffset <= trailerAt && trailer->deltaSize == trailerAt - trailer->deltaOffset;
  } else {
    return TrailerStatus::kNoTrailer;
  }
  if (digest != trailer->toolHash) return TrailerStatus::kChecksum;
  // The delta never reaches into the PE header that names the fields skipped above.
  if (!described || trailer->deltaOffset < fields.securityEntryAt + 8)
    return TrailerStatus::kLayout;
  return TrailerStatus::kOk;
}

const char* TrailerProblem(TrailerStatus status) {
  switch (status) {
    case TrailerStatus::kOk:
      return "the tool is whole";
    case TrailerStatus::kReadError:
      return "the tool could not be read";
    case TrailerStatus::kNotAProgram:
      return "no delta: the file is not a Windows program";
    case TrailerStatus::kNoTrailer:
      return "no delta: the file is truncated, or is not a made tool";
    case TrailerStatus::kChecksum:
      return "the file does not match its checksum";
    case TrailerStatus::kLayout:
      return "the trailer does not describe the file";
    case TrailerStatus::kOldSigned:
      return "a tool made before tools could be signed has been signed, which changed bytes its "
             "checksum covers";
  }
  return "unknown";
}
