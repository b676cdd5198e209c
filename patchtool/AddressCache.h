#pragma once

// The address caches of RFC 3284 section 5.1, at the default code table's
// sizes. A COPY's mode says how its address is encoded: as itself (self), as
// a distance back from where the COPY writes (here), as a distance on from one
// of the last four addresses used (near), or as one byte that picks an address
// used before from the slots of its value modulo 768 (same).
#include <cstdint>

namespace vcdiff {

class AddressCache {
 public:
  static constexpr unsigned kNearSlots = 4;
  static constexpr unsigned kSameSlots = 3 * 256;
  static constexpr unsigned kModeSelf = 0, kModeHere = 1, kModeNear = 2,
                            kModeSame = kModeNear + kNearSlots;

  enum class Fault { kNone, kBeforeStart, kNearOverflow };

  // Whether `mode`'s address is an integer in the addresses section, not one byte.
  static bool ReadsInteger(unsigned mode) { return mode < kModeSame; }

  // Both caches emptied (all zero), as at the start of every window.
  void Reset() {
    for (uint64_t& a : near_) a = 0;
    for (uint64_t& a : same_) a = 0;
    nextNear_ = 0;
  }

  // The address that `value` (a byte, in the same modes) stands for in `mode`,
  // for a COPY that writes at `here` (the source segment's length plus the
  // window's position). Faults leave `address` alone.
  Fault Decode(unsigned mode, uint64_t value, uint64_t here, uint64_t& address) const {
    if (mode == kModeSelf) {
      address = value;
    } else if (mode == kModeHere) {
      if (value > here) return Fault::kBeforeStart;
      address = here - value;
    } else if (mode < kModeSame) {
      const uint64_t base = near_[mode - kModeNear];
      if (value > UINT64_MAX - base) return Fault::kNearOverflow;
      address = base + value;
    } else {
      address = same_[(mode - kModeSame) * 256 + uint8_t(value)];
    }
    return Fault::kNone;
  }

  // Records the address a COPY used, in both caches.
  void Update(uint64_t address) {
    near_[nextNear_] = address;
    nextNear_ = (nextNear_ + 1) % kNearSlots;
    same_[address % kSameSlots] = address;
  }

 private:
  uint64_t near_[kNearSlots] = {};
  uint64_t same_[kSameSlots] = {};
  unsigned nextNear_ = 0;  // the near slot the next address goes into
};

}  // namespace vcdiff
