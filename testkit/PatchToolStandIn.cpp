// Stands in for the outside patch tools "01.exe" to "04.exe" in tests and the
// benchmarks: copied into a game folder under a tool's name, it is called as
// "<pack> <temporary file>" and writes a sparse localised copy of the pack.
//
// A control file beside the copy, named like it with ".ctl" ("01.ctl"), changes
// what it does, one "word [number]" a line:
//   nothing     write no temporary file
//   size N      write a copy of N bytes instead of the localised size
//   sleep MS    take MS milliseconds before writing
//   hold MS     after exiting, a child keeps the copy open for MS milliseconds
//   exit N      exit with code N
//   crash N     write the first N bytes of the copy, then die of an access
//               violation with the copy still open
//   hang N      write the first N bytes of the copy, record the process id in
//               "<name>.pid" beside the copy ("01.pid"), then wait for ever with
//               the copy open; the file appears only once the bytes are written
// Every run appends one tab-separated line to "standin.log" beside the copy:
// tool name, parameter string, working directory, whether the pack could be
// opened for reading, and for writing, the show command it was started with,
// and whether the temporary file already existed ("copy" or "nocopy").
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "CapturedProcess.h"
#include "UniqueHandle.h"

namespace {

struct LocalisedPack {
  const char* name;
  LONGLONG size;
};

const LocalisedPack kLocalisedPacks[] = {
    {"System.GPK", 1920111811LL},
    {"Event02.GPK", 1596877503LL},
    {"Event03.GPK", 1988620516LL},
    {"Event04.GPK", 1913208630LL},
};

const char kMarker[] = "LOCALISED";

struct Behaviour {
  bool write = true;
  LONGLONG size = -1;
  DWORD sleepMs = 0;
  DWORD holdMs = 0;
  int exitCode = 0;
  LONGLONG crashAfter = -1;
  LONGLONG hangAfter = -1;
};

void ReadBehaviour(const char* controlPath, Behaviour* behaviour) {
  FILE* control = std::fopen(controlPath, "r");
  if (control == nullptr) return;
  char word[32];
  long long number = 0;
  char line[128];
  while (std::fgets(line, sizeof(line), control) != nullptr) {
    number = 0;
    if (std::sscanf(line, "%31s %lld", word, &number) < 1) continue;
    if (std::strcmp(word, "nothing") == 0) behaviour->write = false;
    if (std::strcmp(word, "size") == 0) behaviour->size = number;
    if (std::strcmp(word, "sleep") == 0) behaviour->sleepMs = static_cast<DWORD>(number);
    if (std::strcmp(word, "hold") == 0) behaviour->holdMs = static_cast<DWORD>(number);
    if (std::strcmp(word, "exit") == 0) behaviour->exitCode = static_cast<int>(number);
    if (std::strcmp(word, "crash") == 0) behaviour->crashAfter = number;
    if (std::strcmp(word, "hang") == 0) behaviour->hangAfter = number;
  }
  std::fclose(control);
}

LONGLONG LocalisedSizeOf(const char* packPath) {
  const char* name = std::strrchr(packPath, '\\');
  name = name != nullptr ? name + 1 : packPath;
  for (const LocalisedPack& pack : kLocalisedPacks) {
    if (_stricmp(name, pack.name) == 0) return pack.size;
  }
  return -1;
}

// The command line as the tool received it, without the program's own name.
const char* ParameterString() {
  const char* p = GetCommandLineA();
  if (*p == '"') {
    ++p;
    while (*p != '\0' && *p != '"') ++p;
    if (*p == '"') ++p;
  } else {
    while (*p != '\0' && *p != ' ' && *p != '\t') ++p;
  }
  while (*p == ' ' || *p == '\t') ++p;
  return p;
}

// The marker and then zeros up to size, left open; none when the copy cannot
// be written.
UniqueHandle OpenCopy(const char* path, LONGLONG size) {
  UniqueHandle file(
      CreateFileA(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file.IsValid()) return file;
  DWORD written = 0;
  bool ok = WriteFile(file.Get(), kMarker, sizeof(kMarker) - 1, &written, nullptr) != 0;
  LARGE_INTEGER end;
  end.QuadPart = size;
  ok = ok && SetFilePointerEx(file.Get(), end, nullptr, FILE_BEGIN) && SetEndOfFile(file.Get());
  if (!ok) file.Close();
  return file;
}

bool WriteCopy(const char* path, LONGLONG size) { return OpenCopy(path, size).IsValid(); }

// Wine ignores SEM_NOGPFAULTERRORBOX and starts its debugger, whose crash
// dialog would keep the process (and the installer waiting for it) alive. Ending
// the process with the exception's code is what Windows does without the box.
LONG WINAPI EndWithoutDebugger(EXCEPTION_POINTERS*) { return EXCEPTION_EXECUTE_HANDLER; }

[[noreturn]] void Crash() {
  SetErrorMode(SEM_NOGPFAULTERRORBOX);
  SetUnhandledExceptionFilter(EndWithoutDebugger);
  // Through a volatile pointer, which the compiler cannot know is null, so the store stays a store.
  volatile int* volatile nowhere = nullptr;
  *nowhere = 1;
  std::abort();
}

void RecordProcessId(const char* path) {
  char text[32];
  const int length = std::snprintf(text, sizeof(text), "%lu", GetCurrentProcessId());
  const UniqueHandle file(
      CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS, 0, nullptr));
  if (!file.IsValid()) return;
  DWORD written = 0;
  WriteFile(file.Get(), text, static_cast<DWORD>(length), &written, nullptr);
}

// Child mode: "--hold <file> <ms> <event>" keeps <file> open after the tool
// itself has ended, as a lingering child of a real tool might.
int Hold(char** argv) {
  const UniqueHandle file(
      CreateFileA(argv[2], GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
  if (const UniqueHandle opened(OpenEventA(EVENT_MODIFY_STATE, FALSE, argv[4])); opened.IsValid()) {
    SetEvent(opened.Get());
  }
  Sleep(static_cast<DWORD>(std::strtoul(argv[3], nullptr, 10)));
  return 0;
}

void StartHolder(const char* self, const char* path, DWORD holdMs) {
  char eventName[64];
  std::snprintf(eventName, sizeof(eventName), "PatchToolStandInHold%lu", GetCurrentProcessId());
  const UniqueHandle opened(CreateEventA(nullptr, TRUE, FALSE, eventName));
  char commandLine[3 * MAX_PATH];
  std::snprintf(commandLine, sizeof(commandLine), "\"%s\" --hold \"%s\" %lu %s", self, path,
                holdMs, eventName);
  STARTUPINFOA startup = {};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION process = {};
  // Detached, so that the holder keeps no console or output pipe of ours open.
  if (testkit::CreateProcessLosingNone([&] {
        return CreateProcessA(self, commandLine, nullptr, nullptr, FALSE, DETACHED_PROCESS, nullptr,
                              nullptr, &startup, &process) != 0;
      })) {
    const UniqueHandle thread(process.hThread), holder(process.hProcess);
    // Its first start in a new prefix on a busy machine can take half a minute.
    if (WaitForSingleObject(opened.Get(), 60000) != WAIT_OBJECT_0) {
      std::printf("[stand-in] its holder did not open the copy within a minute\n");
    }
  } else {
    std::printf("[stand-in] %s\n", testkit::StartFailure(commandLine, "", GetLastError()).c_str());
  }
  std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 5 && std::strcmp(argv[1], "--hold") == 0) return Hold(argv);

  char self[MAX_PATH];
  GetModuleFileNameA(nullptr, self, sizeof(self));
  char* name = std::strrchr(self, '\\') + 1;
  char folder[MAX_PATH];
  std::snprintf(folder, sizeof(folder), "%.*s", static_cast<int>(name - self), self);
  char baseName[MAX_PATH];
  std::snprintf(baseName, sizeof(baseName), "%s", name);
  if (char* dot = std::strrchr(baseName, '.')) *dot = '\0';

  char controlPath[MAX_PATH];
  std::snprintf(controlPath, sizeof(controlPath), "%s%s.ctl", folder, baseName);
  Behaviour behaviour;
  ReadBehaviour(controlPath, &behaviour);

  std::printf("[%s] %s\n", name, ParameterString());
  std::fflush(stdout);

  const char* packPath = argc > 1 ? argv[1] : "";
  const char* copyPath = argc > 2 ? argv[2] : "";

  // The installer must hold the pack shared for reading only: opening it for
  // writing has to fail while a tool runs.
  bool packWritable;
  {
    const UniqueHandle forWriting(
        CreateFileA(packPath, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, 0, nullptr));
    packWritable = forWriting.IsValid();
  }
  // Held until the tool ends.
  const UniqueHandle pack(
      CreateFileA(packPath, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
  const bool packReadable = pack.IsValid();

  STARTUPINFOA startup = {};
  startup.cb = sizeof(startup);
  GetStartupInfoA(&startup);
  char show[16] = "default";
  if (startup.dwFlags & STARTF_USESHOWWINDOW) {
    std::snprintf(show, sizeof(show), "%u", static_cast<unsigned>(startup.wShowWindow));
  }
  char directory[MAX_PATH];
  GetCurrentDirectoryA(sizeof(directory), directory);

  const bool copyExisted = GetFileAttributesA(copyPath) != INVALID_FILE_ATTRIBUTES;

  char logLine[4 * MAX_PATH];
  const int length = std::snprintf(
      logLine, sizeof(logLine), "%s\t%s\t%s\t%s\t%s\t%s\t%s\r\n", name, ParameterString(),
      directory, packReadable ? "read" : "noread", packWritable ? "write" : "nowrite", show,
      copyExisted ? "copy" : "nocopy");
  char logPath[MAX_PATH];
  std::snprintf(logPath, sizeof(logPath), "%sstandin.log", folder);
  {
    const UniqueHandle log(CreateFileA(logPath, FILE_APPEND_DATA,
                                       FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS, 0,
                                       nullptr));
    DWORD written = 0;
    if (log.IsValid()) WriteFile(log.Get(), logLine, static_cast<DWORD>(length), &written, nullptr);
  }

  Sleep(behaviour.sleepMs);
  // The copy stays open as the process dies or hangs.
  if (behaviour.crashAfter >= 0) {
    const UniqueHandle copy = OpenCopy(copyPath, behaviour.crashAfter);
    Crash();
  }
  if (behaviour.hangAfter >= 0) {
    const UniqueHandle copy = OpenCopy(copyPath, behaviour.hangAfter);
    char pidPath[MAX_PATH];
    std::snprintf(pidPath, sizeof(pidPath), "%s%s.pid", folder, baseName);
    RecordProcessId(pidPath);
    Sleep(INFINITE);
  }
  const LONGLONG size = behaviour.size >= 0 ? behaviour.size : LocalisedSizeOf(packPath);
  if (packReadable && behaviour.write && size >= 0 && WriteCopy(copyPath, size) &&
      behaviour.holdMs > 0) {
    StartHolder(self, copyPath, behaviour.holdMs);
  }
  return behaviour.exitCode;
}
