#include "InstallerBench.h"

#include <psapi.h>

#include <algorithm>

namespace bench {

double Median(std::vector<double> values) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  const size_t middle = values.size() / 2;
  return values.size() % 2 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

double Seconds(const LARGE_INTEGER& from, const LARGE_INTEGER& to) {
  LARGE_INTEGER frequency;
  QueryPerformanceFrequency(&frequency);
  return double(to.QuadPart - from.QuadPart) / double(frequency.QuadPart);
}

std::string WindowsPath(const char* path) {
  std::string result = path[0] == '/' ? std::string("Z:") + path : std::string(path);
  std::replace(result.begin(), result.end(), '/', '\\');
  return result;
}

namespace {

struct Pipes {
  HANDLE inRead = nullptr, inWrite = nullptr, outRead = nullptr, outWrite = nullptr;
};

// Only the child's ends are inheritable, so the pipe ends when the child's side
// of it does, not when some other child of ours does.
bool CreatePipes(Pipes* pipes) {
  SECURITY_ATTRIBUTES inherit = {sizeof(inherit), nullptr, TRUE};
  if (!CreatePipe(&pipes->inRead, &pipes->inWrite, &inherit, 0)) return false;
  if (!CreatePipe(&pipes->outRead, &pipes->outWrite, &inherit, 0)) {
    CloseHandle(pipes->inRead);
    CloseHandle(pipes->inWrite);
    return false;
  }
  SetHandleInformation(pipes->inWrite, HANDLE_FLAG_INHERIT, 0);
  SetHandleInformation(pipes->outRead, HANDLE_FLAG_INHERIT, 0);
  return true;
}

// The child's ends are closed here whatever happens, so that only the child
// holds them.
bool Start(const std::string& commandLine, const std::string& directory, Pipes* pipes,
           PROCESS_INFORMATION* process) {
  STARTUPINFOA startup = {};
  startup.cb = sizeof(startup);
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = pipes->inRead;
  startup.hStdOutput = pipes->outWrite;
  startup.hStdError = pipes->outWrite;
  std::string line = commandLine;
  const BOOL started = CreateProcessA(nullptr, &line[0], nullptr, nullptr, TRUE, CREATE_NO_WINDOW,
                                      nullptr, directory.c_str(), &startup, process);
  CloseHandle(pipes->inRead);
  CloseHandle(pipes->outWrite);
  return started != 0;
}

}  // namespace

ConsoleRun RunToEnd(const std::string& commandLine, const std::string& directory) {
  ConsoleRun run;
  Pipes pipes;
  if (!CreatePipes(&pipes)) return run;
  CloseHandle(pipes.inWrite);
  PROCESS_INFORMATION process = {};
  run.started = Start(commandLine, directory, &pipes, &process);
  if (run.started) {
    char buffer[4096];
    DWORD read = 0;
    while (ReadFile(pipes.outRead, buffer, sizeof(buffer), &read, nullptr) && read > 0) {
      run.output.append(buffer, read);
    }
    WaitForSingleObject(process.hProcess, INFINITE);
    GetExitCodeProcess(process.hProcess, &run.exitCode);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
  }
  CloseHandle(pipes.outRead);
  return run;
}

HeldConsole::HeldConsole(const std::string& commandLine, const std::string& directory) {
  Pipes pipes;
  if (!CreatePipes(&pipes)) return;
  PROCESS_INFORMATION process = {};
  if (!Start(commandLine, directory, &pipes, &process)) {
    CloseHandle(pipes.inWrite);
    CloseHandle(pipes.outRead);
    return;
  }
  CloseHandle(process.hThread);
  process_ = process.hProcess;
  input_ = pipes.inWrite;
  output_pipe_ = pipes.outRead;
}

HeldConsole::~HeldConsole() {
  if (process_ == nullptr) return;
  Release();
  CloseHandle(process_);
}

// False once every writer has closed the pipe; what they left in it is read first.
bool HeldConsole::ReadAvailable() {
  DWORD available = 0;
  if (!PeekNamedPipe(output_pipe_, nullptr, 0, nullptr, &available, nullptr)) {
    char buffer[4096];
    DWORD read = 0;
    while (ReadFile(output_pipe_, buffer, sizeof(buffer), &read, nullptr) && read > 0) {
      output_.append(buffer, read);
    }
    return false;
  }
  if (available == 0) return true;
  std::string buffer(available, '\0');
  DWORD read = 0;
  if (!ReadFile(output_pipe_, &buffer[0], available, &read, nullptr)) return false;
  output_.append(buffer, 0, read);
  return true;
}

bool HeldConsole::PassedLine(const std::string& text) const {
  const size_t at = output_.find(text);
  const size_t end = at == std::string::npos ? at : output_.find('\n', at + text.size());
  return end != std::string::npos && output_.size() > end + 1;
}

bool HeldConsole::WaitPastLine(const std::string& text, DWORD timeoutMs) {
  if (process_ == nullptr) return false;
  const ULONGLONG deadline = GetTickCount64() + timeoutMs;
  for (;;) {
    if (PassedLine(text)) return true;
    if (!ReadAvailable()) return PassedLine(text);
    if (GetTickCount64() > deadline) return false;
    Sleep(5);
  }
}

bool HeldConsole::Running() const {
  return process_ != nullptr && WaitForSingleObject(process_, 0) == WAIT_TIMEOUT;
}

bool HeldConsole::QueryPeakMemory(PeakMemory* peak) const {
  PROCESS_MEMORY_COUNTERS counters = {};
  counters.cb = sizeof(counters);
  if (process_ == nullptr || !GetProcessMemoryInfo(process_, &counters, sizeof(counters))) {
    return false;
  }
  peak->workingSet = counters.PeakWorkingSetSize;
  peak->pagefile = counters.PeakPagefileUsage;
  return true;
}

DWORD HeldConsole::Release() {
  if (input_ != nullptr) {
    CloseHandle(input_);
    input_ = nullptr;
  }
  if (output_pipe_ != nullptr) {
    char buffer[4096];
    DWORD read = 0;
    while (ReadFile(output_pipe_, buffer, sizeof(buffer), &read, nullptr) && read > 0) {
      output_.append(buffer, read);
    }
    CloseHandle(output_pipe_);
    output_pipe_ = nullptr;
  }
  DWORD exitCode = 0xFFFFFFFF;
  if (process_ != nullptr) {
    WaitForSingleObject(process_, INFINITE);
    GetExitCodeProcess(process_, &exitCode);
  }
  return exitCode;
}

bool LayOutLocalisedGame(const gamefolder::GameFolder& game) {
  for (const PackStep& step : kPackSteps) {
    if (!game.MakeFile(step.pack, step.localisedSize, "LOCALISED")) return false;
  }
  // Only its presence counts; no tool is started when every pack is localised.
  return gamefolder::WriteText(game.File(kEventPacksGate), "");
}

bool LayOutStep1Patch(const gamefolder::GameFolder& game, const std::string& toolPath) {
  const PackStep& step = kPackSteps[0];
  for (int i = 0; i < step.patchableCount; ++i) {
    if (std::string(step.patchable[i].tool) != "01.exe") continue;
    return game.MakeFile(step.pack, step.patchable[i].size) &&
           CopyFileA(toolPath.c_str(), game.File("01.exe").c_str(), FALSE);
  }
  return false;
}

const PackStep kSmallStep = {
    "Packs\\Small.GPK", 1LL << 20, {{(1LL << 20) - 4096, "small.exe"}}, 1,
    "Packs\\Small.GPK Packs\\small.tmp", "Packs\\small.tmp", false};

bool PrepareReplace(const gamefolder::GameFolder& game, const PackStep& step) {
  return step.patchableCount > 0 && game.MakeFile(step.pack, step.patchable[0].size) &&
         game.MakeFile(step.tempFile, step.localisedSize, "LOCALISED");
}

}  // namespace bench
