#include "UndoRecord.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <new>
#include <vector>

namespace undo {
namespace {

constexpr char kMagic[] = "QVUNDO1";
constexpr uint8_t kHeader[] = {0xD6, 0xC3, 0xC4, 0x00, 0x04};
constexpr size_t kMaxInfoLength = 1024;
constexpr uint8_t kAddCode = 1;
constexpr uint8_t kCopySelfCode = 19;
constexpr uint8_t kRunCode = 0;
constexpr uint8_t kCopyHereCode = 35;  // COPY, size in the instructions, mode VCD_HERE
// Shorter runs and strings cost more as a RUN or COPY than as data.
constexpr size_t kMinRun = 8;
constexpr size_t kMinCopy = 16;

using Bytes = std::vector<uint8_t>;

void PutVarint(Bytes& out, uint64_t value) {
  uint8_t digits[10];
  int n = 0;
  do {
    digits[n++] = value & 0x7F;
    value >>= 7;
  } while (value);
  while (n > 1) out.push_back(digits[--n] | 0x80);
  out.push_back(digits[0]);
}

size_t VarintLength(uint64_t value) {
  size_t n = 1;
  while (value >>= 7) ++n;
  return n;
}

bool IsFileName(const std::string& name) {
  if (name.empty() || name.size() > 255) return false;
  for (const char c : name)
    if (c <= ' ' || c > '~' || c == '/' || c == '\\' || c == ':') return false;
  return true;
}

// One run of the original in a window: copied from the localised pack, or added.
struct Piece {
  bool copy;
  uint64_t from;  // localised offset for a copy, original offset for an add
  uint64_t size;
};

// Calls `each` for the pieces of the original's [start, end), `next` the first
// region that may reach into it; leaves `next` at the first that may reach past.
template <typename Each>
void ForEachPiece(const KeptRegions::Region*& next, const KeptRegions::Region* last, uint64_t start,
                  uint64_t end, Each each) {
  uint64_t pos = start;
  while (pos < end) {
    while (next != last && next->original + next->size <= pos) ++next;
    if (next != last && next->original <= pos) {
      const uint64_t skip = pos - next->original;
      const uint64_t n = std::min(next->size - skip, end - pos);
      each(Piece{true, next->localised + skip, n});
      pos += n;
    } else {
      const uint64_t stop = next != last ? std::min(next->original, end) : end;
      each(Piece{false, pos, stop - pos});
      pos = stop;
    }
  }
}

// The bytes no region keeps, one window's worth: runs of one byte as RUNs
// (the zeros a pack is padded with), strings met earlier in the window's own
// added bytes as COPYs within the target window (text repeats), the rest as
// ADDs. Without them the record carries text that the forward delta, made by
// xdelta3 over the localised pack, pays for only once.
class AddedEncoder {
 public:
  AddedEncoder() : table_(size_t(1) << kHashBits) {}

  void StartWindow(const uint8_t* added, Bytes* data, Bytes* inst, Bytes* addresses) {
    std::fill(table_.begin(), table_.end(), 0);
    spans_.clear();
    added_ = added;
    data_ = data;
    inst_ = inst;
    addresses_ = addresses;
  }

  // One ADD piece: `size` bytes at `at` in the window's added bytes, made at
  // `target` in the window.
  void Piece(size_t at, size_t size, size_t target) {
    spans_.push_back(Span{at, target, size});
    const uint8_t* const b = added_;
    const size_t end = at + size;
    pending_ = at;
    for (size_t i = at; i < end;) {
      size_t run = 1;
      while (i + run < end && b[i + run] == b[i]) ++run;
      if (run >= kMinRun) {
        Flush(i);
        inst_->push_back(kRunCode);
        PutVarint(*inst_, run);
        data_->push_back(b[i]);
        pending_ = i += run;
        continue;
      }
      if (end - i >= 4) {
        uint32_t word;
        std::memcpy(&word, b + i, 4);
        uint32_t& slot = table_[(word * 2654435761u) >> (32 - kHashBits)];
        const size_t candidate = slot;
        slot = uint32_t(i + 1);
        if (candidate) {
          const size_t from = candidate - 1;
          // The earlier bytes follow on in the target only within their piece;
          // in this piece, a copy may run on into the bytes it makes itself.
          const Span& span =
              *std::prev(std::upper_bound(spans_.begin(), spans_.end(), from,
                                          [](size_t x, const Span& s) { return x < s.at; }));
          const size_t limit =
              &span == &spans_.back() ? end - i : std::min(end - i, span.at + span.size - from);
          size_t n = 0;
          while (n < limit && b[from + n] == b[i + n]) ++n;
          if (n >= kMinCopy) {
            Flush(i);
            inst_->push_back(kCopyHereCode);
            PutVarint(*inst_, n);
            PutVarint(*addresses_, (target + (i - at)) - (span.target + (from - span.at)));
            pending_ = i += n;
            continue;
          }
        }
      }
      i += run;
    }
    Flush(end);
  }

 private:
  struct Span {
    size_t at, target, size;
  };
  static constexpr int kHashBits = 16;

  void Flush(size_t upTo) {
    if (upTo == pending_) return;
    inst_->push_back(kAddCode);
    PutVarint(*inst_, upTo - pending_);
    data_->insert(data_->end(), added_ + pending_, added_ + upTo);
  }

  std::vector<uint32_t>
      table_;  // a hash of four bytes -> where they were last seen in `added_`, plus one
  std::vector<Span> spans_;
  const uint8_t* added_ = nullptr;
  Bytes *data_ = nullptr, *inst_ = nullptr, *addresses_ = nullptr;
  size_t pending_ = 0;  // the first byte not yet given to an instruction
};

}  // namespace

std::string FormatInfo(const RecordInfo& info) {
  char text[kMaxInfoLength];
  std::snprintf(text, sizeof text,
                "%s tool=%s pack=%s localised=%" PRIu64 ":%016" PRIx64 " original=%" PRIu64
                ":%016" PRIx64,
                kMagic, info.tool.c_str(), info.pack.c_str(), info.localisedSize,
                info.localisedHash, info.originalSize, info.originalHash);
  return text;
}

bool ParseInfo(const std::string& text, RecordInfo* info) {
  if (text.size() >= kMaxInfoLength) return false;
  char tool[kMaxInfoLength], pack[kMaxInfoLength];
  RecordInfo parsed;
  const int fields = std::sscanf(text.c_str(),
                                 "QVUNDO1 tool=%1023s pack=%1023s localised=%" SCNu64 ":%" SCNx64
                                 " original=%" SCNu64 ":%" SCNx64,
                                 tool, pack, &parsed.localisedSize, &parsed.localisedHash,
                                 &parsed.originalSize, &parsed.originalHash);
  if (fields != 6) return false;
  parsed.tool = tool;
  parsed.pack = pack;
  // Only the exact line the tool writes: no signs, spaces or digits scanf lets by.
  if (!IsFileName(parsed.tool) || !IsFileName(parsed.pack) || FormatInfo(parsed) != text)
    return false;
  *info = parsed;
  return true;
}

bool ReadInfo(vcdiff::ByteSource& record, RecordInfo* info) {
  uint8_t head[sizeof kHeader + 2];
  if (record.Size() < sizeof head || !record.ReadAt(0, head, sizeof head)) return false;
  if (!std::equal(kHeader, kHeader + sizeof kHeader, head)) return false;
  // The line is shorter than kMaxInfoLength, so its length takes one or two bytes.
  size_t length = head[5], at = 6;
  if (length & 0x80) {
    if (head[6] & 0x80) return false;
    length = (length & 0x7F) << 7 | head[6];
    at = 7;
  }
  if (length >= kMaxInfoLength || record.Size() - at < length) return false;
  std::string text(length, '\0');
  if (length && !record.ReadAt(at, &text[0], length)) return false;
  return ParseInfo(text, info);
}

KeptRegions::KeptRegions(size_t capacity)
    : regions_(capacity ? new (std::nothrow) Region[capacity] : nullptr), capacity_(capacity) {}

void KeptRegions::Add(uint64_t original, uint64_t localised, uint64_t size) {
  if (size == 0) return;
  if (count_) {
    Region& last = regions_[count_ - 1];
    if (last.original + last.size == original && last.localised + last.size == localised) {
      last.size += size;
      return;
    }
  }
  if (!regions_) {
    dropped_ += size;
    return;
  }
  if (count_ == capacity_) {
    SortAndMerge();
    if (count_ > capacity_ / 2) {
      // The longest half stays: each short run costs a region and saves few bytes.
      const size_t keep = capacity_ / 2;
      std::nth_element(regions_.get(), regions_.get() + keep, regions_.get() + count_,
                       [](const Region& a, const Region& b) { return a.size > b.size; });
      for (size_t i = keep; i < count_; ++i) dropped_ += regions_[i].size;
      count_ = keep;
    }
    if (count_ == capacity_) {
      dropped_ += size;
      return;
    }
  }
  regions_[count_++] = Region{original, localised, size};
}

void KeptRegions::Finish() { SortAndMerge(); }

// Where two runs claim the same original bytes (the localised pack holds them
// twice), the one that starts first keeps them and the other is cut.
void KeptRegions::SortAndMerge() {
  Region* const all = regions_.get();
  std::sort(all, all + count_, [](const Region& a, const Region& b) {
    return a.original != b.original ? a.original < b.original : a.size > b.size;
  });
  size_t out = 0;
  for (size_t i = 0; i < count_; ++i) {
    Region r = all[i];
    if (out) {
      Region& last = all[out - 1];
      const uint64_t lastEnd = last.original + last.size;
      if (r.original + r.size <= lastEnd) continue;
      if (r.original < lastEnd) {
        const uint64_t cut = lastEnd - r.original;
        r.original += cut;
        r.localised += cut;
        r.size -= cut;
      }
      if (r.original == lastEnd && last.localised + last.size == r.localised) {
        last.size += r.size;
        continue;
      }
    }
    all[out++] = r;
  }
  count_ = out;
}

EncodeStatus Encode(const KeptRegions& kept, vcdiff::ByteSource& original, const RecordInfo& info,
                    ByteOutput& out) {
  try {
    const std::string line = FormatInfo(info);
    Bytes head(kHeader, kHeader + sizeof kHeader);
    PutVarint(head, line.size());
    head.insert(head.end(), line.begin(), line.end());
    if (!out.Write(head.data(), head.size())) return EncodeStatus::kOutputWrite;

    Bytes added, window, data, inst, addr;
    added.reserve(kWindowSize);
    AddedEncoder encoder;
    const KeptRegions::Region* next = kept.begin();
    for (uint64_t start = 0; start < info.originalSize; start += kWindowSize) {
      const uint64_t end = std::min<uint64_t>(info.originalSize, start + kWindowSize);
      // The source segment spans every localised byte this window's COPYs
      // read; the bytes no region keeps are read from the original.
      const KeptRegions::Region* const first = next;
      uint64_t low = UINT64_MAX, high = 0;
      bool read = true;
      added.clear();
      ForEachPiece(next, kept.end(), start, end, [&](const Piece& p) {
        if (p.copy) {
          low = std::min(low, p.from);
          high = std::max(high, p.from + p.size);
        } else if (read) {
          const size_t at = added.size();
          added.resize(at + size_t(p.size));
          read = original.ReadAt(p.from, added.data() + at, size_t(p.size));
        }
      });
      if (!read) return EncodeStatus::kOriginalRead;

      next = first;
      data.clear();
      inst.clear();
      addr.clear();
      size_t taken = 0, made = 0;  // of `added`, and of the window
      encoder.StartWindow(added.data(), &data, &inst, &addr);
      ForEachPiece(next, kept.end(), start, end, [&](const Piece& p) {
        if (p.copy) {
          inst.push_back(kCopySelfCode);
          PutVarint(inst, p.size);
          PutVarint(addr, p.from - low);
        } else {
          encoder.Piece(taken, size_t(p.size), made);
          taken += size_t(p.size);
        }
        made += size_t(p.size);
      });

      window.clear();
      const bool copies = high != 0;
      window.push_back(copies ? 0x01 : 0x00);
      if (copies) {
        PutVarint(window, high - low);
        PutVarint(window, low);
      }
      const uint64_t target = end - start;
      PutVarint(window, VarintLength(target) + 1 + VarintLength(data.size()) +
                            VarintLength(inst.size()) + VarintLength(addr.size()) + data.size() +
                            inst.size() + addr.size());
      PutVarint(window, target);
      window.push_back(0x00);
      PutVarint(window, data.size());
      PutVarint(window, inst.size());
      PutVarint(window, addr.size());
      for (const Bytes* part : {&window, &data, &inst, &addr})
        if (!part->empty() && !out.Write(part->data(), part->size()))
          return EncodeStatus::kOutputWrite;
    }
    return EncodeStatus::kOk;
  } catch (const std::bad_alloc&) {
    return EncodeStatus::kOutOfMemory;
  }
}

}  // namespace undo
