#pragma once

// A buffered reader over one range of the delta: the decoder reads the headers
// through one, and each of a window's three sections through one of its own.
// Its buffer may start as a view of bytes another reader has already read (a
// small window's sections usually arrive with its header), and refills from the
// delta only past them. Reads past the range's end fail: a section never lends
// bytes to its neighbour. A failed read is reported at the start of the item it
// was reading, wherever the buffer happened to end.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "CopyBytes.h"
#include "VcdiffDecoder.h"

namespace vcdiff {

class SectionReader {
 public:
  enum class Fault { kNone, kPastEnd, kRead, kVarint };

  SectionReader(ByteSource& delta, uint8_t* buffer, size_t capacity)
      : delta_(delta), own_(buffer), capacity_(capacity) {}

  // Starts reading at `begin`, up to `limit`, keeping what is already loaded
  // when `begin` is in it. Only the headers' reader seeks, always with the
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
  void Borrow(const SectionReader& loaded, uint64_t begin, uint64_t limit) {
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
    if (size > size_t(end_ - p_)) return CopyPastBuffer(out, size);
    CopyBytes(out, p_, size);
    p_ += size;
    return true;
  }

 private:
  // Copy's rare half, for more than the buffer holds: apart, so that Copy is
  // small enough to be inlined where the ADDs are decoded.
  bool CopyPastBuffer(uint8_t* out, size_t size) {
    const size_t have = size_t(end_ - p_);
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

  ByteSource& delta_;              // what it reads from: the whole delta
  uint8_t* const own_;             // its own buffer, which refills load
  const size_t capacity_;          // the own buffer's size
  const uint8_t* base_ = nullptr;  // the first loaded byte, in its own buffer or one it borrowed
  const uint8_t* p_ = nullptr;     // the next byte to read
  const uint8_t* end_ = nullptr;   // just past the last loaded byte
  uint64_t endOffset_ = 0;         // the delta offset of *end_: where the next refill reads
  uint64_t limit_ = 0;             // where its range ends in the delta; nothing past is read
  Fault fault_ = Fault::kNone;     // why the last read failed
  uint64_t faultOffset_ = 0;       // where the item that read was reading starts
};

}  // namespace vcdiff
