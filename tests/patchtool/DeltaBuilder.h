#pragma once

// Writes VCDIFF deltas by hand, with the default instruction table, for the
// cases xdelta3 never makes: refused features, hostile fields, 64-bit sources.
#include <zlib.h>

#include <cstdint>
#include <string>
#include <vector>

namespace deltabuilder {

using Bytes = std::vector<uint8_t>;

inline Bytes Text(const std::string& text) { return Bytes(text.begin(), text.end()); }

inline void PutVarint(Bytes& out, uint64_t value) {
  uint8_t digits[10];
  int n = 0;
  do {
    digits[n++] = value & 0x7F;
    value >>= 7;
  } while (value);
  while (n > 1) out.push_back(digits[--n] | 0x80);
  out.push_back(digits[0]);
}

inline void Append(Bytes& out, const Bytes& more) {
  out.insert(out.end(), more.begin(), more.end());
}

// COPY address modes of the default table.
enum Mode : uint8_t {
  kSelf = 0,
  kHere = 1,
  kNear0 = 2,
  kNear1 = 3,
  kNear2 = 4,
  kNear3 = 5,
  kSame0 = 6,
  kSame1 = 7,
  kSame2 = 8
};

// One target window's instructions and the three sections they fill.
struct Window {
  uint8_t indicator =
      0;  // 0x01 source, 0x02 target, 0x04 checksum; set by the helpers below as well
  uint64_t segmentLength = 0, segmentPosition = 0;
  uint64_t targetLength = 0;
  uint8_t deltaIndicator = 0;
  Bytes data, inst, addr;
  uint32_t checksum = 0;

  Window& Source(uint64_t position, uint64_t length) {
    indicator |= 0x01;
    segmentPosition = position;
    segmentLength = length;
    return *this;
  }
  // The Adler-32 xdelta3 writes, of the bytes the window must make.
  Window& Checksum(const Bytes& target) {
    indicator |= 0x04;
    checksum = uint32_t(adler32(adler32(0, Z_NULL, 0), target.data(), uInt(target.size())));
    return *this;
  }
  Window& Add(const Bytes& bytes) {
    if (bytes.size() >= 1 && bytes.size() <= 17) {
      inst.push_back(uint8_t(1 + bytes.size()));
    } else {
      inst.push_back(1);
      PutVarint(inst, bytes.size());
    }
    Append(data, bytes);
    targetLength += bytes.size();
    return *this;
  }
  // `value` is what the mode encodes: the address, here minus it, its
  // distance from a near slot, or the byte of a same slot.
  Window& Copy(uint64_t size, Mode mode, uint64_t value) {
    if (size >= 4 && size <= 18) {
      inst.push_back(uint8_t(19 + mode * 16 + (size - 3)));
    } else {
      inst.push_back(uint8_t(19 + mode * 16));
      PutVarint(inst, size);
    }
    if (mode >= kSame0) addr.push_back(uint8_t(value));
    else PutVarint(addr, value);
    targetLength += size;
    return *this;
  }

  Bytes Encode() const {
    Bytes encoding;
    PutVarint(encoding, targetLength);
    encoding.push_back(deltaIndicator);
    PutVarint(encoding, data.size());
    PutVarint(encoding, inst.size());
    PutVarint(encoding, addr.size());
    if (indicator & 0x04)
      for (int shift = 24; shift >= 0; shift -= 8) encoding.push_back(uint8_t(checksum >> shift));
    Append(encoding, data);
    Append(encoding, inst);
    Append(encoding, addr);
    Bytes out{indicator};
    if (indicator & 0x03) {
      PutVarint(out, segmentLength);
      PutVarint(out, segmentPosition);
    }
    PutVarint(out, encoding.size());
    Append(out, encoding);
    return out;
  }
};

inline Bytes Header(uint8_t indicator = 0) { return Bytes{0xD6, 0xC3, 0xC4, 0x00, indicator}; }

inline Bytes Delta(const std::vector<Window>& windows) {
  Bytes out = Header();
  for (const Window& w : windows) Append(out, w.Encode());
  return out;
}

}  // namespace deltabuilder
