// The decoder's fuzz target. An input is a source and a delta: two bytes of
// source length (little-endian), the source, then the delta. Each input is
// decoded twice, with the normal buffers and with tiny ones (16-byte delta
// buffers, 256-byte source blocks), and the two must agree on everything: the
// status and field, the window and delta offset the decode stopped at, what it
// said and every byte written. Any disagreement or broken promise of the
// interface aborts.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "VcdiffDecoder.h"

namespace {

using Bytes = std::vector<uint8_t>;

class Memory : public vcdiff::ByteSource {
 public:
  Memory(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  uint64_t Size() const override { return size_; }
  bool ReadAt(uint64_t offset, void* buffer, size_t size) override {
    if (offset > size_ || size > size_ - offset) return false;
    if (size) std::memcpy(buffer, data_ + offset, size);
    return true;
  }

 private:
  const uint8_t* data_;
  size_t size_;
};

// Keeps the output up to a cap, as the patch tool refuses more than the localised size.
class Sink : public vcdiff::ByteSink {
 public:
  bool Write(const uint8_t* data, size_t size) override {
    if (size > kCap - bytes.size()) return false;
    bytes.insert(bytes.end(), data, data + size);
    return true;
  }
  static constexpr size_t kCap = 4u << 20;
  Bytes bytes;
};

[[noreturn]] void Broken(const char* what, const vcdiff::Result& a, const vcdiff::Result& b) {
  std::fprintf(
      stderr,
      "vcdiff fuzz: %s\n  normal buffers: %s at %llu: %s\n  tiny buffers:   %s at %llu: %s\n", what,
      vcdiff::StatusName(a.status), static_cast<unsigned long long>(a.deltaOffset),
      a.detail.c_str(), vcdiff::StatusName(b.status),
      static_cast<unsigned long long>(b.deltaOffset), b.detail.c_str());
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  size_t sourceSize = size_t(data[0]) | size_t(data[1]) << 8;
  if (sourceSize > size - 2) sourceSize = size - 2;
  const uint8_t* delta = data + 2 + sourceSize;
  const size_t deltaSize = size - 2 - sourceSize;

  // 1 MiB windows keep each run quick; a larger one is refused alike by both.
  vcdiff::BufferSizes normal;
  normal.maxTargetWindow = 1u << 20;
  vcdiff::BufferSizes tiny = normal;
  tiny.deltaBuffer = 16;
  tiny.sourceBlock = 256;

  vcdiff::Result results[2];
  Sink sinks[2];
  const vcdiff::BufferSizes* sizes[2] = {&normal, &tiny};
  for (int i = 0; i < 2; ++i) {
    Memory deltaBytes(delta, deltaSize), sourceBytes(data + 2, sourceSize);
    results[i] = vcdiff::Decode(deltaBytes, sourceBytes, sinks[i], *sizes[i]);
    const vcdiff::Result& r = results[i];
    if (r.deltaOffset > deltaSize) Broken("stopped past the delta's end", results[0], r);
    if ((r.status == vcdiff::Status::kOk) != r.detail.empty())
      Broken("a detail with success, or none with a failure", results[0], r);
    if (r.detail.find('\n') != std::string::npos)
      Broken("a detail of more than one line", results[0], r);
    if (r.status == vcdiff::Status::kOk && r.deltaOffset != deltaSize)
      Broken("success short of the delta's end", results[0], r);
  }
  const vcdiff::Result &a = results[0], &b = results[1];
  if (a.status != b.status || a.field != b.field || a.window != b.window ||
      a.deltaOffset != b.deltaOffset || a.detail != b.detail)
    Broken("the buffer sizes disagree", a, b);
  if (sinks[0].bytes != sinks[1].bytes) Broken("the buffer sizes wrote different bytes", a, b);
  return 0;
}
