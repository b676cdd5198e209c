// The real Brisunde.exe where things go wrong: killed, crashing or hanging
// tools, packs and copies that are not what they should be, two installers at
// once. Whatever happens, every pack must end byte for byte as it was or as the
// localised copy, and the one closing line must say which.
#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "BrisundeRun.h"
#include "GameFolder.h"
#include "UniqueHandle.h"

using gamefolder::GameFolder;

namespace {

using namespace brisunde;

struct Pack {
  const char* path;
  LONGLONG patchable;
  LONGLONG localised;
  const char* temp;
  const char* tool;  // without ".exe", as its control file is named
  const std::string* toolLine;
};

const Pack kPacks[4] = {
    {"Packs\\System.GPK", kSystemPatchable, kSystemLocalised, "Packs\\01.tmp", "01", &kTool01},
    {"Packs\\Event02.GPK", kEvent02Patchable, kEvent02Localised, "Packs\\02.tmp", "02", &kTool02},
    {"Packs\\Event03.GPK", kEvent03Patchable, kEvent03Localised, "Packs\\03.tmp", "03", &kTool03},
    {"Packs\\Event04.GPK", kEvent04Patchable, kEvent04Localised, "Packs\\04.tmp", "04", &kTool04},
};

const std::string* const kProgressAfter[4] = {&k25, &k50, &k75, nullptr};

// What a run prints up to and including step's tool line when every pack is
// patchable and every earlier step succeeds.
std::string OutputUpToTool(int step) {
  std::string output = kGreeting + k0;
  for (int i = 0; i < step; ++i) output += *kPacks[i].toolLine + *kProgressAfter[i];
  return output + *kPacks[step].toolLine;
}

::testing::AssertionResult IsIntact(const GameFolder& game, const Pack& pack) {
  const LONGLONG size = game.Size(pack.path);
  const std::string head = game.Head(pack.path);
  if (size == pack.patchable && head == "UNPATCHED") return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << pack.path << " is " << size << " bytes starting \""
                                       << head << "\", not the original";
}

::testing::AssertionResult IsLocalised(const GameFolder& game, const Pack& pack) {
  const LONGLONG size = game.Size(pack.path);
  const std::string head = game.Head(pack.path);
  if (size == pack.localised && head == "LOCALISED") return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << pack.path << " is " << size << " bytes starting \""
                                       << head << "\", not the localised copy";
}

::testing::AssertionResult IsIntactOrLocalised(const GameFolder& game, const Pack& pack) {
  if (IsIntact(game, pack) || IsLocalised(game, pack)) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << pack.path << " is " << game.Size(pack.path)
                                       << " bytes starting \"" << game.Head(pack.path) << "\"";
}

// Every pack patchable, every tool and the gate in place.
void LayOutUnpatchedGame(const GameFolder& game) {
  for (const Pack& pack : kPacks) ASSERT_TRUE(game.MakeFile(pack.path, pack.patchable));
  for (const char* tool : {"01.exe", "011.exe", "02.exe", "03.exe", "04.exe", "Packs\\02.exe"}) {
    ASSERT_TRUE(game.AddTool(tool));
  }
}

void SetControl(const GameFolder& game, const Pack& pack, const std::string& control) {
  ASSERT_TRUE(gamefolder::WriteText(game.File(std::string(pack.tool) + ".ctl"), control));
}

RunResult RunInstaller(const GameFolder& game) {
  return RunCaptured(InstallerCommand(), game.Path());
}

std::unique_ptr<CapturedProcess> StartInstaller(const GameFolder& game) {
  auto installer = std::make_unique<CapturedProcess>(InstallerCommand(), game.Path());
  installer->Resume();
  return installer;
}

// The process id a hanging stand-in records once its partial copy is written;
// 0 when none appears in time.
DWORD WaitForHangingTool(const GameFolder& game, const Pack& pack) {
  const std::string path = game.File(std::string(pack.tool) + ".pid");
  const ULONGLONG deadline = GetTickCount64() + gamefolder::kColdStartMs;
  do {
    const DWORD id = std::strtoul(gamefolder::ReadText(path, 32).c_str(), nullptr, 10);
    if (id != 0) return id;
    Sleep(20);
  } while (GetTickCount64() < deadline);
  return 0;
}

bool KillProcess(DWORD id) {
  const UniqueHandle process(OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, id));
  return process.IsValid() && TerminateProcess(process.Get(), 1) != 0 &&
         WaitForSingleObject(process.Get(), gamefolder::kColdStartMs) == WAIT_OBJECT_0;
}

std::vector<std::string> CopiesSeenAtStart(const GameFolder& game) {
  std::vector<std::string> seen;
  for (const auto& run : game.ToolRuns()) seen.push_back(run.tool + " " + run.copy);
  return seen;
}

using Lines = std::vector<std::string>;

// One whole run: the greeting and 0%, then tool and progress lines in step
// order (a tool line may be missing where a pack was already localised, a
// progress line never), exactly one closing line, and the pause prompt.
::testing::AssertionResult IsOneWholeRun(const std::string& output) {
  const std::string head = kGreeting + k0;
  const std::string& pause = PausePrompt();
  if (output.compare(0, head.size(), head) != 0 || output.size() < head.size() + pause.size() ||
      output.compare(output.size() - pause.size(), pause.size(), pause) != 0) {
    return ::testing::AssertionFailure() << "not greeting, 0% ... pause: " << output;
  }
  const Lines order = {kTool01, k25, kTool02, k50, kTool03, k75, kTool04};
  size_t next = 0;
  size_t at = head.size();
  const size_t end = output.size() - pause.size();
  while (at < end) {
    const size_t lineEnd = output.find("\r\n", at);
    if (lineEnd == std::string::npos || lineEnd + 2 > end) {
      return ::testing::AssertionFailure() << "unterminated line in: " << output;
    }
    const std::string line = output.substr(at, lineEnd + 2 - at);
    at = lineEnd + 2;
    if (line == kDone || line == kFailed) {
      if (at != end)
        return ::testing::AssertionFailure() << "lines after the closing one: " << output;
      if (line == kDone && next < order.size() - 1) {
        return ::testing::AssertionFailure() << "done before 75%: " << output;
      }
      return ::testing::AssertionSuccess();
    }
    size_t found = next;
    while (found < order.size() && order[found] != line && order[found][0] == '[') ++found;
    if (found == order.size() || order[found] != line) {
      return ::testing::AssertionFailure() << "line out of order: \"" << line << "\" in " << output;
    }
    next = found + 1;
  }
  return ::testing::AssertionFailure() << "no closing line: " << output;
}

}  // namespace

TEST(BrisundeFaultTest, InstallerKilledWhileItsToolHangsLosesNothingAndTheNextRunCompletes) {
  for (int step : {0, 2}) {
    SCOPED_TRACE(testing::Message() << "killed at step " << step + 1);
    GameFolder game;
    LayOutUnpatchedGame(game);
    const Pack& hanging = kPacks[step];
    SetControl(game, hanging, "hang 65536\n");
    {
      auto installer = StartInstaller(game);
      const DWORD tool = WaitForHangingTool(game, hanging);
      ASSERT_NE(tool, 0u) << "the tool never got half-way";
      installer->Kill();
      // Closing the console would end the tool too.
      EXPECT_TRUE(KillProcess(tool));
      ASSERT_TRUE(installer->Wait(gamefolder::kColdStartMs));
      EXPECT_EQ(installer->Output(), OutputUpToTool(step));
    }
    for (int i = 0; i < 4; ++i) {
      EXPECT_TRUE(i < step ? IsLocalised(game, kPacks[i]) : IsIntact(game, kPacks[i]));
    }
    EXPECT_EQ(game.Size(hanging.temp), 65536);

    DeleteFileA(game.File(std::string(hanging.tool) + ".ctl").c_str());
    DeleteFileA(game.File("standin.log").c_str());
    const RunResult run = RunInstaller(game);
    std::string expected = kGreeting + k0;
    Lines seen;
    for (int i = 0; i < 4; ++i) {
      if (i >= step) {
        expected += *kPacks[i].toolLine;
        seen.push_back(std::string(kPacks[i].tool) + ".exe nocopy");
      }
      if (kProgressAfter[i] != nullptr) expected += *kProgressAfter[i];
    }
    EXPECT_EQ(run.output, expected + kDone + PausePrompt());
    EXPECT_EQ(run.exitCode, 0u);
    // The stale half copy was gone before the tool started.
    EXPECT_EQ(CopiesSeenAtStart(game), seen);
    for (const Pack& pack : kPacks) {
      EXPECT_TRUE(IsLocalised(game, pack));
      EXPECT_FALSE(game.Has(pack.temp)) << pack.temp;
    }
  }
}

// Windows refuses to move a file over a read-only one; Wine replaces it.
TEST(BrisundeFaultTest, ReadOnlyPackIsNotReplaced) {
  for (int step : {0, 3}) {
    SCOPED_TRACE(testing::Message() << "read-only pack of step " << step + 1);
    GameFolder game;
    LayOutUnpatchedGame(game);
    const Pack& readOnly = kPacks[step];
    ASSERT_TRUE(SetFileAttributesA(game.File(readOnly.path).c_str(), FILE_ATTRIBUTE_READONLY));
    const RunResult run = RunInstaller(game);
    EXPECT_EQ(run.output, OutputUpToTool(step) + kFailed + PausePrompt());
    EXPECT_EQ(run.exitCode, 0u);
    EXPECT_TRUE(IsIntact(game, readOnly));
    EXPECT_NE(GetFileAttributesA(game.File(readOnly.path).c_str()) & FILE_ATTRIBUTE_READONLY, 0u);
    for (int i = 0; i < step; ++i) EXPECT_TRUE(IsLocalised(game, kPacks[i]));
  }
}

// A tool may carry the pack's read-only mark over to its copy; DeleteFileA
// refuses such a file, and a tool that then writes nothing must not leave the
// last run's copy to be taken for its own.
TEST(BrisundeFaultTest, StaleReadOnlyCopyIsNotTakenForThisRunsCopy) {
  GameFolder game;
  LayOutUnpatchedGame(game);
  SetControl(game, kPacks[0], "nothing\n");
  ASSERT_TRUE(game.MakeFile("Packs\\01.tmp", kSystemLocalised, "LEFTOVER!"));
  ASSERT_TRUE(SetFileAttributesA(game.File("Packs\\01.tmp").c_str(), FILE_ATTRIBUTE_READONLY));
  const RunResult run = RunInstaller(game);
  EXPECT_EQ(run.output, kGreeting + k0 + kTool01 + kFailed + PausePrompt());
  EXPECT_EQ(run.exitCode, 0u);
  EXPECT_TRUE(IsIntact(game, kPacks[0]));
  EXPECT_FALSE(game.Has("Packs\\01.tmp"));
}

TEST(BrisundeFaultTest, PackThatIsAFolderFailsItsStepWithoutATool) {
  for (int step : {0, 2}) {
    SCOPED_TRACE(testing::Message() << "folder in place of the pack of step " << step + 1);
    GameFolder game;
    LayOutUnpatchedGame(game);
    const Pack& folder = kPacks[step];
    ASSERT_TRUE(DeleteFileA(game.File(folder.path).c_str()));
    ASSERT_TRUE(CreateDirectoryA(game.File(folder.path).c_str(), nullptr));
    const std::string inside = std::string(folder.path) + "\\inside.bin";
    ASSERT_TRUE(game.MakeFile(inside, 4096));

    const RunResult run = RunInstaller(game);

    std::string expected = kGreeting + k0;
    Lines started;
    for (int i = 0; i < step; ++i) {
      expected += *kPacks[i].toolLine + *kProgressAfter[i];
      started.push_back(std::string(kPacks[i].tool) + ".exe nocopy");
    }
    EXPECT_EQ(run.output, expected + kFailed + PausePrompt());
    EXPECT_EQ(run.exitCode, 0u);
    EXPECT_EQ(CopiesSeenAtStart(game), started);
    EXPECT_EQ(GetFileAttributesA(game.File(folder.path).c_str()) & FILE_ATTRIBUTE_DIRECTORY,
              static_cast<DWORD>(FILE_ATTRIBUTE_DIRECTORY));
    EXPECT_EQ(game.Size(inside), 4096);
    EXPECT_EQ(game.Head(inside), "UNPATCHED");
    for (int i = step + 1; i < 4; ++i) EXPECT_TRUE(IsIntact(game, kPacks[i]));
  }
}

TEST(BrisundeFaultTest, TemporaryFileThatIsAFolderFailsItsStep) {
  for (int step : {0, 3}) {
    SCOPED_TRACE(testing::Message() << "folder in place of the copy of step " << step + 1);
    GameFolder game;
    LayOutUnpatchedGame(game);
    const Pack& pack = kPacks[step];
    ASSERT_TRUE(CreateDirectoryA(game.File(pack.temp).c_str(), nullptr));
    const RunResult run = RunInstaller(game);
    EXPECT_EQ(run.output, OutputUpToTool(step) + kFailed + PausePrompt());
    EXPECT_EQ(run.exitCode, 0u);
    EXPECT_TRUE(IsIntact(game, pack));
    EXPECT_NE(GetFileAttributesA(game.File(pack.temp).c_str()) & FILE_ATTRIBUTE_DIRECTORY, 0u);
    for (int i = 0; i < step; ++i) EXPECT_TRUE(IsLocalised(game, kPacks[i]));
  }
}

TEST(BrisundeFaultTest, ToolThatCrashesHalfWayFailsAndLeavesNoCopy) {
  {
    SCOPED_TRACE("the stand-in on its own");
    GameFolder game;
    LayOutUnpatchedGame(game);
    SetControl(game, kPacks[0], "crash 1048576\n");
    const RunResult run =
        RunCaptured("\"" + game.File("01.exe") + "\" Packs\\System.GPK Packs\\01.tmp", game.Path());
    ASSERT_TRUE(run.ended) << "a crash dialog kept the tool alive? " << run;
    EXPECT_EQ(run.exitCode, static_cast<DWORD>(EXCEPTION_ACCESS_VIOLATION));
    EXPECT_EQ(game.Size("Packs\\01.tmp"), 1048576);
  }
  for (int step : {0, 1}) {
    SCOPED_TRACE(testing::Message() << "crash at step " << step + 1);
    GameFolder game;
    LayOutUnpatchedGame(game);
    const Pack& pack = kPacks[step];
    SetControl(game, pack, "crash 1048576\n");
    const RunResult run = RunInstaller(game);
    ASSERT_TRUE(run.ended) << "a crash dialog kept the tool alive? " << run;
    EXPECT_EQ(run.output, OutputUpToTool(step) + kFailed + PausePrompt());
    EXPECT_EQ(run.exitCode, 0u);
    EXPECT_TRUE(IsIntact(game, pack));
    EXPECT_FALSE(game.Has(pack.temp));
    for (int i = 0; i < 4; ++i) {
      EXPECT_TRUE(i < step ? IsLocalised(game, kPacks[i]) : IsIntact(game, kPacks[i]));
    }
  }
}

TEST(BrisundeFaultTest, ToolThatHangsAndIsKilledFailsAndLeavesNoCopy) {
  for (int step : {0, 3}) {
    SCOPED_TRACE(testing::Message() << "hang at step " << step + 1);
    GameFolder game;
    LayOutUnpatchedGame(game);
    const Pack& pack = kPacks[step];
    SetControl(game, pack, "hang 65536\n");
    auto installer = StartInstaller(game);
    const DWORD tool = WaitForHangingTool(game, pack);
    ASSERT_NE(tool, 0u) << "the tool never got half-way";
    EXPECT_EQ(game.Size(pack.temp), 65536);
    EXPECT_TRUE(KillProcess(tool));
    ASSERT_TRUE(installer->Wait(gamefolder::kColdStartMs));
    EXPECT_EQ(installer->Output(), OutputUpToTool(step) + kFailed + PausePrompt());
    EXPECT_EQ(installer->ExitCode(), 0u);
    EXPECT_TRUE(IsIntact(game, pack));
    EXPECT_FALSE(game.Has(pack.temp));
  }
}

TEST(BrisundeFaultTest, ToolExitCodeDecidesNothing) {
  {
    SCOPED_TRACE("error code and no copy");
    GameFolder game;
    LayOutUnpatchedGame(game);
    SetControl(game, kPacks[0], "nothing\nexit 3\n");
    const RunResult run = RunInstaller(game);
    EXPECT_EQ(run.output, kGreeting + k0 + kTool01 + kFailed + PausePrompt());
    EXPECT_EQ(run.exitCode, 0u);
    EXPECT_TRUE(IsIntact(game, kPacks[0]));
  }
  {
    SCOPED_TRACE("error codes and good copies");
    GameFolder game;
    LayOutUnpatchedGame(game);
    // 259 is STILL_ACTIVE to anyone who polls for it; the last looks like a crash.
    const char* codes[4] = {"exit 1\n", "exit -1\n", "exit 259\n", "exit -1073741819\n"};
    for (int i = 0; i < 4; ++i) SetControl(game, kPacks[i], codes[i]);
    const RunResult run = RunInstaller(game);
    EXPECT_EQ(run.output, OutputUpToTool(3) + kDone + PausePrompt());
    EXPECT_EQ(run.exitCode, 0u);
    for (const Pack& pack : kPacks) {
      EXPECT_TRUE(IsLocalised(game, pack));
      EXPECT_FALSE(game.Has(pack.temp)) << pack.temp;
    }
  }
}

// The first round starts both at once; in the later ones the second starts once
// the first has started the tool of step `round`, so that the two also meet in
// the later steps.
TEST(BrisundeFaultTest, TwoInstallersAtOnceNeverDestroyAPack) {
  for (int round = 0; round < 4; ++round) {
    SCOPED_TRACE(testing::Message() << "second installer after the first's tool " << round);
    GameFolder game;
    LayOutUnpatchedGame(game);
    for (const Pack& pack : kPacks) SetControl(game, pack, "sleep 300\n");

    CapturedProcess first(InstallerCommand(), game.Path());
    CapturedProcess second(InstallerCommand(), game.Path());
    first.Resume();
    const ULONGLONG deadline = GetTickCount64() + gamefolder::kColdStartMs;
    while (game.ToolRuns().size() < static_cast<size_t>(round) && GetTickCount64() < deadline) {
      Sleep(20);
    }
    ASSERT_GE(game.ToolRuns().size(), static_cast<size_t>(round)) << "the first installer stalled";
    second.Resume();
    ASSERT_TRUE(first.Wait(60000));
    ASSERT_TRUE(second.Wait(60000));

    bool anyDone = false;
    for (CapturedProcess* installer : {&first, &second}) {
      EXPECT_TRUE(IsOneWholeRun(installer->Output()));
      EXPECT_EQ(installer->ExitCode(), 0u);
      const std::string& output = installer->Output();
      anyDone = anyDone || output.find(kDone) != std::string::npos;
    }
    for (const Pack& pack : kPacks) {
      EXPECT_TRUE(IsIntactOrLocalised(game, pack));
      // Done means that installer saw every pack localised or made it so.
      if (anyDone) {
        EXPECT_TRUE(IsLocalised(game, pack));
      }
    }
  }
}

// The first installer has checked its copy and waits to move it, because the
// pack is held (here by the test, as the second installer would hold it). The
// second installer's tool rewrites the copy and is stopped half-way when the
// user closes its console. What the first may move is the copy as it is then.
TEST(BrisundeFaultTest, SecondInstallerClosedMidWriteCannotCostTheFirstItsPack) {
  GameFolder game;
  LayOutUnpatchedGame(game);
  ASSERT_TRUE(game.MakeFile(kPacks[0].path, kSystemLocalised, "LOCALISED"));
  const Pack& pack = kPacks[1];
  UniqueHandle held(CreateFileA(game.File(pack.path).c_str(), GENERIC_READ, FILE_SHARE_READ,
                                nullptr, OPEN_EXISTING, 0, nullptr));
  ASSERT_TRUE(held.IsValid());

  auto first = StartInstaller(game);
  // The first installer checks its copy the moment its tool has ended, then
  // waits for the pack; the second installer takes far longer to start. A copy
  // of the whole size whose writer has left the job is that moment.
  const std::string tool = std::string(pack.tool) + ".exe";
  bool copied = false;
  const ULONGLONG deadline = GetTickCount64() + gamefolder::kColdStartMs;
  do {
    copied = game.Size(pack.temp) == pack.localised && !first->Runs(tool);
    if (!copied) Sleep(20);
  } while (!copied && GetTickCount64() < deadline);
  ASSERT_TRUE(copied) << "the first installer's tool never finished its copy";

  SetControl(game, pack, "hang 65536\n");
  {
    auto second = StartInstaller(game);
    const DWORD tool = WaitForHangingTool(game, pack);
    ASSERT_NE(tool, 0u) << "the second installer's tool never got half-way";
    second->Kill();
    EXPECT_TRUE(KillProcess(tool));
    ASSERT_TRUE(second->Wait(gamefolder::kColdStartMs));
  }
  held.Close();

  ASSERT_TRUE(first->Wait(gamefolder::kColdStartMs));
  EXPECT_EQ(first->Output(), kGreeting + k0 + k25 + kTool02 + kFailed + PausePrompt());
  EXPECT_TRUE(IsIntact(game, pack));
}
