// The patch installer: run in the game's folder, it brings the four packs to
// their localised versions and says in one closing line whether that worked.
#include <windows.h>

#include <cstdlib>

#include "GbkConsole.h"
#include "InstallerTexts.h"
#include "PackSteps.h"

namespace {

// The event packs are patched only where their tool was shipped into Packs.
bool RunPackSteps() {
  if (!RunPackStep(kPackSteps[0])) return false;
  PrintLine(kProgress25Text);

  if (!FileExists(kEventPacksGate)) return true;

  if (!RunPackStep(kPackSteps[1])) return false;
  PrintLine(kProgress50Text);

  if (!RunPackStep(kPackSteps[2])) return false;
  PrintLine(kProgress75Text);

  return RunPackStep(kPackSteps[3]);
}

// A tool may carry a read-only pack's mark over to its copy, and DeleteFileA
// refuses a read-only file. A folder of that name is not ours to remove.
void DeleteStaleCopy(const char* path) {
  const DWORD attributes = GetFileAttributesA(path);
  if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY)) return;
  if (attributes & FILE_ATTRIBUTE_READONLY) SetFileAttributesA(path, FILE_ATTRIBUTE_NORMAL);
  DeleteFileA(path);
}

}  // namespace

int main() {
  PrintLine(kGreetingText);
  PrintLine(kProgress0Text);

  // Copies left by an earlier run must never be taken for this run's.
  for (const PackStep& step : kPackSteps) DeleteStaleCopy(step.tempFile);

  PrintLine(RunPackSteps() ? kDoneText : kFailedText);

  // Run from Explorer, the console window would close before the user reads it.
  std::system("pause");
  return 0;
}
