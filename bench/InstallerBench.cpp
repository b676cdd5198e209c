#include "InstallerBench.h"

namespace bench {

bool LayOutLocalisedGame(const gamefolder::GameFolder& game) {
  for (const PackStep& step : kPackSteps) {
    if (!game.MakeFile(step.pack, step.localisedSize, "LOCALISED")) return false;
  }
  // Only its presence counts; no tool is started when every pack is localised.
  return gamefolder::WriteText(game.File(kEventPacksGate), "");
}

bool LayOutStep1Patch(const gamefolder::GameFolder& game, const std::string& toolPath) {
  const PackStep& step = kPackSteps[0];
  for (int i = 0; i < step.patchableCount; ++i) {
    if (std::string(step.patchable[i].tool) != "01.exe") continue;
    return game.MakeFile(step.pack, step.patchable[i].size) &&
           CopyFileA(toolPath.c_str(), game.File("01.exe").c_str(), FALSE);
  }
  return false;
}

}  // namespace bench
