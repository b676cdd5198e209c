// vcdiff_check TOOL ORIGINAL: checks a made patch tool on the build machine,
// without Wine, as the tool itself would: its trailer and its own checksum,
// found by the tool's own reader whether the tool is signed or not, ORIGINAL's
// size and XXH3 against what the trailer says, then the delta it carries
// decoded over ORIGINAL and the result's size and XXH3 against the localised
// pack's. Prints one line; exits 0 only when everything matches.
#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <string>
#include <vector>

#include "Checksum.h"
#include "DeltaAdvice.h"
#include "PatchTrailer.h"
#include "PosixFileSource.h"
#include "VcdiffDecoder.h"

namespace {


// A range of another source: the delta inside the tool.
class Region : public vcdiff::ByteSource {
 public:
  Region(vcdiff::ByteSource& whole, uint64_t begin, uint64_t size)
      : whole_(whole), begin_(begin), size_(size) {}
  uint64_t Size() const override { return size_; }
  bool ReadAt(uint64_t offset, void* buffer, size_t size) override {
    return offset <= size_ && size <= size_ - offset &&
           whole_.ReadAt(begin_ + offset, buffer, size);
  }

 private:
  vcdiff::ByteSource& whole_;
  uint64_t begin_, size_;
};

class Hashing : public vcdiff::ByteSink {
 public:
  bool Write(const uint8_t* data, size_t size) override {
    checksum.Update(data, size);
    bytes += size;
    return true;
  }
  Checksum checksum;
  uint64_t bytes = 0;
};

bool HashOf(vcdiff::ByteSource& file, uint64_t size, uint64_t& hash) {
  Checksum checksum;
  std::vector<uint8_t> buffer(1 << 20);
  for (uint64_t at = 0; at < size;) {
    const size_t n = size - at < buffer.size() ? size_t(size - at) : buffer.size();
    if (!file.ReadAt(at, buffer.data(), n)) return false;
    checksum.Update(buffer.data(), n);
    at += n;
  }
  hash = checksum.Digest();
  return true;
}

int Fail(const char* format, ...) __attribute__((format(printf, 1, 2)));
int Fail(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::fputs("vcdiff_check: ", stderr);
  std::vfprintf(stderr, format, args);
  std::fputc('\n', stderr);
  va_end(args);
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) return Fail("usage: vcdiff_check TOOL ORIGINAL");
  PosixFileSource tool(argv[1]), original(argv[2]);
  if (!tool.ok()) return Fail("%s cannot be read", argv[1]);
  if (!original.ok()) return Fail("%s cannot be read", argv[2]);

  PatchTrailer trailer;
  const TrailerStatus found = ReadPatchTrailer(tool, &trailer);
  if (found == TrailerStatus::kReadError) return Fail("%s cannot be read", argv[1]);
  if (found != TrailerStatus::kOk) return Fail("%s: %s", argv[1], TrailerProblem(found));

  uint64_t originalHash;
  if (original.Size() != trailer.sourceSize || !HashOf(original, original.Size(), originalHash) ||
      originalHash != trailer.sourceHash)
    return Fail("%s is not the original this tool is for (%" PRIu64 " bytes, XXH3 %016" PRIx64 ")",
                argv[2], trailer.sourceSize, trailer.sourceHash);

  Region delta(tool, trailer.deltaOffset, trailer.deltaSize);
  Hashing out;
  const vcdiff::Result r = vcdiff::Decode(delta, original, out);
  if (r.status != vcdiff::Status::kOk)
    return Fail("the delta does not decode: %s at delta offset %" PRIu64 ": %s",
                vcdiff::StatusName(r.status), r.deltaOffset, DetailWithAdvice(r).c_str());
  const uint64_t made = out.checksum.Digest();
  if (out.bytes != trailer.targetSize || made != trailer.targetHash)
    return Fail("the delta makes %" PRIu64 " bytes with XXH3 %016" PRIx64
                ", not the localised %" PRIu64 " bytes with XXH3 %016" PRIx64,
                out.bytes, made, trailer.targetSize, trailer.targetHash);
  std::printf("decoded natively: %" PRIu64 " bytes, XXH3 %016" PRIx64 ", as the localised pack\n",
              out.bytes, made);
  return 0;
}
