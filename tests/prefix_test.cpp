// The prefix each test ran in is the Windows it is named after: in win64 the
// 32-bit programs run under WoW64, with 64-bit Windows' folders, file system
// redirection and registry views; in win32 there is none of that; in x64 the
// 64-bit twins run natively on 64-bit Windows. A Wine that cannot make a
// 64-bit prefix quietly makes a 32-bit one, which this catches.
#include <gtest/gtest.h>

#include <windows.h>

#include <string>

#include "UniqueHandle.h"

namespace {

std::string Arch() {
  char arch[16] = {};
  GetEnvironmentVariableA("WINE_ARCH", arch, sizeof(arch));
  return arch;
}

std::string Lower(std::string text) {
  CharLowerBuffA(&text[0], static_cast<DWORD>(text.size()));
  return text;
}

// The machine field of a PE file's header, 0 when it cannot be read.
WORD PeMachine(const std::string& path) {
  const UniqueHandle file(
      CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
  if (!file.IsValid()) return 0;
  BYTE head[4096] = {};
  DWORD read = 0;
  ReadFile(file.Get(), head, sizeof(head), &read, nullptr);
  if (read < 0x40) return 0;
  const DWORD pe = *reinterpret_cast<const DWORD*>(head + 0x3C);
  if (pe + 6 > read || memcmp(head + pe, "PE\0\0", 4) != 0) return 0;
  return *reinterpret_cast<const WORD*>(head + pe + 4);
}

std::string SystemDll(const char* name) {
  char folder[MAX_PATH] = {};
  GetSystemDirectoryA(folder, MAX_PATH);
  return std::string(folder) + "\\" + name;
}

// The prefix's Windows and how this program runs on it.
struct Expected {
  bool windows64;  // 64-bit Windows: a SysWOW64 folder and two registry views
  bool wow64;      // a 32-bit program on 64-bit Windows
};

Expected ForArch(const std::string& arch) { return {arch != "win32", arch == "win64"}; }

TEST(PrefixTest, IsTheWindowsItIsNamedAfter) {
  const std::string arch = Arch();
  ASSERT_TRUE(arch == "win32" || arch == "win64" || arch == "x64")
      << "WINE_ARCH is '" << arch << "'";
  const Expected expected = ForArch(arch);
  // The twins are built for x64 only, the shipped programs for x86 only.
  EXPECT_EQ(arch == "x64" ? 8u : 4u, sizeof(void*));

  BOOL wow64 = FALSE;
  ASSERT_TRUE(IsWow64Process(GetCurrentProcess(), &wow64));
  EXPECT_EQ(expected.wow64, wow64 != FALSE);

  char wowFolder[MAX_PATH] = {};
  const UINT length = GetSystemWow64DirectoryA(wowFolder, MAX_PATH);
  if (expected.windows64) {
    EXPECT_EQ("c:\\windows\\syswow64", Lower(std::string(wowFolder, length)));
  } else {
    EXPECT_EQ(0u, length);
  }

  char programFiles[MAX_PATH] = {};
  GetEnvironmentVariableA("ProgramFiles", programFiles, MAX_PATH);
  EXPECT_EQ(expected.wow64 ? "c:\\program files (x86)" : "c:\\program files", Lower(programFiles));
}

// A program asking for system32 gets the DLLs of its own size: for a 32-bit
// program on 64-bit Windows they live in SysWOW64; the loader of the
// installer's shell32 relies on it.
TEST(PrefixTest, System32HoldsTheDllsOfThisProgramsSize) {
  const WORD own = sizeof(void*) == 8 ? IMAGE_FILE_MACHINE_AMD64 : IMAGE_FILE_MACHINE_I386;
  EXPECT_EQ(own, PeMachine(SystemDll("shell32.dll")));
  if (!ForArch(Arch()).wow64) return;
  PVOID redirection = nullptr;
  ASSERT_TRUE(Wow64DisableWow64FsRedirection(&redirection));
  const WORD native = PeMachine(SystemDll("shell32.dll"));
  Wow64RevertWow64FsRedirection(redirection);
  EXPECT_EQ(IMAGE_FILE_MACHINE_AMD64, native);
}

// HKEY_LOCAL_MACHINE\Software has a 32-bit view of its own on 64-bit Windows.
TEST(PrefixTest, RegistryHasTwoViewsOnlyOn64BitWindows) {
  HKEY key = nullptr;
  const LONG status = RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\Wow6432Node", 0,
                                    KEY_READ | KEY_WOW64_64KEY, &key);
  if (key) RegCloseKey(key);
  EXPECT_EQ(ForArch(Arch()).windows64, status == ERROR_SUCCESS) << status;
}

}  // namespace
