// Deltas made by xdelta3 (tests/patchtool/vcdiff_interop.sh), decoded in this
// process and compared with what xdelta3 itself decodes from them.
#include <gtest/gtest.h>

#include <algorithm>

#include "AllocationMeter.h"
#include "DeltaFiles.h"
#include "XdeltaCases.h"

namespace {

using deltafiles::FileSource;
using deltafiles::MemorySink;

using xdeltacases::Case;
using xdeltacases::InFolder;

// One 16 MiB window, the source block cache and the delta's read buffers, with room to spare.
constexpr size_t kDecoderMemory = 20u << 20;

TEST(VcdiffInteropTest, DecodesWhatXdelta3Decodes) {
  const std::vector<Case> cases = xdeltacases::ReadCases();
  ASSERT_GE(cases.size(), 20u) << "cases.txt lists too few cases";
  std::vector<uint8_t> none;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FileSource delta(InFolder(c.delta));
    ASSERT_TRUE(delta.ok());
    const std::vector<uint8_t> reference = deltafiles::ReadWhole(InFolder(c.reference));
    MemorySink out(reference.size());
    out.bytes.reserve(reference.size());
    allocationmeter::ResetPeak();
    const size_t before = allocationmeter::Live();
    vcdiff::Result result;
    if (c.source == "-") {
      deltafiles::MemorySource empty(none);
      result = vcdiff::Decode(delta, empty, out);
    } else {
      FileSource source(InFolder(c.source));
      ASSERT_TRUE(source.ok());
      result = vcdiff::Decode(delta, source, out);
    }
    EXPECT_EQ(result.status, vcdiff::Status::kOk) << vcdiff::StatusName(result.status) << ": " << result.detail;
    EXPECT_EQ(result.deltaOffset, delta.Size());
    EXPECT_LE(allocationmeter::Peak() - before, kDecoderMemory) << "bytes allocated at once while decoding";
    ASSERT_EQ(out.bytes.size(), reference.size());
    const auto mismatch = std::mismatch(out.bytes.begin(), out.bytes.end(), reference.begin());
    EXPECT_TRUE(mismatch.first == out.bytes.end()) << "first wrong byte at " << (mismatch.first - out.bytes.begin());
  }
}

}  // namespace
