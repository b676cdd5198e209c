#pragma once

// A streaming decoder for VCDIFF deltas (RFC 3284) with xdelta3's per-window
// Adler-32. It holds one target window in memory and reads everything else, the
// delta's sections and the source's bytes, as the instructions need them, so
// memory stays bounded whatever the pack's size or the delta says.
#include <cstddef>
#include <cstdint>
#include <string>

namespace vcdiff {

// Random-access bytes: the delta carried by the tool, or the pack being patched.
class ByteSource {
 public:
  virtual ~ByteSource() = default;
  virtual uint64_t Size() const = 0;
  // Reads exactly `size` bytes at `offset`; false on an I/O error or a range
  // past Size().
  virtual bool ReadAt(uint64_t offset, void* buffer, size_t size) = 0;
};

// Receives the target in order, one whole window at a time.
class ByteSink {
 public:
  virtual ~ByteSink() = default;
  // Where to build the next window of `size` bytes, so that a sink which writes
  // on another thread takes it without a copy; nullptr for the decoder's own
  // buffer. It is asked again for each window, and the one it gave stays the
  // decoder's until that window's Write.
  virtual uint8_t* WindowBuffer(size_t size) {
    (void)size;
    return nullptr;
  }
  // False stops the decode (a failed write, or more output than expected).
  virtual bool Write(const uint8_t* data, size_t size) = 0;
  // A COPY took `size` source bytes from `sourceOffset` to `targetOffset`, both
  // counted from the start of their file, so that a sink can tell which source
  // bytes live on in the target. Told while the window is built, before its Write.
  virtual void SourceCopied(uint64_t sourceOffset, uint64_t targetOffset, uint64_t size) {
    (void)sourceOffset;
    (void)targetOffset;
    (void)size;
  }
};

enum class Status {
  kOk,
  kCorrupt,         // the delta breaks the format: bad magic, lengths, addresses, instructions
  kUnsupported,     // well-formed, but a feature this decoder refuses (see field)
  kWindowChecksum,  // a window's Adler-32 does not match what was decoded
  kDeltaRead,       // the delta could not be read
  kSourceRead,      // the source could not be read where a window needs it
  kSinkRefused,     // the sink's Write returned false
  kOutOfMemory,     // the window buffer could not be had
};

// The sizes of the decoder's buffers, which bound its memory.
struct BufferSizes {
  // The largest target window, and so the most the window buffer holds:
  // xdelta3's largest (-W 16 MiB). Larger windows are refused as unsupported.
  uint32_t maxTargetWindow = 16u << 20;
  // Each of the four read buffers over the delta, and each of the 32 cached
  // blocks of the source (at least 1 byte). Tests make them tiny, so that a
  // small delta reaches the refills that real ones reach only past 64 KiB.
  uint32_t deltaBuffer = 64u << 10;
  uint32_t sourceBlock = 64u << 10;
};

// The header field the decoder stopped at, among those a delta's maker sets
// with xdelta3's options, so that the advice can say which option to change
// (DeltaAdvice.h); kNone when it stopped anywhere else, or not at all.
enum class Field {
  kNone,
  kVersion,              // the version byte
  kHeaderIndicator,      // bits of the header indicator this decoder does not know
  kSecondaryCompressor,  // VCD_DECOMPRESS, and the compressor it names
  kCodeTable,            // VCD_CODETABLE: an instruction code table of the delta's own
  kWindowIndicator,      // a window's indicator; unsupported: VCD_TARGET
  kTargetLength,         // a window's target length, and the memory for it
  kDeltaIndicator,       // a window's delta indicator; unsupported: compressed sections
};

constexpr uint64_t kNoWindow = UINT64_MAX;

struct Result {
  Status status = Status::kOk;
  Field field = Field::kNone;
  // The window it stopped in, counted from 0; kNoWindow in the delta's header.
  uint64_t window = kNoWindow;
  // English, one line, what was found: for the team that makes the tool. In a
  // window it starts "window N".
  std::string detail;
  uint64_t deltaOffset = 0;  // where in the delta the decode stopped
};

// Decodes the whole delta into `target`, taking copies from `source`.
Result Decode(ByteSource& delta, ByteSource& source, ByteSink& target,
              const BufferSizes& sizes = BufferSizes());

const char* StatusName(Status status);

}  // namespace vcdiff
