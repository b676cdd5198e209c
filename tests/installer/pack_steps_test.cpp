// The pack steps against real sparse packs in a scratch game folder, with the
// stand-in tool started for real by the shell.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "GameFolder.h"
#include "PackSizes.h"
#include "PackSteps.h"
#include "UniqueHandle.h"

using gamefolder::BoxDismisser;
using gamefolder::GameFolder;
using gamefolder::WorkingDirectory;

namespace {

constexpr LONGLONG kFourGiB = 0x100000000LL;

const PackStep& Step(int number) { return kPackSteps[number - 1]; }

double MillisecondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
      .count();
}

// A step that does not wait returns within this on a loaded machine, where one
// that waited for a held file would spend its 600 retries of 100 ms: a minute.
constexpr double kNoWaitMs = 5000.0;

// Holds a file open, shared for reading, as another program would: for a given
// time from now (let go on a thread of its own, the only one that touches the
// handle until then), or else until the holder goes out of scope. Wine refuses
// to move over a file that any process holds open.
class Holder {
 public:
  explicit Holder(const std::string& path)
      : file_(CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0,
                          nullptr)),
        opened_(file_.IsValid()) {}
  Holder(const std::string& path, DWORD milliseconds) : Holder(path) {
    thread_ = std::thread([this, milliseconds] {
      Sleep(milliseconds);
      file_.Close();
      if (opened_) released_ = std::chrono::steady_clock::now();
    });
  }
  ~Holder() {
    if (thread_.joinable()) thread_.join();
  }
  // Whether it opened the file, and so holds it until it lets go.
  bool Holds() const { return opened_; }
  // When the file was closed; only after the timed release has happened.
  std::chrono::steady_clock::time_point ReleasedAt() const { return released_.load(); }

 private:
  UniqueHandle file_;
  const bool opened_;
  std::atomic<std::chrono::steady_clock::time_point> released_{};
  std::thread thread_;
};

// The file's index (its inode under Wine), which a rename keeps and a copy does
// not; 0 when it cannot be read. Opened for no access and shared every way, so
// that nothing it is read from is held.
ULONGLONG FileIndex(const char* path) {
  const UniqueHandle file(CreateFileA(path, 0,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, 0, nullptr));
  BY_HANDLE_FILE_INFORMATION info;
  if (!file.IsValid() || !GetFileInformationByHandle(file.Get(), &info)) return 0;
  return (ULONGLONG(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
}

class PackStepTest : public ::testing::Test {
 protected:
  GameFolder game;
  WorkingDirectory cwd{game.Path()};
};

// Cases in which the shell shows its error box, which takes the activation
// from any other window of the desktop: CTest runs them apart from the rest.
class PackStepDesktopTest : public PackStepTest {};

}  // namespace

TEST(PackStateTest, ListedSizesGiveTheirStateAndTool) {
  struct Case {
    int step;
    LONGLONG size;
    PackState state;
    const char* tool;
  };
  const Case cases[] = {
      {1, kSystemLocalised, PackState::Localised, nullptr},
      {1, kSystemFor011, PackState::Patchable, "011.exe"},
      {1, kSystemFor01, PackState::Patchable, "01.exe"},
      {2, kEvent02Localised, PackState::Localised, nullptr},
      {2, kEvent02Patchable, PackState::Patchable, "02.exe"},
      {3, kEvent03Localised, PackState::Localised, nullptr},
      {3, kEvent03Patchable, PackState::Patchable, "03.exe"},
      {4, kEvent04Localised, PackState::Localised, nullptr},
      {4, kEvent04Patchable, PackState::Patchable, "04.exe"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "step " << c.step << " size " << c.size);
    const char* tool = nullptr;
    EXPECT_EQ(DecidePackState(Step(c.step), c.size, &tool), c.state);
    if (c.tool != nullptr) {
      EXPECT_STREQ(tool, c.tool);
    }
    // A size that belongs to another step is not this step's.
    for (int other = 1; other <= 4; ++other) {
      if (other == c.step) continue;
      EXPECT_EQ(DecidePackState(Step(other), c.size, &tool), PackState::Unrecognised);
    }
    EXPECT_EQ(DecidePackState(Step(c.step), c.size + 1, &tool), PackState::Unrecognised);
    EXPECT_EQ(DecidePackState(Step(c.step), c.size - 1, &tool), PackState::Unrecognised);
    EXPECT_EQ(DecidePackState(Step(c.step), c.size + kFourGiB, &tool), PackState::Unrecognised);
  }
}

TEST(PackTableTest, PathsAndParametersOfEachStep) {
  const char* packs[] = {"Packs\\System.GPK", "Packs\\Event02.GPK", "Packs\\Event03.GPK",
                         "Packs\\Event04.GPK"};
  const char* temps[] = {"Packs\\01.tmp", "Packs\\02.tmp", "Packs\\03.tmp", "Packs\\04.tmp"};
  for (int i = 0; i < 4; ++i) {
    EXPECT_STREQ(kPackSteps[i].pack, packs[i]);
    EXPECT_STREQ(kPackSteps[i].tempFile, temps[i]);
    EXPECT_EQ(std::string(kPackSteps[i].toolParameters), std::string(packs[i]) + " " + temps[i]);
    EXPECT_EQ(kPackSteps[i].retryMove, i != 0);
  }
  EXPECT_STREQ(kEventPacksGate, "Packs\\02.exe");
}

TEST_F(PackStepTest, EachStep1SizeStartsItsOwnToolOrNone) {
  ASSERT_TRUE(game.AddTool("01.exe", "nothing\n"));
  ASSERT_TRUE(game.AddTool("011.exe", "nothing\n"));
  const struct {
    LONGLONG size;
    bool result;
    const char* tool;
  } cases[] = {
      {kSystemFor011, true, "011.exe"},   {kSystemFor01, true, "01.exe"},
      {kSystemLocalised, true, nullptr},  {kSystemFor01 + 1, false, nullptr},
      {kSystemFor011 - 1, false, nullptr}, {kSystemLocalised + kFourGiB, false, nullptr},
      {kSystemFor01 + kFourGiB, false, nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "size " << c.size);
    DeleteFileA("standin.log");
    ASSERT_TRUE(game.MakeFile("Packs\\System.GPK", c.size));
    bool toolRan = true;
    EXPECT_EQ(PatchPack(Step(1), &toolRan), c.result);
    EXPECT_EQ(toolRan, c.tool != nullptr);
    const auto runs = game.ToolRuns();
    if (c.tool == nullptr) {
      EXPECT_TRUE(runs.empty());
    } else {
      ASSERT_EQ(runs.size(), 1u);
      EXPECT_EQ(runs[0].tool, c.tool);
    }
    EXPECT_EQ(game.Size("Packs\\System.GPK"), c.size);
  }
}

TEST_F(PackStepTest, PatchablePackIsReplacedByTheToolsCopy) {
  ASSERT_TRUE(game.AddTool("01.exe"));
  ASSERT_TRUE(game.MakeFile("Packs\\System.GPK", kSystemFor01));

  EXPECT_TRUE(RunPackStep(Step(1)));

  EXPECT_EQ(game.Size("Packs\\System.GPK"), kSystemLocalised);
  EXPECT_EQ(game.Head("Packs\\System.GPK"), "LOCALISED");
  EXPECT_FALSE(game.Has("Packs\\01.tmp"));
  const auto runs = game.ToolRuns();
  ASSERT_EQ(runs.size(), 1u);
  EXPECT_EQ(runs[0].tool, "01.exe");
  EXPECT_EQ(runs[0].parameters, "Packs\\System.GPK Packs\\01.tmp");
  EXPECT_EQ(_stricmp(runs[0].directory.c_str(), game.Path().c_str()), 0) << runs[0].directory;
  EXPECT_EQ(runs[0].read, "read");
  EXPECT_EQ(runs[0].write, "nowrite") << "the pack must be shared for reading only";
  EXPECT_EQ(runs[0].show, "0") << "started hidden";
}

// The copy takes the pack's place by a rename, whatever its size (step 1's is
// 1.9 GB): afterwards the pack is the copy's file, with its index, where a copy
// of the bytes would have made a new file.
TEST_F(PackStepTest, CopyIsRenamedOverThePackNotCopied) {
  for (const PackStep& step : kPackSteps) {
    SCOPED_TRACE(step.pack);
    ASSERT_TRUE(game.MakeFile(step.pack, step.patchable[0].size));
    ASSERT_TRUE(game.MakeFile(step.tempFile, step.localisedSize, "LOCALISED"));
    const ULONGLONG copyIndex = FileIndex(step.tempFile);
    ASSERT_NE(copyIndex, 0u);
    ASSERT_NE(FileIndex(step.pack), copyIndex);

    EXPECT_TRUE(ReplacePack(step));

    EXPECT_EQ(FileIndex(step.pack), copyIndex)
        << "the pack is a new file: the copy was copied, not renamed";
    EXPECT_EQ(game.Size(step.pack), step.localisedSize);
    EXPECT_EQ(game.Head(step.pack), "LOCALISED");
    EXPECT_FALSE(game.Has(step.tempFile));
  }
}

TEST_F(PackStepTest, RetryingStepReplacesItsPackAndIgnoresTheExitCode) {
  ASSERT_TRUE(game.AddTool("03.exe", "exit 7\n"));
  ASSERT_TRUE(game.MakeFile("Packs\\Event03.GPK", kEvent03Patchable));

  EXPECT_TRUE(RunPackStep(Step(3)));

  EXPECT_EQ(game.Size("Packs\\Event03.GPK"), kEvent03Localised);
  EXPECT_EQ(game.Head("Packs\\Event03.GPK"), "LOCALISED");
  const auto runs = game.ToolRuns();
  ASSERT_EQ(runs.size(), 1u);
  EXPECT_EQ(runs[0].parameters, "Packs\\Event03.GPK Packs\\03.tmp");
}

TEST_F(PackStepTest, ToolThatWritesNothingOrABadCopyFailsAndLeavesThePack) {
  const struct {
    const char* control;
    int step;
    const char* pack;
    LONGLONG size;
  } cases[] = {
      {"nothing\n", 1, "Packs\\System.GPK", kSystemFor01},
      {"size 1000\n", 1, "Packs\\System.GPK", kSystemFor01},
      {"nothing\n", 4, "Packs\\Event04.GPK", kEvent04Patchable},
      {"size 1913208631\n", 4, "Packs\\Event04.GPK", kEvent04Patchable},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "step " << c.step << ": " << c.control);
    const char* tool = c.step == 1 ? "01.exe" : "04.exe";
    ASSERT_TRUE(game.AddTool(tool, c.control));
    ASSERT_TRUE(game.MakeFile(c.pack, c.size));
    DeleteFileA("standin.log");

    EXPECT_FALSE(RunPackStep(Step(c.step)));

    EXPECT_EQ(game.ToolRuns().size(), 1u);
    EXPECT_EQ(game.Size(c.pack), c.size);
    EXPECT_EQ(game.Head(c.pack), "UNPATCHED");
    EXPECT_FALSE(game.Has(Step(c.step).tempFile));
  }
}

TEST_F(PackStepTest, MissingOrLockedPackFailsWithoutStartingTheTool) {
  ASSERT_TRUE(game.AddTool("02.exe"));
  bool toolRan = true;
  EXPECT_FALSE(PatchPack(Step(2), &toolRan));
  EXPECT_FALSE(toolRan);

  ASSERT_TRUE(game.MakeFile("Packs\\Event02.GPK", kEvent02Patchable));
  UniqueHandle exclusive(
      CreateFileA("Packs\\Event02.GPK", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
  ASSERT_TRUE(exclusive.IsValid());
  EXPECT_FALSE(RunPackStep(Step(2)));
  exclusive.Close();

  EXPECT_TRUE(game.ToolRuns().empty());
  EXPECT_EQ(game.Size("Packs\\Event02.GPK"), kEvent02Patchable);
}

TEST_F(PackStepDesktopTest, MissingToolFailsAfterTheShellReportsIt) {
  ASSERT_TRUE(game.MakeFile("Packs\\Event02.GPK", kEvent02Patchable));
  BoxDismisser dismisser;
  bool toolRan = true;
  EXPECT_FALSE(PatchPack(Step(2), &toolRan));
  EXPECT_FALSE(toolRan);
  EXPECT_GE(dismisser.Dismissed(), 1) << "the shell's own error report is kept";
  EXPECT_EQ(game.Size("Packs\\Event02.GPK"), kEvent02Patchable);
}

TEST_F(PackStepDesktopTest, ToolOfTheSameNameOnTheSearchPathIsNeverStarted) {
  GameFolder elsewhere;
  ASSERT_TRUE(elsewhere.AddTool("01.exe"));
  char path[32768];
  const DWORD length = GetEnvironmentVariableA("PATH", path, sizeof(path));
  const std::string previous(path, length < sizeof(path) ? length : 0);
  SetEnvironmentVariableA("PATH", (elsewhere.Path() + ";" + previous).c_str());
  ASSERT_TRUE(game.MakeFile("Packs\\System.GPK", kSystemFor01));

  bool ran;
  {
    BoxDismisser dismisser;
    ran = RunToolAndWait("01.exe", "Packs\\System.GPK Packs\\01.tmp");
  }
  SetEnvironmentVariableA("PATH", previous.c_str());

  EXPECT_FALSE(ran);
  EXPECT_TRUE(elsewhere.ToolRuns().empty());
  EXPECT_EQ(game.Size("Packs\\System.GPK"), kSystemFor01);
}

TEST_F(PackStepTest, CopyHeldOpenCountsAsAbsentAndIsNotWaitedFor) {
  ASSERT_TRUE(game.MakeFile("Packs\\Event02.GPK", kEvent02Patchable));
  ASSERT_TRUE(game.MakeFile("Packs\\02.tmp", kEvent02Localised, "LOCALISED"));
  UniqueHandle held(CreateFileA("Packs\\02.tmp", GENERIC_READ, FILE_SHARE_READ, nullptr,
                                OPEN_EXISTING, 0, nullptr));
  ASSERT_TRUE(held.IsValid());
  EXPECT_FALSE(FileExists("Packs\\02.tmp"));
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(ReplacePack(Step(2)));
  EXPECT_LT(MillisecondsSince(start), kNoWaitMs);
  held.Close();

  EXPECT_TRUE(FileExists("Packs\\02.tmp"));
  EXPECT_EQ(game.Head("Packs\\Event02.GPK"), "UNPATCHED");
}

TEST_F(PackStepTest, CopyKeptOpenByTheToolsChildFailsTheStep) {
  ASSERT_TRUE(game.AddTool("02.exe", "hold 3000\n"));
  ASSERT_TRUE(game.MakeFile("Packs\\Event02.GPK", kEvent02Patchable));

  EXPECT_FALSE(RunPackStep(Step(2)));

  EXPECT_EQ(game.Size("Packs\\Event02.GPK"), kEvent02Patchable);
  EXPECT_EQ(game.Head("Packs\\Event02.GPK"), "UNPATCHED");
  EXPECT_EQ(game.Size("Packs\\02.tmp"), kEvent02Localised) << "written, then left alone";

  // The child lets go in its own time; until then the scratch folder cannot be removed.
  const ULONGLONG deadline = GetTickCount64() + gamefolder::kColdStartMs;
  while (!FileExists(game.File("Packs\\02.tmp").c_str()) && GetTickCount64() < deadline) {
    Sleep(100);
  }
}

// The pack is released while the step waits between its attempts; how many
// attempts fail first depends on the machine's load, so the test asks only that
// the move came after the release and that the step kept trying until then.
TEST_F(PackStepTest, MoveRetriedWhileThePackIsHeldSucceedsOnceItIsFree) {
  ASSERT_TRUE(game.MakeFile("Packs\\Event03.GPK", kEvent03Patchable));
  ASSERT_TRUE(game.MakeFile("Packs\\03.tmp", kEvent03Localised, "LOCALISED"));
  Holder holder(game.File("Packs\\Event03.GPK"), 250);
  ASSERT_TRUE(holder.Holds());

  EXPECT_TRUE(ReplacePack(Step(3), 100));
  const auto returned = std::chrono::steady_clock::now();

  EXPECT_LE(holder.ReleasedAt().time_since_epoch().count(), returned.time_since_epoch().count())
      << "moved over a pack that was still held";
  EXPECT_NE(holder.ReleasedAt().time_since_epoch().count(), 0);
  EXPECT_EQ(game.Size("Packs\\Event03.GPK"), kEvent03Localised);
  EXPECT_FALSE(game.Has("Packs\\03.tmp"));
}

TEST_F(PackStepTest, MoveThatNeverSucceedsFailsAtTheBound) {
  ASSERT_TRUE(game.MakeFile("Packs\\Event04.GPK", kEvent04Patchable));
  ASSERT_TRUE(game.MakeFile("Packs\\04.tmp", kEvent04Localised, "LOCALISED"));
  Holder holder(game.File("Packs\\Event04.GPK"));
  ASSERT_TRUE(holder.Holds());
  const auto start = std::chrono::steady_clock::now();

  EXPECT_FALSE(ReplacePack(Step(4), 5));

  // Five waits of 100 ms, and then it gives up while the pack is still held.
  const double elapsed = MillisecondsSince(start);
  EXPECT_GE(elapsed, 500.0);
  EXPECT_LT(elapsed, 5000.0);
  EXPECT_EQ(game.Head("Packs\\Event04.GPK"), "UNPATCHED");
  EXPECT_EQ(game.Size("Packs\\04.tmp"), kEvent04Localised);
}

TEST_F(PackStepTest, Step1MovesOnceWithoutWaiting) {
  ASSERT_TRUE(game.MakeFile("Packs\\System.GPK", kSystemFor011));
  ASSERT_TRUE(game.MakeFile("Packs\\01.tmp", kSystemLocalised, "LOCALISED"));
  {
    Holder holder(game.File("Packs\\System.GPK"));
    ASSERT_TRUE(holder.Holds());
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(ReplacePack(Step(1)));
    EXPECT_LT(MillisecondsSince(start), kNoWaitMs);
  }
  EXPECT_EQ(game.Head("Packs\\System.GPK"), "UNPATCHED");
  EXPECT_EQ(game.Size("Packs\\01.tmp"), kSystemLocalised);

  // Once nothing holds the pack, the one move goes through (that it made no
  // wait first, the held case above has shown).
  EXPECT_TRUE(ReplacePack(Step(1)));
  EXPECT_EQ(game.Head("Packs\\System.GPK"), "LOCALISED");
}

// While this step waits for the pack, a second installer may delete the copy or
// rewrite it with a tool that stops half-way: the wait ends there, and no half
// copy goes over the pack.
TEST_F(PackStepTest, CopyThatChangesWhileTheMoveWaitsIsNotMoved) {
  ASSERT_TRUE(game.MakeFile("Packs\\Event04.GPK", kEvent04Patchable));
  for (bool rewritten : {false, true}) {
    SCOPED_TRACE(rewritten ? "rewritten half-way" : "deleted");
    ASSERT_TRUE(game.MakeFile("Packs\\04.tmp", kEvent04Localised, "LOCALISED"));
    Holder holder(game.File("Packs\\Event04.GPK"));
    ASSERT_TRUE(holder.Holds());
    // The half copy is made beside the copy and moved over it whole: a copy
    // still being written is held open, which the step takes as a tool still
    // at work, not as a changed copy. The step opens the copy for a moment
    // before each attempt; try again then, for as long as the step may wait.
    if (rewritten) {
      ASSERT_TRUE(game.MakeFile("Packs\\04.half", 65536, "LOCALISED"));
    }
    std::atomic<bool> changed{false};
    std::thread other([this, rewritten, &changed] {
      Sleep(250);
      const ULONGLONG deadline = GetTickCount64() + 10000;
      while (!changed && GetTickCount64() < deadline) {
        changed = rewritten ? MoveFileExA(game.File("Packs\\04.half").c_str(),
                                          game.File("Packs\\04.tmp").c_str(),
                                          MOVEFILE_REPLACE_EXISTING) != 0
                            : DeleteFileA(game.File("Packs\\04.tmp").c_str()) != 0;
        if (!changed) Sleep(5);
      }
    });
    const auto start = std::chrono::steady_clock::now();

    EXPECT_FALSE(ReplacePack(Step(4), 100));

    // The pack stays held: only the changed copy can end the step before its
    // hundred attempts (ten seconds) are spent.
    EXPECT_LT(MillisecondsSince(start), 5000.0) << "waited on with nothing to move";
    other.join();
    ASSERT_TRUE(changed) << "the copy could not be changed while the step waited";
    EXPECT_EQ(game.Size("Packs\\Event04.GPK"), kEvent04Patchable);
    EXPECT_EQ(game.Head("Packs\\Event04.GPK"), "UNPATCHED");
    // A rename is made through a handle on the file, which under its new name
    // is still open for a moment after the rename: a step that looks then sees
    // a copy held by a tool at work and leaves it, rightly. Otherwise it sees
    // the half copy, of the wrong size, and deletes it. Either way it has ended
    // the wait without moving anything.
    if (rewritten && game.Has("Packs\\04.tmp")) {
      EXPECT_EQ(game.Size("Packs\\04.tmp"), 65536);
    } else {
      EXPECT_FALSE(game.Has("Packs\\04.tmp"));
    }
    DeleteFileA(game.File("Packs\\04.tmp").c_str());
  }
}
