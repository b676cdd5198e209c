#pragma once

// What the real Brisunde.exe must print, derived apart from the installer's own
// texts, and a way to run it (or anything else) with its output captured.
// Needs BRISUNDE_EXE, the installer's path on the build machine.
#include <windows.h>

#include <ostream>
#include <string>

#include "CapturedProcess.h"
#include "GameFolder.h"
#include "PackSizes.h"
#include "WinePath.h"

namespace brisunde {

// The console lines in GBK, as iconv gives them, kept apart from the installer's texts.
const std::string kGreeting =
    "\xd5\xfd\xd4\xda\xca\xcd\xb7\xc5\xba\xba\xbb\xaf\xb2\xb9\xb6\xa1\xa3\xac\xc7\xeb\xc9\xd4\xba"
    "\xf2\xa1\xa3\xa1\xa3\xa1\xa3\xb8\xf9\xbe\xdd\xb2\xbb\xcd\xac\xb5\xc4\xc5\xe4\xd6\xc3\xbf\xc9"
    "\xc4\xdc\xd0\xe8\xd2\xaa"
    "15-30"
    "\xb7\xd6\xd6\xd3\r\n";
const std::string kProgress = "\xba\xba\xbb\xaf\xbd\xf8\xb6\xc8.......";
const std::string k0 = kProgress + "0%\r\n";
const std::string k25 = kProgress + "25%\r\n";
const std::string k50 = kProgress + "50%\r\n";
const std::string k75 = kProgress + "75%\r\n";
const std::string kDone = kProgress + "100%\xa3\xac\xd7\xa2\xc8\xeb\xcd\xea\xb3\xc9\r\n";
const std::string kFailed =
    "\xd7\xa2\xc8\xeb\xb9\xfd\xb3\xcc\xd6\xd0\xb7\xa2\xc9\xfa\xce\xb4\xd6\xaa\xb4\xed\xce\xf3\xa3"
    "\xac\xba\xba\xbb\xaf\xca\xa7\xb0\xdc\r\n";

// What each stand-in tool prints when it starts.
const std::string kTool01 = "[01.exe] Packs\\System.GPK Packs\\01.tmp\r\n";
const std::string kTool02 = "[02.exe] Packs\\Event02.GPK Packs\\02.tmp\r\n";
const std::string kTool03 = "[03.exe] Packs\\Event03.GPK Packs\\03.tmp\r\n";
const std::string kTool04 = "[04.exe] Packs\\Event04.GPK Packs\\04.tmp\r\n";

inline std::string BrisundePath() { return testkit::WinePath(BRISUNDE_EXE); }

using testkit::CapturedProcess;

struct RunResult {
  std::string output;
  DWORD exitCode = 0xFFFFFFFF;  // 259 (STILL_ACTIVE) while it runs
  int boxes = 0;
  bool ended = false;  // the program ended and nothing it started holds its output
  std::string stillRunning;  // when not ended: what ran on in its job at the bound
  std::string startError;    // when it could not start: why
};

inline std::ostream& operator<<(std::ostream& out, const RunResult& run) {
  if (!run.startError.empty()) return out << run.startError;
  return out << "exit code " << run.exitCode << " (259 would be still running), " << run.boxes
             << " box(es) dismissed, still running in its job: " << run.stillRunning;
}

// Runs commandLine in directory to its end, pressing OK on any box it shows.
// A run that does not end within a minute is ended, and says so.
inline RunResult RunCaptured(const std::string& commandLine, const std::string& directory) {
  RunResult run;
  CapturedProcess process(commandLine, directory);
  if (!process.Started()) {
    run.startError = process.StartError();
    return run;
  }
  gamefolder::BoxDismisser dismisser(process.Id());
  process.Resume();
  run.ended = process.Wait(gamefolder::kColdStartMs);
  run.boxes = dismisser.Dismissed();
  run.exitCode = process.ExitCode();
  if (!run.ended) {
    for (const std::string& path : process.Processes()) {
      run.stillRunning += (run.stillRunning.empty() ? "" : ", ") + path;
    }
    if (run.stillRunning.empty()) run.stillRunning = "nothing";
    return run;
  }
  run.output = process.Output();
  return run;
}

// The command processor's own prompt, in whatever language the system speaks.
inline const std::string& PausePrompt() {
  static const std::string prompt = RunCaptured("cmd.exe /c pause", ".").output;
  return prompt;
}

inline std::string InstallerCommand() { return "\"" + BrisundePath() + "\""; }

}  // namespace brisunde
