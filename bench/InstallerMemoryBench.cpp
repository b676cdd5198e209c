// The installer's peak memory over a real run that patches step 1: the
// stand-in tool, copied in as 01.exe, writes the 1.9 GB copy and the installer
// moves it over the pack. Standard input stays a pipe held open here, so the
// closing pause waits while the counters are read; the bare console program,
// waiting in the same pause, gives the floor that any such program has.
// Usage: installer_memory_bench BRISUNDE PATCH_TOOL BARE_CONSOLE
#include <cstdio>

#include "InstallerBench.h"

namespace {

constexpr DWORD kRunTimeoutMs = 120000;

// Peak memory of exe once it has printed the line containing lastLine and
// gone on into its pause; false when it did not get there.
bool PeakWhilePaused(const std::string& exe, const std::string& directory,
                     const std::string& lastLine, testkit::PeakMemory* peak, std::string* output) {
  testkit::CapturedProcess program("\"" + exe + "\"", directory,
                                   testkit::CapturedProcess::Input::kHeld);
  if (!program.Started()) std::fprintf(stderr, "%s\n", program.StartError().c_str());
  program.Resume();
  const bool paused = program.WaitPastLine(lastLine, kRunTimeoutMs) && program.Running();
  const bool measured = paused && program.QueryPeakMemory(peak);
  program.CloseInput();
  const bool ended = program.Wait(kRunTimeoutMs);
  *output = program.Output();
  return measured && ended && program.ExitCode() == 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) return 2;
  const std::string brisunde = testkit::WinePath(argv[1]);
  const std::string tool = testkit::WinePath(argv[2]);
  const std::string bare = testkit::WinePath(argv[3]);

  gamefolder::GameFolder game;
  if (!bench::LayOutStep1Patch(game, tool)) {
    std::printf("installer memory: the game folder could not be laid out\n");
    return 2;
  }
  testkit::PeakMemory installer, baseline;
  std::string output;
  // Only the closing line of a run that worked says 100%.
  if (!PeakWhilePaused(brisunde, game.Path(), "100%", &installer, &output) ||
      output.find("[01.exe]") == std::string::npos ||
      game.Size(kPackSteps[0].pack) != kPackSteps[0].localisedSize) {
    std::printf("installer memory: the run did not patch step 1 and pause\n");
    return 2;
  }
  if (!PeakWhilePaused(bare, game.Path(), "bare console", &baseline, &output)) {
    std::printf("installer memory: the bare console program did not pause\n");
    return 2;
  }
  std::printf(
      "installer peak memory (step 1 patched, %lld-byte copy): Brisunde PeakWorkingSetSize %lu "
      "KiB, PeakPagefileUsage %lu KiB; bare console %lu KiB, %lu KiB\n",
      kPackSteps[0].localisedSize, static_cast<unsigned long>(installer.workingSet / 1024),
      static_cast<unsigned long>(installer.pagefile / 1024),
      static_cast<unsigned long>(baseline.workingSet / 1024),
      static_cast<unsigned long>(baseline.pagefile / 1024));
  return 0;
}
