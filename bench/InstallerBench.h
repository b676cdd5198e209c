#pragma once

// What the installer benchmarks share: the game folders they run in. They run
// the programs with the kit's captured processes (CapturedProcess.h) and print
// their figures with BenchFigures.h.
#include <windows.h>

#include <string>

#include "BenchFigures.h"
#include "CapturedProcess.h"
#include "GameFolder.h"
#include "PackTable.h"
#include "WinePath.h"

namespace bench {

// Every pack at its localised size and the event packs' gate present: a run
// goes through all four steps and starts no tool.
bool LayOutLocalisedGame(const gamefolder::GameFolder& game);

// System.GPK at the size "01.exe" patches, toolPath copied in as 01.exe, no
// gate: a run patches step 1 only.
bool LayOutStep1Patch(const gamefolder::GameFolder& game, const std::string& toolPath);

}  // namespace bench
