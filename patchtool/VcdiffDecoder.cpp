// The VCDIFF decoder (RFC 3284). A delta is a file header, then windows up to
// its end, each of which makes the next stretch of the target. As Run walks it
// (the RFC's sections 4.1 to 4.3; integers are base-128, most significant digit
// first, and at most 64 bits here):
//
//   file header                                       ReadHeader
//     D6 C3 C4            "VCD" with the top bits set
//     00                  the version
//     indicator           0x01 a secondary compressor, 0x02 a code table of
//                         the delta's own: both refused; 0x04 xdelta3's
//                         application header
//     [length, bytes]     the application header, skipped
//   windows, one after another up to the delta's end
//     window header                                   ReadWindowHeader
//       indicator         0x01 VCD_SOURCE: the window copies from the source;
//                         0x02 VCD_TARGET: refused; 0x04 xdelta3's Adler-32
//       [length, position]  the source segment, with VCD_SOURCE
//       encoding length   the bytes after it, up to the window's end
//       target length     at most BufferSizes::maxTargetWindow
//       delta indicator   which sections are compressed: refused unless none
//       three lengths     the sections', which fill the rest of the encoding
//       [Adler-32]        four bytes, most significant first, with 0x04
//     sections                                        ApplyWindow
//       data              the bytes of the ADDs and RUNs, in order
//       instructions      code table indexes, each followed by the sizes its
//                         code leaves at 0
//       addresses         the COPYs' addresses, each in its COPY's mode
//
// The headers are read through one SectionReader, each section through one of
// its own. The instructions must fill the target window exactly and use up all
// three sections; the window is checked against its Adler-32 and handed to the
// sink, and the next window header starts where the encoding ends.
#include "VcdiffDecoder.h"

#include "AddressCache.h"
#include "Adler32.h"
#include "CopyBytes.h"
#include "SectionReader.h"

#include <algorithm>
#include <array>
#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

namespace vcdiff {

const char* StatusName(Status status) {
  switch (status) {
    case Status::kOk: return "ok";
    case Status::kCorrupt: return "corrupt";
    case Status::kUnsupported: return "unsupported";
    case Status::kWindowChecksum: return "window checksum";
    case Status::kDeltaRead: return "delta read";
    case Status::kSourceRead: return "source read";
    case Status::kSinkRefused: return "sink refused";
    case Status::kOutOfMemory: return "out of memory";
  }
  return "unknown";
}

namespace {

// Header indicator bits; 0x04 is xdelta3's application header.
constexpr uint8_t kHdrDecompress = 0x01;
constexpr uint8_t kHdrCodeTable = 0x02;
constexpr uint8_t kHdrAppHeader = 0x04;
// Window indicator bits; 0x04 is xdelta3's Adler-32 of the target window.
constexpr uint8_t kWinSource = 0x01;
constexpr uint8_t kWinTarget = 0x02;
constexpr uint8_t kWinAdler32 = 0x04;
constexpr uint8_t kSectionsCompressed = 0x07;

enum : uint8_t { kNoop = 0, kAdd = 1, kRun = 2, kCopy = 3 };

struct Code {
  uint8_t type1, size1, mode1, type2, size2, mode2;
};
using CodeTable = std::array<Code, 256>;

// The default instruction table, laid out in the order its index ranges run:
// one RUN, the ADDs, the COPYs of each mode, then the ADD+COPY and COPY+ADD pairs.
constexpr CodeTable MakeDefaultTable() {
  CodeTable table{};
  unsigned i = 0;
  table[i++] = {kRun, 0, 0, kNoop, 0, 0};
  for (unsigned size = 0; size <= 17; ++size) table[i++] = {kAdd, uint8_t(size), 0, kNoop, 0, 0};
  for (unsigned mode = 0; mode <= 8; ++mode) {
    table[i++] = {kCopy, 0, uint8_t(mode), kNoop, 0, 0};
    for (unsigned size = 4; size <= 18; ++size)
      table[i++] = {kCopy, uint8_t(size), uint8_t(mode), kNoop, 0, 0};
  }
  for (unsigned mode = 0; mode <= 5; ++mode)
    for (unsigned add = 1; add <= 4; ++add)
      for (unsigned copy = 4; copy <= 6; ++copy)
        table[i++] = {kAdd, uint8_t(add), 0, kCopy, uint8_t(copy), uint8_t(mode)};
  for (unsigned mode = 6; mode <= 8; ++mode)
    for (unsigned add = 1; add <= 4; ++add)
      table[i++] = {kAdd, uint8_t(add), 0, kCopy, 4, uint8_t(mode)};
  for (unsigned mode = 0; mode <= 8; ++mode) table[i++] = {kCopy, 4, uint8_t(mode), kAdd, 1, 0};
  return table;
}
constexpr CodeTable kDefaultTable = MakeDefaultTable();
static_assert(kDefaultTable[255].type1 == kCopy && kDefaultTable[255].mode1 == 8 &&
                  kDefaultTable[255].type2 == kAdd,
              "the pairs must fill the table exactly");
static_assert(kDefaultTable[163].type1 == kAdd && kDefaultTable[163].type2 == kCopy &&
                  kDefaultTable[162].type2 == kNoop,
              "the single COPYs must end at 162");

// Source bytes for COPYs. Long copies go straight into the window; short ones,
// which come in thousands, through a few aligned blocks kept by recent use.
class SourceReader {
 public:
  static constexpr size_t kSlots = 32;

  SourceReader(ByteSource& source, size_t block)
      : source_(source),
        size_(source.Size()),
        block_(std::max<size_t>(block, 1)),
        direct_(std::max<size_t>(block_ / 2, 1)) {}
  uint64_t Size() const { return size_; }
  // Whether the last failed Read failed for want of memory for the blocks.
  bool outOfMemory() const { return outOfMemory_; }

  // Reads [offset, offset + size), which the caller has checked lies within the source.
  bool Read(uint64_t offset, uint8_t* out, size_t size) {
    if (size >= direct_) return source_.ReadAt(offset, out, size);
    while (size) {
      const uint64_t block = offset / block_;
      const uint8_t* data = Block(block);
      if (!data) return false;
      const size_t at = size_t(offset % block_);
      // The block holds all of it: offset + n <= size_.
      const size_t n = std::min(size, block_ - at);
      CopyBytes(out, data + at, n);
      out += n;
      offset += n;
      size -= n;
    }
    return true;
  }

 private:
  const uint8_t* Block(uint64_t block) {
    if (last_ < kSlots && tag_[last_] == block) return memory_.get() + last_ * block_;
    if (!memory_) {
      if (block_ <= SIZE_MAX / kSlots) memory_.reset(new (std::nothrow) uint8_t[kSlots * block_]);
      outOfMemory_ = !memory_;
      if (!memory_) return nullptr;
      std::fill(std::begin(tag_), std::end(tag_), UINT64_MAX);
    }
    ++clock_;
    size_t victim = 0;
    for (size_t i = 0; i < kSlots; ++i) {
      if (tag_[i] == block) {
        used_[i] = clock_;
        last_ = i;
        return memory_.get() + i * block_;
      }
      if (used_[i] < used_[victim]) victim = i;
    }
    const uint64_t start = block * block_;
    const size_t n = size_t(std::min<uint64_t>(block_, size_ - start));
    tag_[victim] = UINT64_MAX;
    if (!source_.ReadAt(start, memory_.get() + victim * block_, n)) return nullptr;
    tag_[victim] = block;
    used_[victim] = clock_;
    last_ = victim;
    return memory_.get() + victim * block_;
  }

  ByteSource& source_;
  const uint64_t size_;
  const size_t block_;
  const size_t direct_;  // copies this long go straight into the window
  std::unique_ptr<uint8_t[]> memory_;
  uint64_t tag_[kSlots];
  uint64_t used_[kSlots] = {};
  uint64_t clock_ = 0;
  size_t last_ = kSlots;
  bool outOfMemory_ = false;
};

// Copies within the window where the ranges may overlap: each byte must see the
// bytes written before it, so a short distance repeats a pattern. The pattern
// doubles with every pass, so a long run takes few memcpy calls.
inline void CopyWithin(uint8_t* out, const uint8_t* from, size_t size) {
  const size_t distance = size_t(out - from);
  if (distance >= size) {
    CopyBytes(out, from, size);
  } else if (distance == 1) {
    std::memset(out, *from, size);
  } else {
    while (size) {
      const size_t n = std::min(size, size_t(out - from));
      CopyBytes(out, from, n);
      out += n;
      size -= n;
    }
  }
}

// A window's header, checked against the source and the delta: all that
// building the window needs. Offsets are the delta's.
struct WindowHeader {
  uint64_t start = 0;  // where its indicator is
  uint8_t indicator = 0;
  // Its source segment; 0 and 0 without VCD_SOURCE.
  uint64_t segmentLength = 0, segmentPosition = 0;
  uint64_t encodingStart = 0;  // where its target window length is
  uint64_t encodingEnd = 0;    // just past its delta encoding: where the next window starts
  size_t targetLength = 0;
  uint64_t dataStart = 0;  // where its data section starts
  uint64_t dataLength = 0, instLength = 0;
  uint32_t checksum = 0;  // its Adler-32, when the indicator says it has one
};

class Decoder {
 public:
  Decoder(ByteSource& delta, ByteSource& source, ByteSink& target, const BufferSizes& sizes)
      : target_(target),
        sizes_(sizes),
        deltaSize_(delta.Size()),
        buffer_(std::max<size_t>(sizes.deltaBuffer, 1)),
        buffers_(buffer_ <= SIZE_MAX / 4 ? new (std::nothrow) uint8_t[4 * buffer_] : nullptr),
        header_(delta, Buffer(0), buffer_),
        data_(delta, Buffer(1), buffer_),
        inst_(delta, Buffer(2), buffer_),
        addr_(delta, Buffer(3), buffer_),
        source_(source, sizes.sourceBlock) {}

  Result Run() {
    if (!buffers_) {
      Fail(Status::kOutOfMemory, Field::kNone, 0, "no memory for the delta's read buffers");
      return result_;
    }
    header_.Seek(0, deltaSize_);
    if (!ReadHeader()) return result_;
    uint64_t targetStart = 0;  // where the window starts in the whole target
    for (window_ = 0; header_.Offset() < deltaSize_; ++window_) {
      WindowHeader window;
      if (!ReadWindowHeader(window) || !ApplyWindow(window, targetStart)) return result_;
      targetStart += window.targetLength;
      header_.Seek(window.encodingEnd, deltaSize_);
    }
    result_.deltaOffset = deltaSize_;
    return result_;
  }

 private:
  // The readers' buffers, none when there was no memory for them (Run stops then).
  uint8_t* Buffer(size_t i) { return buffers_ ? buffers_.get() + i * buffer_ : nullptr; }

  // Every failure ends here: what was found, where, in one line. In a window
  // the line starts "window N: ", which Fail adds.
  bool Fail(Status status, Field field, uint64_t offset, const char* format, ...)
      __attribute__((format(printf, 5, 6))) {
    va_list args;
    va_start(args, format);
    Report(status, field, offset, true, format, args);
    va_end(args);
    return false;
  }

  // Fail without the prefix, for the one line that names its window in a
  // sentence of its own.
  bool FailUnprefixed(Status status, Field field, uint64_t offset, const char* format, ...)
      __attribute__((format(printf, 5, 6))) {
    va_list args;
    va_start(args, format);
    Report(status, field, offset, false, format, args);
    va_end(args);
    return false;
  }

  // The result, for both.
  void Report(Status status, Field field, uint64_t offset, bool prefixed, const char* format,
              va_list args) __attribute__((format(printf, 6, 0))) {
    char text[256];
    int prefix = 0;
    if (prefixed && window_ != kNoWindow)
      prefix = std::snprintf(text, sizeof text, "window %" PRIu64 ": ", window_);
    std::vsnprintf(text + prefix, sizeof text - size_t(prefix), format, args);
    result_.status = status;
    result_.field = field;
    result_.window = window_;
    result_.detail = text;
    result_.deltaOffset = offset;
  }

  // A reader's failure as a result; `what` names the item being read.
  bool ReaderFailed(const SectionReader& reader, Field field, const char* what) {
    const uint64_t at = reader.faultOffset();
    // Fail names the window; in the file header, the line names the header.
    const char* place = window_ == kNoWindow ? "the delta's header: " : "";
    const char* section = &reader == &data_   ? "data"
                          : &reader == &inst_ ? "instructions"
                          : &reader == &addr_ ? "addresses"
                                              : nullptr;
    if (reader.fault() == SectionReader::Fault::kRead)
      return Fail(Status::kDeltaRead, field, at, "%sthe delta could not be read at offset %" PRIu64,
                  place, at);
    if (reader.fault() == SectionReader::Fault::kVarint)
      return Fail(Status::kCorrupt, field, at,
                  "%s%s is not an integer of 64 bits in at most ten bytes", place, what);
    if (section)
      return Fail(Status::kCorrupt, field, at, "%s%s runs past the end of the %s section", place,
                  what, section);
    return Fail(Status::kCorrupt, field, at,
                "%s%s runs past the end of the delta; is it truncated?", place, what);
  }

  // The file header (RFC 3284 section 4.1), up to the first window.
  bool ReadHeader() {
    uint8_t head[5];
    for (uint8_t& b : head)
      if (!header_.Byte(b)) return ReaderFailed(header_, Field::kNone, "magic and indicator");
    if (head[0] != 0xD6 || head[1] != 0xC3 || head[2] != 0xC4)
      return Fail(Status::kCorrupt, Field::kNone, 0,
                  "not a VCDIFF delta: the first bytes are %02X %02X %02X, not D6 C3 C4", head[0],
                  head[1], head[2]);
    if (head[3] != 0)
      return Fail(Status::kUnsupported, Field::kVersion, 3,
                  "unknown VCDIFF version byte 0x%02X (only 0 is known)", head[3]);
    const uint8_t indicator = head[4];
    if (indicator & kHdrDecompress) {
      uint8_t id = 0;
      header_.Byte(id);
      return Fail(Status::kUnsupported, Field::kSecondaryCompressor, 4,
                  "the delta uses secondary compression (VCD_DECOMPRESS, compressor %u)", id);
    }
    if (indicator & kHdrCodeTable)
      return Fail(Status::kUnsupported, Field::kCodeTable, 4,
                  "the delta brings its own instruction code table (VCD_CODETABLE)");
    if (indicator & ~(kHdrDecompress | kHdrCodeTable | kHdrAppHeader))
      return Fail(Status::kUnsupported, Field::kHeaderIndicator, 4,
                  "the delta's header indicator 0x%02X has bits this decoder does not know",
                  indicator);
    if (indicator & kHdrAppHeader) {
      uint64_t length;
      if (!header_.Varint(length))
        return ReaderFailed(header_, Field::kNone, "application header length");
      const uint64_t at = header_.Offset();
      if (length > deltaSize_ - at)
        return Fail(Status::kCorrupt, Field::kNone, at,
                    "the application header of %" PRIu64 " bytes runs past the end of the delta",
                    length);
      header_.Seek(at + length, deltaSize_);
    }
    return true;
  }

  // Reads the next window's header into `w`, up to its data section.
  bool ReadWindowHeader(WindowHeader& w) {
    w.start = header_.Offset();
    if (!header_.Byte(w.indicator))
      return ReaderFailed(header_, Field::kWindowIndicator, "window indicator");
    if (w.indicator & ~(kWinSource | kWinTarget | kWinAdler32))
      return Fail(Status::kCorrupt, Field::kWindowIndicator, w.start,
                  "unknown indicator bits 0x%02X", w.indicator);
    if ((w.indicator & kWinSource) && (w.indicator & kWinTarget))
      return Fail(Status::kCorrupt, Field::kWindowIndicator, w.start,
                  "both VCD_SOURCE and VCD_TARGET are set");
    if (w.indicator & kWinTarget)
      return FailUnprefixed(Status::kUnsupported, Field::kWindowIndicator, w.start,
                            "window %" PRIu64 " copies from earlier target data (VCD_TARGET), "
                            "which this decoder does not keep",
                            window_);

    if (w.indicator & kWinSource) {
      if (!header_.Varint(w.segmentLength))
        return ReaderFailed(header_, Field::kNone, "source segment length");
      if (!header_.Varint(w.segmentPosition))
        return ReaderFailed(header_, Field::kNone, "source segment position");
      const uint64_t sourceSize = source_.Size();
      if (w.segmentPosition > sourceSize || w.segmentLength > sourceSize - w.segmentPosition)
        return Fail(Status::kCorrupt, Field::kNone, w.start,
                    "source segment of %" PRIu64 " bytes at %" PRIu64
                    " is past the source's end (%" PRIu64 " bytes)",
                    w.segmentLength, w.segmentPosition, sourceSize);
    }

    uint64_t encodingLength, targetLength, addrLength;
    if (!header_.Varint(encodingLength))
      return ReaderFailed(header_, Field::kNone, "delta encoding length");
    w.encodingStart = header_.Offset();
    if (encodingLength > deltaSize_ - w.encodingStart)
      return Fail(Status::kCorrupt, Field::kNone, w.encodingStart,
                  "its delta encoding of %" PRIu64 " bytes runs past the end of the delta (%" PRIu64
                  " bytes); is the delta truncated?",
                  encodingLength, deltaSize_);
    if (!header_.Varint(targetLength))
      return ReaderFailed(header_, Field::kTargetLength, "target window length");
    if (targetLength > sizes_.maxTargetWindow)
      return Fail(Status::kUnsupported, Field::kTargetLength, w.encodingStart,
                  "a target window of %" PRIu64 " bytes is over this decoder's limit of %u",
                  targetLength, sizes_.maxTargetWindow);
    uint8_t deltaIndicator;
    if (!header_.Byte(deltaIndicator))
      return ReaderFailed(header_, Field::kDeltaIndicator, "delta indicator");
    if (deltaIndicator & ~kSectionsCompressed)
      return Fail(Status::kCorrupt, Field::kDeltaIndicator, header_.Offset() - 1,
                  "unknown delta indicator bits 0x%02X", deltaIndicator);
    if (deltaIndicator)
      return Fail(Status::kUnsupported, Field::kDeltaIndicator, header_.Offset() - 1,
                  "its sections are compressed by a secondary compressor (delta indicator 0x%02X)",
                  deltaIndicator);
    if (!header_.Varint(w.dataLength))
      return ReaderFailed(header_, Field::kNone, "data section length");
    if (!header_.Varint(w.instLength))
      return ReaderFailed(header_, Field::kNone, "instructions section length");
    if (!header_.Varint(addrLength))
      return ReaderFailed(header_, Field::kNone, "addresses section length");
    if (w.indicator & kWinAdler32) {
      uint8_t b[4];
      for (uint8_t& x : b)
        if (!header_.Byte(x)) return ReaderFailed(header_, Field::kNone, "window checksum");
      w.checksum = uint32_t(b[0]) << 24 | uint32_t(b[1]) << 16 | uint32_t(b[2]) << 8 | b[3];
    }
    w.dataStart = header_.Offset();
    w.encodingEnd = w.encodingStart + encodingLength;
    if (w.dataStart > w.encodingEnd)
      return Fail(Status::kCorrupt, Field::kNone, w.encodingStart,
                  "its header is longer than its delta encoding (%" PRIu64 " bytes)",
                  encodingLength);
    const uint64_t room = w.encodingEnd - w.dataStart;
    if (w.dataLength > room || w.instLength > room - w.dataLength ||
        addrLength != room - w.dataLength - w.instLength)
      return Fail(Status::kCorrupt, Field::kNone, w.encodingStart,
                  "sections of %" PRIu64 " + %" PRIu64 " + %" PRIu64
                  " bytes do not fill its delta encoding's %" PRIu64,
                  w.dataLength, w.instLength, addrLength, room);
    if (w.segmentLength > UINT64_MAX - targetLength)
      return Fail(Status::kCorrupt, Field::kNone, w.start,
                  "source segment length %" PRIu64 " overflows", w.segmentLength);
    w.targetLength = size_t(targetLength);
    return true;
  }

  // Builds the window `w` describes, checks it and hands it to the sink;
  // `targetStart` is where it starts in the whole target.
  bool ApplyWindow(const WindowHeader& w, uint64_t targetStart) {
    uint8_t* out = target_.WindowBuffer(w.targetLength);
    if (!out) {
      if (!ReserveWindow(w.targetLength)) return false;
      out = windowBuffer_.get();
    }
    const uint64_t instStart = w.dataStart + w.dataLength, addrStart = instStart + w.instLength;
    data_.Borrow(header_, w.dataStart, instStart);
    inst_.Borrow(header_, instStart, addrStart);
    addr_.Borrow(header_, addrStart, w.encodingEnd);
    if (!DecodeInstructions(w, targetStart, out)) return false;

    if (w.indicator & kWinAdler32) {
      const uint32_t actual = Adler32(1, out, w.targetLength);
      if (actual != w.checksum)
        return Fail(Status::kWindowChecksum, Field::kNone, w.start,
                    "Adler-32 of the decoded %" PRIu64
                    " bytes is %08X, the delta says %08X; wrong source file?",
                    uint64_t(w.targetLength), unsigned(actual), unsigned(w.checksum));
    }
    if (w.targetLength && !target_.Write(out, w.targetLength))
      return Fail(Status::kSinkRefused, Field::kNone, w.start,
                  "the output refused %" PRIu64 " bytes", uint64_t(w.targetLength));
    return true;
  }

  bool ReserveWindow(size_t size) {
    if (windowBuffer_ && size <= windowCapacity_) return true;
    windowBuffer_.reset();
    windowCapacity_ = 0;
    const size_t capacity = std::max<size_t>(size, 64 << 10);
    windowBuffer_.reset(new (std::nothrow) uint8_t[capacity]);
    if (!windowBuffer_)
      return Fail(Status::kOutOfMemory, Field::kTargetLength, header_.Offset(),
                  "no memory for a target window of %" PRIu64 " bytes", uint64_t(size));
    windowCapacity_ = capacity;
    return true;
  }

  // The instructions fill the window `out` exactly and use up all three sections.
  bool DecodeInstructions(const WindowHeader& w, uint64_t targetStart, uint8_t* const out) {
    const size_t length = w.targetLength;
    size_t pos = 0;
    addresses_.Reset();

    while (!inst_.AtEnd()) {
      uint8_t index;
      if (!inst_.Byte(index)) return ReaderFailed(inst_, Field::kNone, "an instruction");
      const Code& code = kDefaultTable[index];
      for (int half = 0; half < 2; ++half) {
        const uint8_t type = half ? code.type2 : code.type1;
        if (type == kNoop) continue;
        uint64_t size = half ? code.size2 : code.size1;
        if (size == 0 && !inst_.Varint(size))
          return ReaderFailed(inst_, Field::kNone, "an instruction's size");
        if (size > length - pos)
          return Fail(Status::kCorrupt, Field::kNone, inst_.Offset(),
                      "an instruction of %" PRIu64 " bytes at target offset %" PRIu64
                      " runs past the window's %" PRIu64 " bytes",
                      size, uint64_t(pos), uint64_t(length));
        const size_t n = size_t(size);
        if (type == kAdd) {
          if (!data_.Copy(out + pos, n)) return ReaderFailed(data_, Field::kNone, "an ADD's data");
        } else if (type == kRun) {
          uint8_t b;
          if (!data_.Byte(b)) return ReaderFailed(data_, Field::kNone, "a RUN's byte");
          std::memset(out + pos, b, n);
        } else if (!Copy(w, targetStart, half ? code.mode2 : code.mode1, out, pos, n)) {
          return false;
        }
        pos += n;
      }
    }
    if (pos != length)
      return Fail(Status::kCorrupt, Field::kNone, inst_.Offset(),
                  "the instructions make %" PRIu64 " bytes of a %" PRIu64 "-byte window",
                  uint64_t(pos), uint64_t(length));
    if (!data_.AtEnd())
      return Fail(Status::kCorrupt, Field::kNone, data_.Offset(), "data section not used up");
    if (!addr_.AtEnd())
      return Fail(Status::kCorrupt, Field::kNone, addr_.Offset(), "addresses section not used up");
    return true;
  }

  // One COPY of `n` bytes to `pos` in the window `out`, its address in `mode`.
  bool Copy(const WindowHeader& w, uint64_t targetStart, unsigned mode, uint8_t* out, size_t pos,
            size_t n) {
    const uint64_t segment = w.segmentLength;
    const uint64_t here = segment + pos;
    uint64_t value;
    if (AddressCache::ReadsInteger(mode)) {
      if (!addr_.Varint(value)) return ReaderFailed(addr_, Field::kNone, "a COPY's address");
    } else {
      uint8_t b;
      if (!addr_.Byte(b)) return ReaderFailed(addr_, Field::kNone, "a COPY's address");
      value = b;
    }
    uint64_t address = 0;
    switch (addresses_.Decode(mode, value, here, address)) {
      case AddressCache::Fault::kNone:
        break;
      case AddressCache::Fault::kBeforeStart:
        return Fail(Status::kCorrupt, Field::kNone, inst_.Offset(),
                    "a COPY's address lies %" PRIu64 " bytes before the start of the source",
                    value - here);
      case AddressCache::Fault::kNearOverflow:
        return Fail(Status::kCorrupt, Field::kNone, inst_.Offset(),
                    "a COPY's near address overflows");
    }
    addresses_.Update(address);
    if (address >= here)
      return Fail(Status::kCorrupt, Field::kNone, inst_.Offset(),
                  "a COPY at target offset %" PRIu64 " reads from address %" PRIu64
                  ", not before it (%" PRIu64 ")",
                  uint64_t(pos), address, here);
    if (address >= segment) {
      CopyWithin(out + pos, out + size_t(address - segment), n);
      return true;
    }
    // A copied string lies wholly in the source segment or wholly in the
    // target window (RFC 3284, section 3); xdelta3 -d refuses one that runs on
    // from the one into the other, and so does this.
    if (n > segment - address)
      return Fail(Status::kCorrupt, Field::kNone, inst_.Offset(),
                  "a COPY of %" PRIu64 " bytes from source segment address %" PRIu64
                  " runs past the segment's %" PRIu64 " bytes into the target",
                  uint64_t(n), address, segment);
    const uint64_t from = w.segmentPosition + address;
    if (source_.Read(from, out + pos, n)) {
      target_.SourceCopied(from, targetStart + pos, n);
      return true;
    }
    if (source_.outOfMemory())
      return Fail(Status::kOutOfMemory, Field::kNone, inst_.Offset(),
                  "no memory for the source's block cache");
    return Fail(Status::kSourceRead, Field::kNone, inst_.Offset(),
                "the source could not be read at offset %" PRIu64, from);
  }

  ByteSink& target_;
  const BufferSizes sizes_;
  const uint64_t deltaSize_;
  const size_t buffer_;
  std::unique_ptr<uint8_t[]> buffers_;
  SectionReader header_, data_, inst_, addr_;
  SourceReader source_;
  AddressCache addresses_;
  std::unique_ptr<uint8_t[]> windowBuffer_;  // where windows are built when the sink lends none
  size_t windowCapacity_ = 0;
  uint64_t window_ = kNoWindow;  // the window being decoded; none while reading the file header
  Result result_;
};

}  // namespace

Result Decode(ByteSource& delta, ByteSource& source, ByteSink& target, const BufferSizes& sizes) {
  return Decoder(delta, source, target, sizes).Run();
}

}  // namespace vcdiff
