// The pieces the installer benchmarks rely on: if a layout did not drive the
// steps it is meant to, or a pause did not wait, the figures would measure
// something else without saying so.
#include <gtest/gtest.h>

#include <vector>

#include "CapturedProcess.h"
#include "InstallerBench.h"
#include "PackSteps.h"

using namespace bench;
using gamefolder::GameFolder;
using gamefolder::WorkingDirectory;

TEST(MedianTest, MiddleValueOrMeanOfTheMiddleTwo) {
  EXPECT_EQ(testkit::Median({5, 1, 3}), 3);
  EXPECT_EQ(testkit::Median({4, 1, 3, 2}), 2.5);
  EXPECT_EQ(testkit::Median({7}), 7);
  EXPECT_EQ(testkit::Median({}), 0);
}

TEST(WindowsPathTest, UnixPathsGoThroughDriveZ) {
  EXPECT_EQ(testkit::WinePath("/work/build/bin/Brisunde.exe"), "Z:\\work\\build\\bin\\Brisunde.exe");
  EXPECT_EQ(testkit::WinePath("C:\\games\\01.exe"), "C:\\games\\01.exe");
}

TEST(LayoutTest, LocalisedGameLetsEveryStepRunWithoutATool) {
  GameFolder game;
  ASSERT_TRUE(LayOutLocalisedGame(game));
  WorkingDirectory cwd(game.Path());
  EXPECT_TRUE(FileExists(kEventPacksGate));
  for (const PackStep& step : kPackSteps) {
    bool toolRan = true;
    EXPECT_TRUE(PatchPack(step, &toolRan)) << step.pack;
    EXPECT_FALSE(toolRan) << step.pack;
  }
}

TEST(LayoutTest, Step1PatchStartsTool01AndLeavesOutTheEventPacks) {
  GameFolder game;
  ASSERT_TRUE(LayOutStep1Patch(game, testkit::WinePath(STANDIN_TOOL)));
  WorkingDirectory cwd(game.Path());
  EXPECT_FALSE(FileExists(kEventPacksGate));
  EXPECT_TRUE(RunPackStep(kPackSteps[0]));
  EXPECT_EQ(game.Size(kPackSteps[0].pack), kPackSteps[0].localisedSize);
  EXPECT_EQ(game.Head(kPackSteps[0].pack), "LOCALISED");
  const auto runs = game.ToolRuns();
  ASSERT_EQ(runs.size(), 1u);
  EXPECT_EQ(runs[0].tool, "01.exe");
}

TEST(ReplaceTest, PreparedCopyTakesThePacksPlaceForStep1AndTheSmallStep) {
  // One attempt, as for step 1, so that no retry wait is timed with the move.
  EXPECT_FALSE(kSmallStep.retryMove);
  EXPECT_FALSE(kPackSteps[0].retryMove);
  EXPECT_EQ(kSmallStep.localisedSize, 1 << 20);
  for (const PackStep* step : {&kPackSteps[0], &kSmallStep}) {
    SCOPED_TRACE(step->pack);
    GameFolder game;
    WorkingDirectory cwd(game.Path());
    ASSERT_TRUE(PrepareReplace(game, *step));
    EXPECT_NE(game.Size(step->pack), step->localisedSize);
    EXPECT_EQ(game.Size(step->tempFile), step->localisedSize);
    EXPECT_TRUE(ReplacePack(*step));
    EXPECT_EQ(game.Size(step->pack), step->localisedSize);
    EXPECT_EQ(game.Head(step->pack), "LOCALISED");
    EXPECT_FALSE(game.Has(step->tempFile));
  }
}

TEST(RunToEndTest, PauseReturnsAtEndOfInputAndEverythingIsCaptured) {
  const ConsoleRun run = RunToEnd("cmd.exe /c echo first&pause&exit 3", ".");
  ASSERT_TRUE(run.started);
  EXPECT_EQ(run.exitCode, 3u);
  EXPECT_EQ(run.output.substr(0, 7), "first\r\n");
  EXPECT_GT(run.output.size(), 7u) << "no pause prompt";
}

TEST(HeldConsoleTest, PauseWaitsWhileInputIsHeldAndItsCountersCanBeRead) {
  HeldConsole program("cmd.exe /c echo ready&pause&echo after", ".");
  ASSERT_TRUE(program.Started());
  // Past the line is the pause's prompt: the program is at its pause, reading input.
  ASSERT_TRUE(program.WaitPastLine("ready", gamefolder::kColdStartMs));
  EXPECT_TRUE(program.Running());
  PeakMemory peak;
  ASSERT_TRUE(program.QueryPeakMemory(&peak));
  EXPECT_GT(peak.workingSet, 1024u * 1024u);
  EXPECT_GT(peak.pagefile, 0u);
  EXPECT_EQ(program.Output().find("after"), std::string::npos);
  EXPECT_EQ(program.Release(), 0u);
  EXPECT_NE(program.Output().find("after"), std::string::npos);
  EXPECT_FALSE(program.Running());
}

TEST(HeldConsoleTest, LineWithNothingAfterItOrNoLineIsNotPassed) {
  // Answered when the program ends, long before the bound.
  HeldConsole lineOnly("cmd.exe /c echo ready", ".");
  EXPECT_FALSE(lineOnly.WaitPastLine("ready", gamefolder::kColdStartMs));
  // Once it is at its pause, nothing more comes; only the bound answers.
  HeldConsole other("cmd.exe /c echo other&pause", ".");
  ASSERT_TRUE(other.WaitPastLine("other", gamefolder::kColdStartMs));
  EXPECT_FALSE(other.WaitPastLine("ready", 100));
  EXPECT_TRUE(other.Running());
}

TEST(LayoutTest, Step1PatchFailsWithoutTheTool) {
  GameFolder game;
  EXPECT_FALSE(LayOutStep1Patch(game, game.File("no-such-tool.exe")));
}

TEST(RunToEndTest, ProgramThatCannotStartIsReportedAsNotStarted) {
  const ConsoleRun run = RunToEnd("Z:\\no\\such\\program.exe", ".");
  EXPECT_FALSE(run.started);
  // Says what could not start, and the system's reason.
  EXPECT_NE(run.startError.find("Z:\\no\\such\\program.exe"), std::string::npos) << run.startError;
  EXPECT_NE(run.startError.find("error 2 "), std::string::npos) << run.startError;
  EXPECT_TRUE(run.output.empty());
}

TEST(HeldConsoleTest, ProgramThatCannotStartIsNeitherWaitedForNorMeasured) {
  HeldConsole program("Z:\\no\\such\\program.exe", ".");
  EXPECT_FALSE(program.Started());
  EXPECT_FALSE(program.WaitPastLine("ready", 1000));
  PeakMemory peak;
  EXPECT_FALSE(program.QueryPeakMemory(&peak));
  EXPECT_EQ(program.Release(), 0xFFFFFFFFu);
}

// A start is tried again only when Wine lost the child before it had started,
// and at most three times in all; any other error stands at once.
TEST(CreateProcessLosingNoneTest, OnlyALostChildIsStartedAgainAndNotForEver) {
  struct Case {
    std::vector<DWORD> failures;  // the errors of the first calls; the call after them succeeds
    bool started;
    int calls;
  };
  const Case cases[] = {
      {{}, true, 1},
      {{ERROR_INTERNAL_ERROR}, true, 2},
      {{ERROR_INTERNAL_ERROR, ERROR_INTERNAL_ERROR}, true, 3},
      {{ERROR_INTERNAL_ERROR, ERROR_INTERNAL_ERROR, ERROR_INTERNAL_ERROR}, false, 3},
      {{ERROR_FILE_NOT_FOUND}, false, 1},
      {{ERROR_INTERNAL_ERROR, ERROR_ACCESS_DENIED}, false, 2},
  };
  for (const Case& c : cases) {
    int calls = 0;
    const bool started = testkit::CreateProcessLosingNone([&] {
      if (static_cast<size_t>(calls) < c.failures.size()) {
        SetLastError(c.failures[calls++]);
        return false;
      }
      ++calls;
      return true;
    });
    EXPECT_EQ(started, c.started) << c.failures.size() << " failure(s)";
    EXPECT_EQ(calls, c.calls) << c.failures.size() << " failure(s)";
    if (!started) EXPECT_EQ(GetLastError(), c.failures[calls - 1]);
  }
}
