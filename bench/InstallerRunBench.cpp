// A whole run of the installer over a game folder whose four packs are already
// localised (every step runs, no tool starts) against a console program that
// only prints a line and pauses: what the installer itself costs. Both run as
// captured processes, with standard input at end-of-file, so that the pause
// returns, and output on a pipe; runs alternate so that both see the same machine.
// Usage: installer_run_bench BRISUNDE BARE_CONSOLE RUNS
#include <cstdio>
#include <cstdlib>

#include "InstallerBench.h"

namespace {

constexpr double kLimit = 1.2;

// Seconds from CreateProcess until the program and its pause have ended, or a
// negative number when the run did not do what it should.
double TimeRun(const std::string& exe, const std::string& directory, const char* expected[]) {
  LARGE_INTEGER start, end;
  QueryPerformanceCounter(&start);
  testkit::CapturedProcess run("\"" + exe + "\"", directory);
  run.Resume();
  const bool ended = run.Wait(gamefolder::kColdStartMs);
  QueryPerformanceCounter(&end);
  if (!run.Started()) std::printf("installer run: %s\n", run.StartError().c_str());
  if (!ended || run.ExitCode() != 0) return -1;
  const std::string output = run.Output();
  for (const char** text = expected; *text != nullptr; ++text) {
    if (output.find(*text) == std::string::npos) return -1;
  }
  return bench::Seconds(start, end);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) return 2;
  const std::string brisunde = testkit::WinePath(argv[1]);
  const std::string bare = testkit::WinePath(argv[2]);
  const int runs = std::atoi(argv[3]);

  gamefolder::GameFolder game;
  if (!bench::LayOutLocalisedGame(game)) {
    std::printf("installer run: the game folder could not be laid out\n");
    return 2;
  }
  // The last two progress lines only come when the gate let steps 2 to 4 run
  // and all of them found their packs localised.
  const char* installerLines[] = {"75%", "100%", nullptr};
  const char* bareLines[] = {"bare console", nullptr};

  // Warms the file cache and the wineserver.
  TimeRun(brisunde, game.Path(), installerLines);
  TimeRun(bare, game.Path(), bareLines);
  std::vector<double> installer, baseline;
  const char failed = bench::TimePairs(
      runs, [&] { return TimeRun(brisunde, game.Path(), installerLines); },
      [&] { return TimeRun(bare, game.Path(), bareLines); }, &installer, &baseline);
  if (failed) {
    std::printf("installer run: a run did not end as expected (%s)\n",
                failed == 'a' ? "Brisunde" : "bare");
    return 2;
  }
  return bench::ReportRatio("installer run (4 packs localised)", "Brisunde", installer,
                            "bare console", baseline, bench::kMilliseconds, kLimit);
}
