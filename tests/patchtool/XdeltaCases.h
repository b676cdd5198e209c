#pragma once

// The cases vcdiff_interop.sh made with xdelta3, listed in cases.txt in the
// folder named by VCDIFF_CASES: one a line, "name source delta reference",
// "-" for no source.
#include <sstream>
#include <string>
#include <vector>

#include "DeltaFiles.h"
#include "WinePath.h"

namespace xdeltacases {

struct Case {
  std::string name, source, delta, reference;
};

inline std::wstring Folder() { return PathFromEnvironment(L"VCDIFF_CASES"); }

inline std::wstring InFolder(const std::string& name) { return Folder() + L"\\" + deltafiles::Widen(name); }

inline std::vector<Case> ReadCases() {
  std::vector<Case> cases;
  if (Folder().empty()) return cases;
  const std::vector<uint8_t> text = deltafiles::ReadWhole(InFolder("cases.txt"));
  std::istringstream lines(std::string(text.begin(), text.end()));
  Case c;
  while (lines >> c.name >> c.source >> c.delta >> c.reference) cases.push_back(c);
  return cases;
}

}  // namespace xdeltacases
