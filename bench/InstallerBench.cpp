#include "InstallerBench.h"

#include <psapi.h>

#include <cstdio>

#include "CapturedProcess.h"

namespace bench {

ConsoleRun RunToEnd(const std::string& commandLine, const std::string& directory) {
  ConsoleRun run;
  testkit::PipedProcess piped;
  run.started = testkit::StartPiped(commandLine, directory, CREATE_NO_WINDOW,
                                    /*holdInput=*/false, &piped);
  if (!run.started) {
    run.startError = testkit::StartFailure(commandLine, directory, piped.error);
    return run;
  }
  testkit::DrainPipe(piped.output, &run.output);
  WaitForSingleObject(piped.process.hProcess, INFINITE);
  GetExitCodeProcess(piped.process.hProcess, &run.exitCode);
  CloseHandle(piped.process.hThread);
  CloseHandle(piped.process.hProcess);
  CloseHandle(piped.output);
  return run;
}

HeldConsole::HeldConsole(const std::string& commandLine, const std::string& directory) {
  testkit::PipedProcess piped;
  if (!testkit::StartPiped(commandLine, directory, CREATE_NO_WINDOW, /*holdInput=*/true, &piped)) {
    std::fprintf(stderr, "%s\n", testkit::StartFailure(commandLine, directory, piped.error).c_str());
    return;
  }
  CloseHandle(piped.process.hThread);
  process_ = piped.process.hProcess;
  input_ = piped.input;
  output_pipe_ = piped.output;
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
    testkit::DrainPipe(output_pipe_, &output_);
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
    testkit::DrainPipe(output_pipe_, &output_);
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
