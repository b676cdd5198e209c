#include "VcdiffDecoder.h"

#include "AddressCache.h"
#include "Adler32.h"

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
    for (unsigned size = 4; size <= 18; ++size) table[i++] = {kCopy, uint8_t(size), uint8_t(mode), kNoop, 0, 0};
  }
  for (unsigned mode = 0; mode <= 5; ++mode)
    for (unsigned add = 1; add <= 4; ++add)
      for (unsigned copy = 4; copy <= 6; ++copy) table[i++] = {kAdd, uint8_t(add), 0, kCopy, uint8_t(copy), uint8_t(mode)};
  for (unsigned mode = 6; mode <= 8; ++mode)
    for (unsigned add = 1; add <= 4; ++add) table[i++] = {kAdd, uint8_t(add), 0, kCopy, 4, uint8_t(mode)};
  for (unsigned mode = 0; mode <= 8; ++mode) table[i++] = {kCopy, 4, uint8_t(mode), kAdd, 1, 0};
  return table;
}
constexpr CodeTable kDefaultTable = MakeDefaultTable();
static_assert(kDefaultTable[255].type1 == kCopy && kDefaultTable[255].mode1 == 8 && kDefaultTable[255].type2 == kAdd,
              "the pairs must fill the table exactly");
static_assert(kDefaultTable[163].type1 == kAdd && kDefaultTable[163].type2 == kCopy && kDefaultTable[162].type2 == kNoop,
              "the single COPYs must end at 162");

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

// A buffered reader over one range of the delta. Its buffer may start as a view
// of bytes another cursor has already read (a small window's sections usually
// arrive with its header), and refills from the delta only past them. Reads
// past the range's end fail: a section never lends bytes to its neighbour.
// A failed read is reported at the start of the item it was reading, wherever
// the buffer happened to end.
class Cursor {
 public:
  enum class Fault { kNone, kPastEnd, kRead, kVarint };

  Cursor(ByteSource& delta, uint8_t* buffer, size_t capacity) : delta_(delta), own_(buffer), capacity_(capacity) {}

  // Starts reading at `begin`, up to `limit`, keeping what is already loaded
  // when `begin` is in it. Only the header's cursor seeks, always with the
  // delta's end as its limit, so nothing loaded ever lies past the limit.
  void Seek(uint64_t begin, uint64_t limit) {
    limit_ = limit;
    if (begin <= endOffset_ && endOffset_ - begin <= size_t(end_ - base_)) {
      p_ = end_ - (endOffset_ - begin);
      return;
    }
    base_ = p_ = end_ = own_;
    endOffset_ = begin;
  }

  // Starts on [begin, limit) with whatever of it `loaded` holds in its buffer.
  void Borrow(const Cursor& loaded, uint64_t begin, uint64_t limit) {
    limit_ = limit;
    const uint64_t loadedBegin = loaded.endOffset_ - size_t(loaded.end_ - loaded.base_);
    if (begin >= loadedBegin && begin < loaded.endOffset_) {
      base_ = p_ = loaded.base_ + size_t(begin - loadedBegin);
      endOffset_ = std::min(limit, loaded.endOffset_);
      end_ = p_ + size_t(endOffset_ - begin);
      return;
    }
    base_ = p_ = end_ = own_;
    endOffset_ = begin;
  }

  uint64_t Offset() const { return endOffset_ - size_t(end_ - p_); }
  bool AtEnd() const { return p_ == end_ && endOffset_ == limit_; }
  Fault fault() const { return fault_; }
  uint64_t faultOffset() const { return faultOffset_; }

  bool Byte(uint8_t& value) {
    if (p_ == end_ && !Refill(Offset())) return false;
    value = *p_++;
    return true;
  }

  // A base-128 integer, most significant digit first, at most ten bytes and 64 bits.
  bool Varint(uint64_t& value) {
    if (end_ - p_ >= 10) {
      const uint8_t* p = p_;
      uint64_t v = 0;
      for (int i = 0; i < 10; ++i) {
        const uint8_t b = *p++;
        if (v >> 57) break;
        v = (v << 7) | (b & 0x7F);
        if (!(b & 0x80)) {
          p_ = p;
          value = v;
          return true;
        }
      }
      return Fail(Fault::kVarint, Offset());
    }
    const uint64_t start = Offset();
    uint64_t v = 0;
    for (int i = 0; i < 10; ++i) {
      if (p_ == end_ && !Refill(start)) return false;
      const uint8_t b = *p_++;
      if (v >> 57) break;
      v = (v << 7) | (b & 0x7F);
      if (!(b & 0x80)) {
        value = v;
        return true;
      }
    }
    return Fail(Fault::kVarint, start);
  }

  // Copies `size` bytes out; what the buffer does not hold goes straight from
  // the delta into `out` when it is at least a buffer's worth.
  bool Copy(uint8_t* out, size_t size) {
    size_t have = size_t(end_ - p_);
    if (size <= have) {
      CopyBytes(out, p_, size);
      p_ += size;
      return true;
    }
    const uint64_t start = Offset();
    if (size - have > limit_ - endOffset_) return Fail(Fault::kPastEnd, start);
    std::memcpy(out, p_, have);
    p_ = end_;
    out += have;
    size -= have;
    if (size >= capacity_) {
      if (!delta_.ReadAt(endOffset_, out, size)) return Fail(Fault::kRead, start);
      endOffset_ += size;
      base_ = p_ = end_ = own_;
      return true;
    }
    if (!Refill(start)) return false;
    std::memcpy(out, p_, size);
    p_ += size;
    return true;
  }

 private:
  bool Fail(Fault fault, uint64_t at) {
    fault_ = fault;
    faultOffset_ = at;
    return false;
  }

  // `item` is where the item being read starts, for the report.
  bool Refill(uint64_t item) {
    if (endOffset_ >= limit_) return Fail(Fault::kPastEnd, item);
    const size_t size = size_t(std::min<uint64_t>(capacity_, limit_ - endOffset_));
    if (!delta_.ReadAt(endOffset_, own_, size)) return Fail(Fault::kRead, item);
    base_ = p_ = own_;
    end_ = own_ + size;
    endOffset_ += size;
    return true;
  }

  ByteSource& delta_;                // what it reads from: the whole delta
  uint8_t* const own_;               // its own buffer, which refills load; a borrowed view lies in another's
  const size_t capacity_;            // the own buffer's size
  const uint8_t* base_ = nullptr;    // the first loaded byte, in the own buffer or a borrowed one
  const uint8_t* p_ = nullptr;       // the next byte to read
  const uint8_t* end_ = nullptr;     // just past the last loaded byte
  uint64_t endOffset_ = 0;           // the delta offset of *end_: where the next refill reads
  uint64_t limit_ = 0;               // the delta offset its range ends at; nothing from there on is read
  Fault fault_ = Fault::kNone;       // why the last read failed
  uint64_t faultOffset_ = 0;         // where the item that read was reading starts
};

// Source bytes for COPYs. Long copies go straight into the window; short ones,
// which come in thousands, through a few aligned blocks kept by recent use.
class SourceReader {
 public:
  static constexpr size_t kSlots = 32;

  SourceReader(ByteSource& source, size_t block)
      : source_(source), size_(source.Size()), block_(std::max<size_t>(block, 1)), direct_(std::max<size_t>(block_ / 2, 1)) {}
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
      const size_t n = std::min(size, block_ - at);  // the block holds all of it: offset + n <= size_
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

// A window's header (RFC 3284 section 4.2), checked against the source and the delta.
struct WindowHeader {
  uint64_t start = 0;         // delta offset of its indicator
  uint8_t indicator = 0;
  uint64_t encodingStart = 0; // delta offset of its target window length
  uint64_t encodingEnd = 0;   // delta offset just past its delta encoding
  size_t targetLength = 0;
  uint64_t dataStart = 0;     // delta offset of its data section
  uint64_t dataLength = 0, instLength = 0;
  uint32_t checksum = 0;      // its Adler-32, when the indicator says it has one
};

class Decoder {
 public:
  Decoder(ByteSource& delta, ByteSource& source, ByteSink& target, const Limits& limits)
      : target_(target),
        limits_(limits),
        deltaSize_(delta.Size()),
        buffer_(std::max<size_t>(limits.deltaBuffer, 1)),
        buffers_(buffer_ <= SIZE_MAX / 4 ? new (std::nothrow) uint8_t[4 * buffer_] : nullptr),
        header_(delta, Buffer(0), buffer_),
        data_(delta, Buffer(1), buffer_),
        inst_(delta, Buffer(2), buffer_),
        addr_(delta, Buffer(3), buffer_),
        source_(source, limits.sourceBlock) {}

  Result Run() {
    if (!buffers_) {
      Fail(Status::kOutOfMemory, Field::kNone, 0, "no memory for the delta's read buffers");
      return result_;
    }
    header_.Seek(0, deltaSize_);
    if (!ReadHeader()) return result_;
    for (window_ = 0; header_.Offset() < deltaSize_; ++window_) {
      WindowHeader window;
      if (!ReadWindowHeader(window) || !ApplyWindow(window)) return result_;
    }
    result_.deltaOffset = deltaSize_;
    return result_;
  }

 private:
  // The cursors' buffers, none when there was no memory for them (Run stops then).
  uint8_t* Buffer(size_t i) { return buffers_ ? buffers_.get() + i * buffer_ : nullptr; }

  // Every failure ends here: what was found, where, in one line.
  bool Fail(Status status, Field field, uint64_t offset, const char* format, ...) __attribute__((format(printf, 5, 6))) {
    char text[256];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    result_.status = status;
    result_.field = field;
    result_.window = window_;
    result_.detail = text;
    result_.deltaOffset = offset;
    return false;
  }

  // A cursor's failure as a result; `what` names the item being read.
  bool CursorFailed(const Cursor& cursor, Field field, const char* what) {
    const uint64_t at = cursor.faultOffset();
    char where[32];
    if (window_ == kNoWindow) std::snprintf(where, sizeof where, "the delta's header");
    else std::snprintf(where, sizeof where, "window %" PRIu64, window_);
    const char* section = &cursor == &data_ ? "data" : &cursor == &inst_ ? "instructions" : &cursor == &addr_ ? "addresses" : nullptr;
    if (cursor.fault() == Cursor::Fault::kRead)
      return Fail(Status::kDeltaRead, field, at, "%s: the delta could not be read at offset %" PRIu64, where, at);
    if (cursor.fault() == Cursor::Fault::kVarint)
      return Fail(Status::kCorrupt, field, at, "%s: %s is not an integer of 64 bits in at most ten bytes", where, what);
    if (section) return Fail(Status::kCorrupt, field, at, "%s: %s runs past the end of the %s section", where, what, section);
    return Fail(Status::kCorrupt, field, at, "%s: %s runs past the end of the delta; is it truncated?", where, what);
  }

  bool ReadHeader() {
    uint8_t head[5];
    for (uint8_t& b : head)
      if (!header_.Byte(b)) return CursorFailed(header_, Field::kMagic, "magic and indicator");
    if (head[0] != 0xD6 || head[1] != 0xC3 || head[2] != 0xC4)
      return Fail(Status::kCorrupt, Field::kMagic, 0, "not a VCDIFF delta: the first bytes are %02X %02X %02X, not D6 C3 C4",
                  head[0], head[1], head[2]);
    if (head[3] != 0)
      return Fail(Status::kUnsupported, Field::kVersion, 3, "unknown VCDIFF version byte 0x%02X (only 0 is known)", head[3]);
    const uint8_t indicator = head[4];
    if (indicator & kHdrDecompress) {
      uint8_t id = 0;
      header_.Byte(id);
      return Fail(Status::kUnsupported, Field::kSecondaryCompressor, 4,
                  "the delta uses secondary compression (VCD_DECOMPRESS, compressor %u)", id);
    }
    if (indicator & kHdrCodeTable)
      return Fail(Status::kUnsupported, Field::kCodeTable, 4, "the delta brings its own instruction code table (VCD_CODETABLE)");
    if (indicator & ~(kHdrDecompress | kHdrCodeTable | kHdrAppHeader))
      return Fail(Status::kUnsupported, Field::kHeaderIndicator, 4,
                  "the delta's header indicator 0x%02X has bits this decoder does not know", indicator);
    if (indicator & kHdrAppHeader) {
      uint64_t length;
      if (!header_.Varint(length)) return CursorFailed(header_, Field::kAppHeader, "application header length");
      const uint64_t at = header_.Offset();
      if (length > deltaSize_ - at)
        return Fail(Status::kCorrupt, Field::kAppHeader, at, "the application header of %" PRIu64 " bytes runs past the end of the delta", length);
      header_.Seek(at + length, deltaSize_);
    }
    return true;
  }

  // Reads the next window's header up to its data section, and sets the
  // source segment the window copies from.
  bool ReadWindowHeader(WindowHeader& w) {
    w.start = header_.Offset();
    if (!header_.Byte(w.indicator)) return CursorFailed(header_, Field::kWindowIndicator, "window indicator");
    if (w.indicator & ~(kWinSource | kWinTarget | kWinAdler32))
      return Fail(Status::kCorrupt, Field::kWindowIndicator, w.start, "window %" PRIu64 ": unknown indicator bits 0x%02X", window_, w.indicator);
    if ((w.indicator & kWinSource) && (w.indicator & kWinTarget))
      return Fail(Status::kCorrupt, Field::kWindowIndicator, w.start, "window %" PRIu64 ": both VCD_SOURCE and VCD_TARGET are set", window_);
    if (w.indicator & kWinTarget)
      return Fail(Status::kUnsupported, Field::kWindowIndicator, w.start,
                  "window %" PRIu64 " copies from earlier target data (VCD_TARGET), which this decoder does not keep", window_);

    segmentLength_ = 0;
    segmentPosition_ = 0;
    if (w.indicator & kWinSource) {
      if (!header_.Varint(segmentLength_)) return CursorFailed(header_, Field::kSourceSegment, "source segment length");
      if (!header_.Varint(segmentPosition_)) return CursorFailed(header_, Field::kSourceSegment, "source segment position");
      if (segmentPosition_ > source_.Size() || segmentLength_ > source_.Size() - segmentPosition_)
        return Fail(Status::kCorrupt, Field::kSourceSegment, w.start,
                    "window %" PRIu64 ": source segment of %" PRIu64 " bytes at %" PRIu64 " is past the source's end (%" PRIu64 " bytes)",
                    window_, segmentLength_, segmentPosition_, source_.Size());
    }

    uint64_t encodingLength, targetLength, addrLength;
    if (!header_.Varint(encodingLength)) return CursorFailed(header_, Field::kEncodingLength, "delta encoding length");
    w.encodingStart = header_.Offset();
    if (encodingLength > deltaSize_ - w.encodingStart)
      return Fail(Status::kCorrupt, Field::kEncodingLength, w.encodingStart,
                  "window %" PRIu64 ": its delta encoding of %" PRIu64 " bytes runs past the end of the delta (%" PRIu64 " bytes); is the delta truncated?",
                  window_, encodingLength, deltaSize_);
    if (!header_.Varint(targetLength)) return CursorFailed(header_, Field::kTargetLength, "target window length");
    if (targetLength > limits_.maxTargetWindow)
      return Fail(Status::kUnsupported, Field::kTargetLength, w.encodingStart,
                  "window %" PRIu64 ": a target window of %" PRIu64 " bytes is over this decoder's limit of %u", window_, targetLength,
                  limits_.maxTargetWindow);
    uint8_t deltaIndicator;
    if (!header_.Byte(deltaIndicator)) return CursorFailed(header_, Field::kDeltaIndicator, "delta indicator");
    if (deltaIndicator & ~kSectionsCompressed)
      return Fail(Status::kCorrupt, Field::kDeltaIndicator, header_.Offset() - 1, "window %" PRIu64 ": unknown delta indicator bits 0x%02X",
                  window_, deltaIndicator);
    if (deltaIndicator)
      return Fail(Status::kUnsupported, Field::kDeltaIndicator, header_.Offset() - 1,
                  "window %" PRIu64 ": its sections are compressed by a secondary compressor (delta indicator 0x%02X)", window_, deltaIndicator);
    if (!header_.Varint(w.dataLength)) return CursorFailed(header_, Field::kSectionLengths, "data section length");
    if (!header_.Varint(w.instLength)) return CursorFailed(header_, Field::kSectionLengths, "instructions section length");
    if (!header_.Varint(addrLength)) return CursorFailed(header_, Field::kSectionLengths, "addresses section length");
    if (w.indicator & kWinAdler32) {
      uint8_t b[4];
      for (uint8_t& x : b)
        if (!header_.Byte(x)) return CursorFailed(header_, Field::kWindowChecksum, "window checksum");
      w.checksum = uint32_t(b[0]) << 24 | uint32_t(b[1]) << 16 | uint32_t(b[2]) << 8 | b[3];
    }
    w.dataStart = header_.Offset();
    w.encodingEnd = w.encodingStart + encodingLength;
    if (w.dataStart > w.encodingEnd)
      return Fail(Status::kCorrupt, Field::kSectionLengths, w.encodingStart,
                  "window %" PRIu64 ": its header is longer than its delta encoding (%" PRIu64 " bytes)", window_, encodingLength);
    const uint64_t room = w.encodingEnd - w.dataStart;
    if (w.dataLength > room || w.instLength > room - w.dataLength || addrLength != room - w.dataLength - w.instLength)
      return Fail(Status::kCorrupt, Field::kSectionLengths, w.encodingStart,
                  "window %" PRIu64 ": sections of %" PRIu64 " + %" PRIu64 " + %" PRIu64 " bytes do not fill its delta encoding's %" PRIu64,
                  window_, w.dataLength, w.instLength, addrLength, room);
    if (segmentLength_ > UINT64_MAX - targetLength)
      return Fail(Status::kCorrupt, Field::kSourceSegment, w.start, "window %" PRIu64 ": source segment length %" PRIu64 " overflows", window_,
                  segmentLength_);
    w.targetLength = size_t(targetLength);
    return true;
  }

  // Builds the window its header describes, checks it and hands it to the sink.
  bool ApplyWindow(const WindowHeader& w) {
    targetLength_ = w.targetLength;
    out_ = target_.WindowBuffer(targetLength_);
    if (!out_) {
      if (!ReserveWindow(targetLength_)) return false;
      out_ = windowBuffer_.get();
    }
    data_.Borrow(header_, w.dataStart, w.dataStart + w.dataLength);
    inst_.Borrow(header_, w.dataStart + w.dataLength, w.dataStart + w.dataLength + w.instLength);
    addr_.Borrow(header_, w.dataStart + w.dataLength + w.instLength, w.encodingEnd);
    if (!DecodeInstructions()) return false;

    if (w.indicator & kWinAdler32) {
      const uint32_t actual = Adler32(1, out_, targetLength_);
      if (actual != w.checksum)
        return Fail(Status::kWindowChecksum, Field::kWindowChecksum, w.start,
                    "window %" PRIu64 ": Adler-32 of the decoded %" PRIu64 " bytes is %08X, the delta says %08X; wrong source file?",
                    window_, uint64_t(targetLength_), unsigned(actual), unsigned(w.checksum));
    }
    if (targetLength_ && !target_.Write(out_, targetLength_))
      return Fail(Status::kSinkRefused, Field::kOutput, w.start, "window %" PRIu64 ": the output refused %" PRIu64 " bytes", window_,
                  uint64_t(targetLength_));
    windowStart_ += targetLength_;
    header_.Seek(w.encodingEnd, deltaSize_);
    return true;
  }

  bool ReserveWindow(size_t size) {
    if (windowBuffer_ && size <= windowCapacity_) return true;
    windowBuffer_.reset();
    windowCapacity_ = 0;
    const size_t capacity = std::max<size_t>(size, 64 << 10);
    windowBuffer_.reset(new (std::nothrow) uint8_t[capacity]);
    if (!windowBuffer_)
      return Fail(Status::kOutOfMemory, Field::kTargetLength, header_.Offset(), "window %" PRIu64 ": no memory for a target window of %" PRIu64 " bytes",
                  window_, uint64_t(size));
    windowCapacity_ = capacity;
    return true;
  }

  // The instructions fill the window exactly and use up all three sections.
  bool DecodeInstructions() {
    uint8_t* const out = out_;
    const size_t length = targetLength_;
    size_t pos = 0;
    addresses_.Reset();

    while (!inst_.AtEnd()) {
      uint8_t index;
      if (!inst_.Byte(index)) return CursorFailed(inst_, Field::kInstruction, "an instruction");
      const Code& code = kDefaultTable[index];
      for (int half = 0; half < 2; ++half) {
        const uint8_t type = half ? code.type2 : code.type1;
        if (type == kNoop) continue;
        uint64_t size = half ? code.size2 : code.size1;
        if (size == 0 && !inst_.Varint(size)) return CursorFailed(inst_, Field::kInstruction, "an instruction's size");
        if (size > length - pos)
          return Fail(Status::kCorrupt, Field::kInstruction, inst_.Offset(),
                      "window %" PRIu64 ": an instruction of %" PRIu64 " bytes at target offset %" PRIu64 " runs past the window's %" PRIu64 " bytes",
                      window_, size, uint64_t(pos), uint64_t(length));
        const size_t n = size_t(size);
        if (type == kAdd) {
          if (!data_.Copy(out + pos, n)) return CursorFailed(data_, Field::kData, "an ADD's data");
        } else if (type == kRun) {
          uint8_t b;
          if (!data_.Byte(b)) return CursorFailed(data_, Field::kData, "a RUN's byte");
          std::memset(out + pos, b, n);
        } else if (!Copy(half ? code.mode2 : code.mode1, out, pos, n)) {
          return false;
        }
        pos += n;
      }
    }
    if (pos != length)
      return Fail(Status::kCorrupt, Field::kInstruction, inst_.Offset(), "window %" PRIu64 ": the instructions make %" PRIu64 " bytes of a %" PRIu64 "-byte window",
                  window_, uint64_t(pos), uint64_t(length));
    if (!data_.AtEnd()) return Fail(Status::kCorrupt, Field::kData, data_.Offset(), "window %" PRIu64 ": data section not used up", window_);
    if (!addr_.AtEnd()) return Fail(Status::kCorrupt, Field::kAddress, addr_.Offset(), "window %" PRIu64 ": addresses section not used up", window_);
    return true;
  }

  // One COPY of `n` bytes to `pos` in the window `out`, its address in `mode`.
  bool Copy(unsigned mode, uint8_t* out, size_t pos, size_t n) {
    const uint64_t segment = segmentLength_;
    const uint64_t here = segment + pos;
    uint64_t value;
    if (AddressCache::ReadsInteger(mode)) {
      if (!addr_.Varint(value)) return CursorFailed(addr_, Field::kAddress, "a COPY's address");
    } else {
      uint8_t b;
      if (!addr_.Byte(b)) return CursorFailed(addr_, Field::kAddress, "a COPY's address");
      value = b;
    }
    uint64_t address = 0;
    switch (addresses_.Decode(mode, value, here, address)) {
      case AddressCache::Fault::kNone:
        break;
      case AddressCache::Fault::kBeforeStart:
        return Fail(Status::kCorrupt, Field::kAddress, inst_.Offset(), "window %" PRIu64 ": a COPY's address lies %" PRIu64 " bytes before the start of the source",
                    window_, value - here);
      case AddressCache::Fault::kNearOverflow:
        return Fail(Status::kCorrupt, Field::kAddress, inst_.Offset(), "window %" PRIu64 ": a COPY's near address overflows", window_);
    }
    addresses_.Update(address);
    if (address >= here)
      return Fail(Status::kCorrupt, Field::kAddress, inst_.Offset(),
                  "window %" PRIu64 ": a COPY at target offset %" PRIu64 " reads from address %" PRIu64 ", not before it (%" PRIu64 ")", window_,
                  uint64_t(pos), address, here);
    if (address >= segment) {
      CopyWithin(out + pos, out + size_t(address - segment), n);
      return true;
    }
    // A copied string lies wholly in the source segment or wholly in the
    // target window (RFC 3284, section 3); xdelta3 -d refuses one that runs on
    // from the one into the other, and so does this.
    if (n > segment - address)
      return Fail(Status::kCorrupt, Field::kAddress, inst_.Offset(),
                  "window %" PRIu64 ": a COPY of %" PRIu64 " bytes from source segment address %" PRIu64 " runs past the segment's %" PRIu64 " bytes into the target",
                  window_, uint64_t(n), address, segment);
    if (source_.Read(segmentPosition_ + address, out + pos, n)) {
      target_.SourceCopied(segmentPosition_ + address, windowStart_ + pos, n);
      return true;
    }
    if (source_.outOfMemory())
      return Fail(Status::kOutOfMemory, Field::kSource, inst_.Offset(), "window %" PRIu64 ": no memory for the source's block cache", window_);
    return Fail(Status::kSourceRead, Field::kSource, inst_.Offset(), "window %" PRIu64 ": the source could not be read at offset %" PRIu64, window_,
                segmentPosition_ + address);
  }

  ByteSink& target_;
  const Limits limits_;
  const uint64_t deltaSize_;
  const size_t buffer_;
  std::unique_ptr<uint8_t[]> buffers_;
  Cursor header_, data_, inst_, addr_;
  SourceReader source_;
  AddressCache addresses_;
  std::unique_ptr<uint8_t[]> windowBuffer_;
  size_t windowCapacity_ = 0;
  uint8_t* out_ = nullptr;  // where this window is built: the sink's buffer or windowBuffer_
  uint64_t window_ = kNoWindow;  // the window being decoded; none while reading the file header
  uint64_t segmentLength_ = 0, segmentPosition_ = 0;
  size_t targetLength_ = 0;
  uint64_t windowStart_ = 0;  // where this window starts in the whole target
  Result result_;
};

}  // namespace

Result Decode(ByteSource& delta, ByteSource& source, ByteSink& target, const Limits& limits) {
  return Decoder(delta, source, target, limits).Run();
}

}  // namespace vcdiff
