// Deltas made by xdelta3 (tests/patchtool/vcdiff_interop.sh), decoded in this
// process and compared with what xdelta3 itself decodes from them.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "DeltaFiles.h"
#include "WinePath.h"

namespace {

using deltafiles::FileSource;
using deltafiles::MemorySink;

struct Case {
  std::string name, source, delta, reference;
};

std::wstring CaseFolder() { return PathFromEnvironment(L"VCDIFF_CASES"); }

// cases.txt: one case a line, "name source delta reference", files in the
// same folder; "-" for no source.
std::vector<Case> ReadCases() {
  std::vector<Case> cases;
  const std::vector<uint8_t> text = deltafiles::ReadWhole(CaseFolder() + L"\\cases.txt");
  std::istringstream lines(std::string(text.begin(), text.end()));
  Case c;
  while (lines >> c.name >> c.source >> c.delta >> c.reference) cases.push_back(c);
  return cases;
}

std::wstring InFolder(const std::string& name) { return CaseFolder() + L"\\" + deltafiles::Widen(name); }

TEST(VcdiffInteropTest, DecodesWhatXdelta3Decodes) {
  ASSERT_FALSE(CaseFolder().empty()) << "VCDIFF_CASES names no folder";
  const std::vector<Case> cases = ReadCases();
  ASSERT_GE(cases.size(), 20u) << "cases.txt lists too few cases";
  std::vector<uint8_t> none;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FileSource delta(InFolder(c.delta));
    ASSERT_TRUE(delta.ok());
    const std::vector<uint8_t> reference = deltafiles::ReadWhole(InFolder(c.reference));
    MemorySink out(reference.size());
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
    ASSERT_EQ(out.bytes.size(), reference.size());
    const auto mismatch = std::mismatch(out.bytes.begin(), out.bytes.end(), reference.begin());
    EXPECT_TRUE(mismatch.first == out.bytes.end()) << "first wrong byte at " << (mismatch.first - out.bytes.begin());
  }
}

}  // namespace
