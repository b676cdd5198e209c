// The real Brisunde.exe in scratch game folders: its whole output compared byte
// for byte, standard input at end-of-file so that the closing pause returns.
#include <gtest/gtest.h>

#include <string>

#include "BrisundeRun.h"
#include "GameFolder.h"
#include "UniqueHandle.h"

using gamefolder::GameFolder;

namespace {

using namespace brisunde;

class BrisundeRunTest : public ::testing::Test {
 protected:
  RunResult RunInstaller(const std::string& arguments = std::string()) {
    std::string commandLine = InstallerCommand();
    if (!arguments.empty()) commandLine += " " + arguments;
    return RunCaptured(commandLine, game.Path());
  }

  // Every pack patchable, every tool and the gate in place.
  void LayOutUnpatchedGame() {
    ASSERT_TRUE(game.MakeFile("Packs\\System.GPK", kSystemPatchable));
    ASSERT_TRUE(game.MakeFile("Packs\\Event02.GPK", kEvent02Patchable));
    ASSERT_TRUE(game.MakeFile("Packs\\Event03.GPK", kEvent03Patchable));
    ASSERT_TRUE(game.MakeFile("Packs\\Event04.GPK", kEvent04Patchable));
    for (const char* tool : {"01.exe", "011.exe", "02.exe", "03.exe", "04.exe", "Packs\\02.exe"}) {
      ASSERT_TRUE(game.AddTool(tool));
    }
  }

  std::vector<std::string> ToolsStarted() const {
    std::vector<std::string> tools;
    for (const auto& run : game.ToolRuns()) tools.push_back(run.tool);
    return tools;
  }

  GameFolder game;
};

using Tools = std::vector<std::string>;

}  // namespace

// Cases that show a window, the shell's error box or a console, which takes
// the activation from any other window of the desktop: CTest runs them apart.
class BrisundeRunDesktopTest : public BrisundeRunTest {};

TEST_F(BrisundeRunTest, PausePromptIsKnown) { ASSERT_FALSE(PausePrompt().empty()); }

TEST_F(BrisundeRunTest, NoPacksFolderFailsAtStep1) {
  RemoveDirectoryA(game.Packs().c_str());
  const RunResult run = RunInstaller();
  EXPECT_EQ(run.output, kGreeting + k0 + kFailed + PausePrompt());
  EXPECT_EQ(run.exitCode, 0u);
}

TEST_F(BrisundeRunTest, AllPatchableRunsEveryToolOnceInOrderAndReplacesEveryPack) {
  LayOutUnpatchedGame();
  const RunResult run = RunInstaller();
  EXPECT_EQ(run.output, kGreeting + k0 + kTool01 + k25 + kTool02 + k50 + kTool03 + k75 + kTool04 +
                            kDone + PausePrompt());
  EXPECT_EQ(run.exitCode, 0u);
  EXPECT_EQ(ToolsStarted(), (Tools{"01.exe", "02.exe", "03.exe", "04.exe"}));
  EXPECT_EQ(game.Size("Packs\\System.GPK"), kSystemLocalised);
  EXPECT_EQ(game.Size("Packs\\Event02.GPK"), kEvent02Localised);
  EXPECT_EQ(game.Size("Packs\\Event03.GPK"), kEvent03Localised);
  EXPECT_EQ(game.Size("Packs\\Event04.GPK"), kEvent04Localised);
  for (const char* pack : {"Packs\\System.GPK", "Packs\\Event02.GPK", "Packs\\Event03.GPK",
                           "Packs\\Event04.GPK"}) {
    EXPECT_EQ(game.Head(pack), "LOCALISED") << pack;
  }
  for (const char* temp : {"Packs\\01.tmp", "Packs\\02.tmp", "Packs\\03.tmp", "Packs\\04.tmp"}) {
    EXPECT_FALSE(game.Has(temp)) << temp;
  }

  // The second run finds every pack localised; arguments change nothing.
  DeleteFileA(game.File("standin.log").c_str());
  const RunResult again = RunInstaller("--whatever Packs\\System.GPK");
  EXPECT_EQ(again.output, kGreeting + k0 + k25 + k50 + k75 + kDone + PausePrompt());
  EXPECT_EQ(again.exitCode, 0u);
  EXPECT_TRUE(ToolsStarted().empty());
}

TEST_F(BrisundeRunTest, WithoutTheGateOnlyStep1Runs) {
  LayOutUnpatchedGame();
  ASSERT_TRUE(DeleteFileA(game.File("Packs\\02.exe").c_str()));
  ASSERT_TRUE(game.MakeFile("Packs\\System.GPK", kSystemLocalised));
  const RunResult run = RunInstaller();
  EXPECT_EQ(run.output, kGreeting + k0 + k25 + kDone + PausePrompt());
  EXPECT_EQ(run.exitCode, 0u);
  EXPECT_TRUE(ToolsStarted().empty());
  EXPECT_EQ(game.Size("Packs\\Event02.GPK"), kEvent02Patchable);
  EXPECT_EQ(game.Size("Packs\\Event04.GPK"), kEvent04Patchable);
}

TEST_F(BrisundeRunTest, UnlistedSizeFailsItsStepAndEarlierPacksStayReplaced) {
  {
    SCOPED_TRACE("step 2");
    LayOutUnpatchedGame();
    ASSERT_TRUE(game.MakeFile("Packs\\Event02.GPK", kEvent02Patchable + 1));
    const RunResult run = RunInstaller();
    EXPECT_EQ(run.output, kGreeting + k0 + kTool01 + k25 + kFailed + PausePrompt());
    EXPECT_EQ(run.exitCode, 0u);
    EXPECT_EQ(game.Size("Packs\\System.GPK"), kSystemLocalised);
  }
  {
    SCOPED_TRACE("step 3");
    DeleteFileA(game.File("standin.log").c_str());
    ASSERT_TRUE(game.MakeFile("Packs\\Event02.GPK", kEvent02Patchable));
    ASSERT_TRUE(game.MakeFile("Packs\\Event03.GPK", kEvent03Localised - 1));
    const RunResult run = RunInstaller();
    EXPECT_EQ(run.output, kGreeting + k0 + k25 + kTool02 + k50 + kFailed + PausePrompt());
    EXPECT_EQ(run.exitCode, 0u);
    EXPECT_EQ(ToolsStarted(), (Tools{"02.exe"}));
    EXPECT_EQ(game.Size("Packs\\System.GPK"), kSystemLocalised);
    EXPECT_EQ(game.Size("Packs\\Event02.GPK"), kEvent02Localised);
    EXPECT_EQ(game.Size("Packs\\Event04.GPK"), kEvent04Patchable);
  }
}

TEST_F(BrisundeRunTest, ToolThatWritesNothingOrABadCopyFailsWithThePackIntact) {
  LayOutUnpatchedGame();
  ASSERT_TRUE(game.AddTool("04.exe", "nothing\n"));
  RunResult run = RunInstaller();
  EXPECT_EQ(run.output, kGreeting + k0 + kTool01 + k25 + kTool02 + k50 + kTool03 + k75 + kTool04 +
                            kFailed + PausePrompt());
  EXPECT_EQ(run.exitCode, 0u);
  EXPECT_EQ(game.Head("Packs\\Event04.GPK"), "UNPATCHED");
  EXPECT_EQ(game.Size("Packs\\Event03.GPK"), kEvent03Localised);

  ASSERT_TRUE(game.MakeFile("Packs\\System.GPK", kSystemPatchable));
  ASSERT_TRUE(game.AddTool("01.exe", "size 4096\n"));
  run = RunInstaller();
  EXPECT_EQ(run.output, kGreeting + k0 + kTool01 + kFailed + PausePrompt());
  EXPECT_EQ(game.Size("Packs\\System.GPK"), kSystemPatchable);
  EXPECT_EQ(game.Head("Packs\\System.GPK"), "UNPATCHED");
  EXPECT_FALSE(game.Has("Packs\\01.tmp"));
}

TEST_F(BrisundeRunTest, StaleCopiesAreDeletedBeforeStep1) {
  LayOutUnpatchedGame();
  ASSERT_TRUE(game.AddTool("01.exe", "nothing\n"));
  ASSERT_TRUE(game.MakeFile("Packs\\01.tmp", kSystemLocalised, "LOCALISED"));
  ASSERT_TRUE(game.MakeFile("Packs\\02.tmp", kEvent02Localised, "LOCALISED"));
  ASSERT_TRUE(game.MakeFile("Packs\\03.tmp", kEvent03Localised, "LOCALISED"));
  ASSERT_TRUE(game.MakeFile("Packs\\04.tmp", kEvent04Localised, "LOCALISED"));

  const RunResult run = RunInstaller();

  EXPECT_EQ(run.output, kGreeting + k0 + kTool01 + kFailed + PausePrompt());
  EXPECT_EQ(game.Head("Packs\\System.GPK"), "UNPATCHED");
  for (const char* temp : {"Packs\\01.tmp", "Packs\\02.tmp", "Packs\\03.tmp", "Packs\\04.tmp"}) {
    EXPECT_FALSE(game.Has(temp)) << temp;
  }
}

TEST_F(BrisundeRunTest, MoveThatCannotSucceedFails) {
  LayOutUnpatchedGame();
  // Shared for reading, so the tool still runs, but the pack cannot be replaced.
  UniqueHandle held(CreateFileA(game.File("Packs\\System.GPK").c_str(), GENERIC_READ,
                                FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
  ASSERT_TRUE(held.IsValid());
  const RunResult run = RunInstaller();
  held.Close();
  EXPECT_EQ(run.output, kGreeting + k0 + kTool01 + kFailed + PausePrompt());
  EXPECT_EQ(run.exitCode, 0u);
  EXPECT_EQ(game.Head("Packs\\System.GPK"), "UNPATCHED");
  EXPECT_EQ(game.Size("Packs\\01.tmp"), kSystemLocalised);
}

TEST_F(BrisundeRunDesktopTest, MissingToolIsReportedByTheShellAndFails) {
  LayOutUnpatchedGame();
  ASSERT_TRUE(DeleteFileA(game.File("01.exe").c_str()));
  const RunResult run = RunInstaller();
  ASSERT_TRUE(run.ended) << run;
  EXPECT_EQ(run.output, kGreeting + k0 + kFailed + PausePrompt());
  EXPECT_EQ(run.exitCode, 0u);
  EXPECT_GE(run.boxes, 1);
  EXPECT_EQ(game.Head("Packs\\System.GPK"), "UNPATCHED");
}

// A console whose code page is not 936 must still show the Chinese lines.
TEST_F(BrisundeRunDesktopTest, ConsoleShowsTheLinesWhateverItsCodePage) {
  FreeConsole();
  ASSERT_TRUE(AllocConsole());
  ASSERT_TRUE(SetConsoleOutputCP(437));
  SECURITY_ATTRIBUTES inherit = {sizeof(inherit), nullptr, TRUE};
  UniqueHandle screen(CreateFileA("CONOUT$", GENERIC_READ | GENERIC_WRITE,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, OPEN_EXISTING, 0,
                                  nullptr));
  ASSERT_TRUE(screen.IsValid());
  HANDLE pipeRead, pipeWrite;
  ASSERT_TRUE(CreatePipe(&pipeRead, &pipeWrite, &inherit, 0));
  UniqueHandle inRead(pipeRead), inWrite(pipeWrite);
  inWrite.Close();  // standard input at end-of-file

  STARTUPINFOA startup = {};
  startup.cb = sizeof(startup);
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = inRead.Get();
  startup.hStdOutput = screen.Get();
  startup.hStdError = screen.Get();
  PROCESS_INFORMATION process = {};
  std::string commandLine = InstallerCommand();
  RemoveDirectoryA(game.Packs().c_str());
  ASSERT_TRUE(testkit::CreateProcessLosingNone([&] {
    return CreateProcessA(nullptr, &commandLine[0], nullptr, nullptr, TRUE, 0, nullptr,
                          game.Path().c_str(), &startup, &process) != 0;
  })) << testkit::StartFailure(commandLine, game.Path(), GetLastError());
  const UniqueHandle thread(process.hThread), installer(process.hProcess);
  EXPECT_EQ(WaitForSingleObject(installer.Get(), gamefolder::kColdStartMs), WAIT_OBJECT_0);
  inRead.Close();

  CONSOLE_SCREEN_BUFFER_INFO info;
  ASSERT_TRUE(GetConsoleScreenBufferInfo(screen.Get(), &info));
  std::vector<std::wstring> rows;
  for (SHORT y = 0; y < 3; ++y) {
    std::wstring row(info.dwSize.X, L' ');
    DWORD read = 0;
    ReadConsoleOutputCharacterW(screen.Get(), &row[0], info.dwSize.X, COORD{0, y}, &read);
    row.resize(row.find_last_not_of(L' ') + 1);
    rows.push_back(row);
  }
  screen.Close();
  FreeConsole();

  EXPECT_EQ(rows[0], L"正在释放汉化补丁，请稍候。。。根据不同的配置可能需要15-30分钟");
  EXPECT_EQ(rows[1], L"汉化进度.......0%");
  EXPECT_EQ(rows[2], L"注入过程中发生未知错误，汉化失败");
}

namespace {

BOOL CALLBACK CollectType(HMODULE, LPSTR type, LONG_PTR ids) {
  reinterpret_cast<std::vector<ULONG_PTR>*>(ids)->push_back(
      IS_INTRESOURCE(type) ? reinterpret_cast<ULONG_PTR>(type) : 0);
  return TRUE;
}

BOOL CALLBACK CollectName(HMODULE, LPCSTR, LPSTR name, LONG_PTR ids) {
  reinterpret_cast<std::vector<ULONG_PTR>*>(ids)->push_back(
      IS_INTRESOURCE(name) ? reinterpret_cast<ULONG_PTR>(name) : 0);
  return TRUE;
}

BOOL CALLBACK CollectLanguage(HMODULE, LPCSTR, LPCSTR, WORD language, LONG_PTR languages) {
  reinterpret_cast<std::vector<WORD>*>(languages)->push_back(language);
  return TRUE;
}

}  // namespace

// No icon and no version block: the manifest is the only resource there is.
TEST(BrisundeResourceTest, OnlyAnAsInvokerManifestInUsEnglish) {
  HMODULE module = LoadLibraryExA(BrisundePath().c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
  ASSERT_NE(module, nullptr);
  std::vector<ULONG_PTR> types, names;
  std::vector<WORD> languages;
  EnumResourceTypesA(module, CollectType, reinterpret_cast<LONG_PTR>(&types));
  EnumResourceNamesA(module, MAKEINTRESOURCEA(24), CollectName, reinterpret_cast<LONG_PTR>(&names));
  EnumResourceLanguagesA(module, MAKEINTRESOURCEA(24), MAKEINTRESOURCEA(1), CollectLanguage,
                         reinterpret_cast<LONG_PTR>(&languages));
  EXPECT_EQ(types, (std::vector<ULONG_PTR>{24}));
  EXPECT_EQ(names, (std::vector<ULONG_PTR>{1}));
  EXPECT_EQ(languages, (std::vector<WORD>{0x0409}));

  HRSRC found = FindResourceExA(module, MAKEINTRESOURCEA(24), MAKEINTRESOURCEA(1), 0x0409);
  ASSERT_NE(found, nullptr);
  const char* data = static_cast<const char*>(LockResource(LoadResource(module, found)));
  const std::string manifest(data, SizeofResource(module, found));
  EXPECT_NE(manifest.find("level=\"asInvoker\""), std::string::npos) << manifest;
  EXPECT_NE(manifest.find("uiAccess=\"false\""), std::string::npos) << manifest;
  FreeLibrary(module);
}
