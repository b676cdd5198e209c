// The kit's own pieces: if a captured program's output were cut short, a pause
// did not wait or a start were retried on any error, the tests and the
// benchmarks built on them would check or measure something else without
// saying so.
#include <gtest/gtest.h>

#include <vector>

#include "CapturedProcess.h"
#include "GameFolder.h"
#include "WinePath.h"

using testkit::CapturedProcess;

TEST(WindowsPathTest, UnixPathsGoThroughDriveZ) {
  EXPECT_EQ(testkit::WinePath("/work/build/bin/Brisunde.exe"),
            "Z:\\work\\build\\bin\\Brisunde.exe");
  EXPECT_EQ(testkit::WinePath("C:\\games\\01.exe"), "C:\\games\\01.exe");
}

TEST(CapturedProcessTest, PauseReturnsAtEndOfInputAndEverythingIsCaptured) {
  CapturedProcess program("cmd.exe /c echo first&pause&exit 3", ".");
  ASSERT_TRUE(program.Started()) << program.StartError();
  program.Resume();
  ASSERT_TRUE(program.Wait(gamefolder::kColdStartMs));
  EXPECT_EQ(program.ExitCode(), 3u);
  EXPECT_EQ(program.Output().substr(0, 7), "first\r\n");
  EXPECT_GT(program.Output().size(), 7u) << "no pause prompt";
}

TEST(CapturedProcessTest, PauseWaitsWhileInputIsHeldAndItsCountersCanBeRead) {
  CapturedProcess program("cmd.exe /c echo ready&pause&echo after", ".",
                          CapturedProcess::Input::kHeld);
  ASSERT_TRUE(program.Started()) << program.StartError();
  program.Resume();
  // Past the line is the pause's prompt: the program is at its pause, reading input.
  ASSERT_TRUE(program.WaitPastLine("ready", gamefolder::kColdStartMs));
  EXPECT_TRUE(program.Running());
  testkit::PeakMemory peak;
  ASSERT_TRUE(program.QueryPeakMemory(&peak));
  EXPECT_GT(peak.workingSet, 1024u * 1024u);
  EXPECT_GT(peak.pagefile, 0u);
  EXPECT_EQ(program.Output().find("after"), std::string::npos);
  program.CloseInput();
  ASSERT_TRUE(program.Wait(gamefolder::kColdStartMs));
  EXPECT_EQ(program.ExitCode(), 0u);
  EXPECT_NE(program.Output().find("after"), std::string::npos);
  EXPECT_FALSE(program.Running());
}

TEST(CapturedProcessTest, LineWithNothingAfterItOrNoLineIsNotPassed) {
  // Answered when the program ends, long before the bound.
  CapturedProcess lineOnly("cmd.exe /c echo ready", ".", CapturedProcess::Input::kHeld);
  lineOnly.Resume();
  EXPECT_FALSE(lineOnly.WaitPastLine("ready", gamefolder::kColdStartMs));
  // Once it is at its pause, nothing more comes; only the bound answers.
  CapturedProcess other("cmd.exe /c echo other&pause", ".", CapturedProcess::Input::kHeld);
  other.Resume();
  ASSERT_TRUE(other.WaitPastLine("other", gamefolder::kColdStartMs));
  EXPECT_FALSE(other.WaitPastLine("ready", 100));
  EXPECT_TRUE(other.Running());
}

TEST(CapturedProcessTest, ProgramThatCannotStartIsReportedAndNeitherWaitedForNorMeasured) {
  for (const auto input : {CapturedProcess::Input::kAtEnd, CapturedProcess::Input::kHeld}) {
    CapturedProcess program("Z:\\no\\such\\program.exe", ".", input);
    EXPECT_FALSE(program.Started());
    // Says what could not start, and the system's reason.
    EXPECT_NE(program.StartError().find("Z:\\no\\such\\program.exe"), std::string::npos)
        << program.StartError();
    EXPECT_NE(program.StartError().find("error 2 "), std::string::npos) << program.StartError();
    EXPECT_FALSE(program.Wait(1000));
    EXPECT_FALSE(program.WaitPastLine("ready", 1000));
    EXPECT_FALSE(program.Running());
    testkit::PeakMemory peak;
    EXPECT_FALSE(program.QueryPeakMemory(&peak));
    program.CloseInput();
    EXPECT_EQ(program.ExitCode(), 0xFFFFFFFFu);
    EXPECT_TRUE(program.Output().empty());
  }
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
    if (!started) {
      EXPECT_EQ(GetLastError(), c.failures[calls - 1]);
    }
  }
}
