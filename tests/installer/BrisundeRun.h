#pragma once

// What the real Brisunde.exe must print, derived apart from the installer's own
// texts, and a way to run it (or anything else) with its output captured.
// Needs BRISUNDE_EXE, the installer's path on the build machine.
#include <windows.h>

#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "GameFolder.h"
#include "PackSizes.h"

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

inline std::string BrisundePath() {
  std::string path = "Z:" BRISUNDE_EXE;
  for (char& c : path) {
    if (c == '/') c = '\\';
  }
  return path;
}

// A program started with standard output and error on one pipe, read on a
// thread, and standard input at end-of-file. It and everything it starts run
// in one job, so that a test can end all of it, and nothing outlives the object:
// a hung tool or a crash dialog fails a case instead of hanging the whole run.
class CapturedProcess {
 public:
  // Created suspended, so that several can be let go at the same moment.
  CapturedProcess(const std::string& commandLine, const std::string& directory) {
    // Wine starts the desktop's own process when something first needs the
    // desktop, from that process and with its standard error. Were that the
    // program's first box, the desktop process would join the job and hold
    // the output pipe open for as long as this test runs. On Windows the
    // desktop is there before any program starts; here the test makes it so.
    GetDesktopWindow();
    job_ = CreateJobObjectA(nullptr, nullptr);
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    SetInformationJobObject(job_, JobObjectExtendedLimitInformation, &limits, sizeof(limits));

    SECURITY_ATTRIBUTES inherit = {sizeof(inherit), nullptr, TRUE};
    HANDLE outWrite, inRead, inWrite;
    if (!CreatePipe(&outRead_, &outWrite, &inherit, 0)) return;
    if (!CreatePipe(&inRead, &inWrite, &inherit, 0)) {
      CloseHandle(outWrite);
      return;
    }
    SetHandleInformation(outRead_, HANDLE_FLAG_INHERIT, 0);
    CloseHandle(inWrite);

    STARTUPINFOA startup = {};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = inRead;
    startup.hStdOutput = outWrite;
    startup.hStdError = outWrite;
    std::string line = commandLine;
    started_ = CreateProcessA(nullptr, &line[0], nullptr, nullptr, TRUE,
                              CREATE_NO_WINDOW | CREATE_SUSPENDED, nullptr, directory.c_str(),
                              &startup, &process_) != 0;
    CloseHandle(outWrite);
    CloseHandle(inRead);
    if (!started_) return;
    AssignProcessToJobObject(job_, process_.hProcess);
    readDone_ = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    reader_ = std::thread([this] {
      char buffer[4096];
      DWORD read = 0;
      while (ReadFile(outRead_, buffer, sizeof(buffer), &read, nullptr) && read > 0) {
        output_.append(buffer, read);
      }
      SetEvent(readDone_);
    });
  }

  ~CapturedProcess() {
    if (started_) {
      TerminateJobObject(job_, 1);
      if (reader_.joinable()) reader_.join();
      CloseHandle(readDone_);
      CloseHandle(process_.hThread);
      CloseHandle(process_.hProcess);
    }
    if (outRead_ != nullptr) CloseHandle(outRead_);
    CloseHandle(job_);
  }
  CapturedProcess(const CapturedProcess&) = delete;
  CapturedProcess& operator=(const CapturedProcess&) = delete;

  bool Started() const { return started_; }
  DWORD Id() const { return process_.dwProcessId; }
  void Resume() { ResumeThread(process_.hThread); }

  // Until the program has ended and every writer has closed the pipe; false
  // when that takes longer than milliseconds.
  bool Wait(DWORD milliseconds) {
    if (!started_) return false;
    const HANDLE ends[] = {process_.hProcess, readDone_};
    if (WaitForMultipleObjects(2, ends, TRUE, milliseconds) != WAIT_OBJECT_0) return false;
    if (reader_.joinable()) reader_.join();
    return true;
  }

  // The program alone, as a user's kill would; what it started runs on.
  void Kill() { TerminateProcess(process_.hProcess, 1); }
  // The program and everything it started.
  void KillAll() { TerminateJobObject(job_, 1); }

  // The image paths of the processes now running in the job: the program and
  // whatever it started ("?" for one that cannot be asked).
  std::vector<std::string> Processes() const {
    struct {
      JOBOBJECT_BASIC_PROCESS_ID_LIST list;
      ULONG_PTR more[63];
    } ids = {};
    ids.list.NumberOfAssignedProcesses = 64;
    std::vector<std::string> paths;
    if (!QueryInformationJobObject(job_, JobObjectBasicProcessIdList, &ids, sizeof(ids), nullptr)) {
      return paths;
    }
    for (DWORD i = 0; i < ids.list.NumberOfProcessIdsInList && i < 64; ++i) {
      const DWORD id = static_cast<DWORD>(ids.list.ProcessIdList[i]);
      char path[MAX_PATH];
      DWORD length = sizeof(path);
      HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, id);
      const bool named = process != nullptr && QueryFullProcessImageNameA(process, 0, path, &length);
      if (process != nullptr) CloseHandle(process);
      paths.push_back(named ? std::string(path, length) : "?");
    }
    return paths;
  }

  // Whether a process whose image is called name ("02.exe") runs in the job.
  bool Runs(const std::string& name) const {
    for (const std::string& path : Processes()) {
      if (path.size() > name.size() && path[path.size() - name.size() - 1] == '\\' &&
          lstrcmpiA(path.c_str() + path.size() - name.size(), name.c_str()) == 0) {
        return true;
      }
    }
    return false;
  }

  // Complete only after Wait has returned true.
  const std::string& Output() const { return output_; }
  DWORD ExitCode() const {
    DWORD code = 0xFFFFFFFF;
    if (started_) GetExitCodeProcess(process_.hProcess, &code);
    return code;
  }

 private:
  HANDLE job_ = nullptr;
  HANDLE outRead_ = nullptr;
  HANDLE readDone_ = nullptr;
  PROCESS_INFORMATION process_ = {};
  bool started_ = false;
  std::thread reader_;
  std::string output_;
};

struct RunResult {
  std::string output;
  DWORD exitCode = 0xFFFFFFFF;  // 259 (STILL_ACTIVE) while it runs
  int boxes = 0;
  bool ended = false;  // the program ended and nothing it started holds its output
  std::string stillRunning;  // when not ended: what ran on in its job at the bound
};

inline std::ostream& operator<<(std::ostream& out, const RunResult& run) {
  return out << "exit code " << run.exitCode << " (259 would be still running), " << run.boxes
             << " box(es) dismissed, still running in its job: " << run.stillRunning;
}

// Runs commandLine in directory to its end, pressing OK on any box it shows.
// A run that does not end within a minute is ended, and says so.
inline RunResult RunCaptured(const std::string& commandLine, const std::string& directory) {
  RunResult run;
  CapturedProcess process(commandLine, directory);
  if (!process.Started()) return run;
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
