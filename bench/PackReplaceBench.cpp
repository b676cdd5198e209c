// ReplacePack for step 1 (a 1.9 GB copy) against a step shaped like it for a
// 1 MiB pack: a rename costs the same whatever the size, a copy would read and
// write every byte. Only the call is timed; the pack and the tool's copy are
// laid out again before each call. The files are sparse, which a rename does
// not notice and a copy would.
// Usage: pack_replace_bench RUNS
#include <cstdio>
#include <cstdlib>
#include <string>

#include "InstallerBench.h"
#include "PackSteps.h"

namespace {

constexpr double kLimit = 1.5;

std::string CopyOf(const PackStep& step) {
  return std::to_string(step.localisedSize) + "-byte copy";
}

// Seconds ReplacePack took, or a negative number when it did not leave the
// tool's copy in the pack's place.
double TimeReplace(const gamefolder::GameFolder& game, const PackStep& step) {
  if (!bench::PrepareReplace(game, step)) return -1;
  LARGE_INTEGER start, end;
  QueryPerformanceCounter(&start);
  const bool replaced = ReplacePack(step);
  QueryPerformanceCounter(&end);
  if (!replaced || game.Size(step.pack) != step.localisedSize || game.Has(step.tempFile) ||
      game.Head(step.pack) != "LOCALISED") {
    return -1;
  }
  return testkit::Seconds(start, end);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  const int runs = std::atoi(argv[1]);
  const PackStep& big = kPackSteps[0];
  const PackStep& small = bench::kSmallStep;

  gamefolder::GameFolder game;
  gamefolder::WorkingDirectory cwd(game.Path());
  TimeReplace(game, big);
  TimeReplace(game, small);
  std::vector<double> bigTimes, smallTimes;
  const char failed = testkit::TimePairs(
      runs, [&] { return TimeReplace(game, big); }, [&] { return TimeReplace(game, small); },
      &bigTimes, &smallTimes);
  if (failed) {
    std::printf("pack replace: the copy did not take the pack's place (%s)\n",
                failed == 'a' ? big.pack : small.pack);
    return 2;
  }
  return testkit::ReportRatio("pack replace", CopyOf(big), bigTimes, CopyOf(small), smallTimes,
                              testkit::kMicroseconds, kLimit);
}
