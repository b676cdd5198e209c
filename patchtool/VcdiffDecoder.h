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
  // Reads exactly `size` bytes at `offset`; false on an I/O error or a range past Size().
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
};

enum class Status {
  kOk,
  kCorrupt,         // the delta breaks the format: bad magic, lengths, addresses, instructions
  kUnsupported,     // well-formed, but a feature this decoder refuses (see detail)
  kWindowChecksum,  // a window's Adler-32 does not match what was decoded
  kDeltaRead,       // the delta could not be read
  kSourceRead,      // the source could not be read where a window needs it
  kSinkRefused,     // the sink's Write returned false
  kOutOfMemory,     // the window buffer could not be had
};

struct Limits {
  // xdelta3's largest window (-W 16 MiB); larger windows are refused as unsupported.
  uint32_t maxTargetWindow = 16u << 20;
  // Each of the four read buffers over the delta, and each of the 32 cached
  // blocks of the source (at least 1 byte). Tests make them tiny, so that a
  // small delta reaches the refills that real ones reach only past 64 KiB.
  uint32_t deltaBuffer = 64u << 10;
  uint32_t sourceBlock = 64u << 10;
};

struct Result {
  Status status = Status::kOk;
  std::string detail;       // English, one line, for the team that makes the tool
  uint64_t deltaOffset = 0; // where in the delta the decode stopped
};

// Decodes the whole delta into `target`, taking copies from `source`.
Result Decode(ByteSource& delta, ByteSource& source, ByteSink& target, const Limits& limits = Limits());

const char* StatusName(Status status);

}  // namespace vcdiff
