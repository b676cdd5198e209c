// The pieces the installer benchmarks rely on: if a layout did not drive the
// steps it is meant to, or a median were wrong, the figures would measure
// something else without saying so.
#include <gtest/gtest.h>

#include "InstallerBench.h"
#include "PackSteps.h"

using namespace bench;
using gamefolder::GameFolder;
using gamefolder::WorkingDirectory;

TEST(MedianTest, MiddleValueOrMeanOfTheMiddleTwo) {
  EXPECT_EQ(Median({5, 1, 3}), 3);
  EXPECT_EQ(Median({4, 1, 3, 2}), 2.5);
  EXPECT_EQ(Median({7}), 7);
  EXPECT_EQ(Median({}), 0);
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
  ASSERT_TRUE(LayOutStep1Patch(game, gamefolder::StandInTool()));
  WorkingDirectory cwd(game.Path());
  EXPECT_FALSE(FileExists(kEventPacksGate));
  EXPECT_TRUE(RunPackStep(kPackSteps[0]));
  EXPECT_EQ(game.Size(kPackSteps[0].pack), kPackSteps[0].localisedSize);
  EXPECT_EQ(game.Head(kPackSteps[0].pack), "LOCALISED");
  const auto runs = game.ToolRuns();
  ASSERT_EQ(runs.size(), 1u);
  EXPECT_EQ(runs[0].tool, "01.exe");
}

TEST(LayoutTest, Step1PatchFailsWithoutTheTool) {
  GameFolder game;
  EXPECT_FALSE(LayOutStep1Patch(game, game.File("no-such-tool.exe")));
}
