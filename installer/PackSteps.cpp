#include "PackSteps.h"

#include <shellapi.h>

#include <cstdio>
#include <cstring>

#include "UniqueHandle.h"

#ifndef _WIN64
static_assert(sizeof(SHELLEXECUTEINFOA) == 60, "the 32-bit layout the shell expects");
#endif
static_assert((SEE_MASK_NOCLOSEPROCESS | SEE_MASK_NO_CONSOLE) == 0x8040,
              "process handle, shared console");

namespace {

bool ReadFileSize(const char* path, LONGLONG* size) {
  UniqueHandle file(CreateFileA(path, GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
  if (!file.IsValid()) return false;
  LARGE_INTEGER value;
  if (!GetFileSizeEx(file.Get(), &value)) return false;
  *size = value.QuadPart;
  return true;
}

using ShellExecuteExFunction = BOOL(WINAPI*)(SHELLEXECUTEINFOA*);

// Loading shell32 takes about a quarter of a run that starts no tool (under
// Wine), so it waits until a tool has to start. It is named by its full path
// because the working directory is the game folder, whose DLLs are not ours.
ShellExecuteExFunction LoadShellExecuteEx() {
  static const char kName[] = "\\shell32.dll";
  char path[MAX_PATH];
  const UINT length = GetSystemDirectoryA(path, MAX_PATH);
  if (length == 0 || length + sizeof(kName) > sizeof(path)) return nullptr;
  std::memcpy(path + length, kName, sizeof(kName));
  // Never freed: ShellExecuteEx may leave threads of its own running in it.
  const HMODULE shell = LoadLibraryA(path);
  if (shell == nullptr) return nullptr;
  return reinterpret_cast<ShellExecuteExFunction>(
      reinterpret_cast<void (*)()>(GetProcAddress(shell, "ShellExecuteExA")));
}

// False when the copy is absent or held open; a copy of any other size than the
// localised one is deleted.
bool CopyIsWhole(const PackStep& step) {
  // Absent, or still held open by the tool or a child of it.
  if (!FileExists(step.tempFile)) return false;

  LONGLONG size = 0;
  if (!ReadFileSize(step.tempFile, &size)) return false;
  if (size != step.localisedSize) {
    // A tool that stopped half-way must not cost the user the pack.
    DeleteFileA(step.tempFile);
    return false;
  }
  return true;
}

bool IsReadOnly(const char* path) {
  const DWORD attributes = GetFileAttributesA(path);
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) != 0;
}

}  // namespace

PackState DecidePackState(const PackStep& step, LONGLONG size, const char** tool) {
  if (size == step.localisedSize) return PackState::Localised;
  for (int i = 0; i < step.patchableCount; ++i) {
    if (size == step.patchable[i].size) {
      *tool = step.patchable[i].tool;
      return PackState::Patchable;
    }
  }
  return PackState::Unrecognised;
}

bool FileExists(const char* path) {
  UniqueHandle file(CreateFileA(path, GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
  return file.IsValid();
}

bool RunToolAndWait(const char* tool, const char* parameters) {
  // A bare name would let the shell fall back to the search path and registered
  // application paths and run some other program of that name.
  char file[MAX_PATH];
  const int length = std::snprintf(file, sizeof(file), ".\\%s", tool);
  if (length < 0 || length >= static_cast<int>(sizeof(file))) return false;

  SHELLEXECUTEINFOA info;
  ZeroMemory(&info, sizeof(info));
  info.cbSize = sizeof(info);
  info.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_NO_CONSOLE;
  info.lpVerb = "open";
  info.lpFile = file;
  info.lpParameters = parameters;
  info.nShow = SW_HIDE;
  const ShellExecuteExFunction shellExecuteEx = LoadShellExecuteEx();
  if (shellExecuteEx == nullptr || !shellExecuteEx(&info)) return false;

  // The tool's exit code says nothing reliable; its copy is judged by ReplacePack.
  const UniqueHandle process(info.hProcess);
  if (process.IsValid()) WaitForSingleObject(process.Get(), INFINITE);
  return true;
}

bool PatchPack(const PackStep& step, bool* toolRan) {
  *toolRan = false;
  UniqueHandle pack(CreateFileA(step.pack, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                          FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!pack.IsValid()) return false;

  LARGE_INTEGER size;
  if (!GetFileSizeEx(pack.Get(), &size)) return false;

  const char* tool = nullptr;
  switch (DecidePackState(step, size.QuadPart, &tool)) {
    case PackState::Localised:
      return true;
    case PackState::Unrecognised:
      return false;
    case PackState::Patchable:
      break;
  }

  // Held open, shared for reading only, for the whole run of the tool: it can
  // read the pack, but nothing can open it for writing meanwhile.
  *toolRan = RunToolAndWait(tool, step.toolParameters);
  return *toolRan;
}

bool ReplacePack(const PackStep& step, int moveAttempts) {
  if (!CopyIsWhole(step)) return false;

  // The user's read-only mark on a pack stands. Windows refuses to move over it
  // anyway, but Wine replaces it, and no wait makes the mark go away.
  if (IsReadOnly(step.pack)) return false;

  if (!step.retryMove) return MoveFileExA(step.tempFile, step.pack, MOVEFILE_REPLACE_EXISTING) != 0;

  // Something (a virus scanner, the tool's last child) may still hold the pack
  // for a moment after the tool ends.
  for (int attempt = 0; attempt < moveAttempts; ++attempt) {
    Sleep(kMoveRetryWaitMs);
    // Meanwhile a second installer may have deleted the copy, or rewritten it
    // with a tool that was stopped half-way: only a copy checked just now may go
    // over the pack.
    if (!CopyIsWhole(step)) return false;
    if (MoveFileExA(step.tempFile, step.pack, MOVEFILE_REPLACE_EXISTING)) return true;
  }
  return false;
}

bool RunPackStep(const PackStep& step, int moveAttempts) {
  bool toolRan = false;
  if (!PatchPack(step, &toolRan)) return false;
  return !toolRan || ReplacePack(step, moveAttempts);
}
