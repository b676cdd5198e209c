#pragma once

// The undo record: what a patch tool leaves so that a pack it localised can be
// put back exactly as the player had it, and what the restore program reads.
//
// Format. A record is a plain VCDIFF delta (RFC 3284) whose source is the
// localised pack and whose target is the original, so `xdelta3 -d -s LOCALISED
// RECORD` rebuilds the original as well as our own decoder does:
// - header D6 C3 C4 00, header indicator 0x04 (xdelta3's application header;
//   no secondary compressor, the default code table), then the application
//   header's length and one line of ASCII with no '/' (xdelta3 would read
//   slashes as file names):
//     QVUNDO1 tool=<tool file> pack=<pack file> localised=<size>:<xxh3> original=<size>:<xxh3>
//   sizes in decimal, XXH3-64 as 16 lower-case hex digits;
// - then one window per kWindowSize bytes of the original (the last shorter),
//   VCD_SOURCE with a segment from the first to the last localised byte its
//   COPYs read (no VCD_SOURCE when it copies nothing), no window checksum
//   (the original's XXH3 checks the whole), and only four instructions,
//   each with its size in the instructions: ADD (code 1), RUN (code 0, for
//   eight or more equal bytes), COPY from the source in mode VCD_SELF (code
//   19, its address counted from the segment's start) and COPY of 16 or more
//   bytes made earlier in the same window in mode VCD_HERE (code 35).
// The COPYs are the original bytes that survive in the localised pack, found
// while patching; the ADDs and RUNs carry the rest, read from the original then.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "VcdiffDecoder.h"

namespace undo {

constexpr uint32_t kWindowSize = 4u << 20;
constexpr char kRecordFolder[] = "PatchUndo";
constexpr char kRecordSuffix[] = ".undo";

struct RecordInfo {
  std::string tool;  // file names only, no folder
  std::string pack;
  uint64_t localisedSize = 0, localisedHash = 0;
  uint64_t originalSize = 0, originalHash = 0;
};

// The application header's text, and back; false for anything that is not
// exactly such a line.
std::string FormatInfo(const RecordInfo& info);
bool ParseInfo(const std::string& text, RecordInfo* info);
// Reads the info from the head of a record; false when it is not one.
bool ReadInfo(vcdiff::ByteSource& record, RecordInfo* info);

// The original's bytes that live on in the localised pack: runs of the
// original and where each now starts in the localised pack. At most `capacity`
// runs are held, allocated once: when full, the list is sorted and merged, and
// if that frees too little the shortest runs are dropped, their bytes to be
// carried as data instead. The record grows; it stays right.
class KeptRegions {
 public:
  struct Region {
    uint64_t original, localised, size;
  };

  explicit KeptRegions(size_t capacity);
  bool Allocated() const { return capacity_ == 0 || regions_ != nullptr; }

  void Add(uint64_t original, uint64_t localised, uint64_t size);
  // Sorted by original offset, not overlapping, neighbours merged.
  void Finish();

  const Region* begin() const { return regions_.get(); }
  const Region* end() const { return regions_.get() + count_; }
  size_t Count() const { return count_; }
  size_t Capacity() const { return capacity_; }
  uint64_t DroppedBytes() const { return dropped_; }

 private:
  void SortAndMerge();

  std::unique_ptr<Region[]> regions_;
  size_t capacity_;
  size_t count_ = 0;
  uint64_t dropped_ = 0;
};

// Passes the decoded target on to `inner` and notes every source COPY.
class CopyRecorder : public vcdiff::ByteSink {
 public:
  CopyRecorder(vcdiff::ByteSink& inner, KeptRegions& kept) : inner_(inner), kept_(kept) {}
  uint8_t* WindowBuffer(size_t size) override { return inner_.WindowBuffer(size); }
  bool Write(const uint8_t* data, size_t size) override { return inner_.Write(data, size); }
  void SourceCopied(uint64_t sourceOffset, uint64_t targetOffset, uint64_t size) override {
    kept_.Add(sourceOffset, targetOffset, size);
    inner_.SourceCopied(sourceOffset, targetOffset, size);
  }

 private:
  vcdiff::ByteSink& inner_;
  KeptRegions& kept_;
};

class ByteOutput {
 public:
  virtual ~ByteOutput() = default;
  virtual bool Write(const void* data, size_t size) = 0;
};

enum class EncodeStatus { kOk, kOriginalRead, kOutputWrite, kOutOfMemory };

// Writes the whole record: `kept` finished, `original` the pack before
// patching (info.originalSize bytes), read for every byte no region keeps.
EncodeStatus Encode(const KeptRegions& kept, vcdiff::ByteSource& original, const RecordInfo& info,
                    ByteOutput& out);

}  // namespace undo
