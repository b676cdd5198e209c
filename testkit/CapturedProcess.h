#pragma once

// Console programs run with their output captured through a pipe, for the
// tests and the benchmarks alike.
#include <windows.h>

#include <string>
#include <thread>
#include <vector>

namespace testkit {

// A program started with standard output and error on one pipe, read here,
// and standard input on another.
struct PipedProcess {
  PROCESS_INFORMATION process = {};
  HANDLE output = nullptr;  // the read end of standard output and error
  HANDLE input = nullptr;   // the write end of standard input; null when it is at end-of-file
  DWORD error = ERROR_SUCCESS;  // why it could not start
};

// A failed start in words for a test's or a benchmark's report: what was
// started, where, and the system's error code with its text.
std::string StartFailure(const std::string& what, const std::string& directory, DWORD error);

// CreateProcess as the harnesses call it, through `create` (a call of
// CreateProcessA or CreateProcessW with everything but the attempt bound in),
// tried again when Wine lost the child before it had started. Wine's
// CreateProcess waits until the child has connected to the wineserver and
// set itself up; a child that vanishes first (its connection closed with no
// status of its own) is reported as ERROR_INTERNAL_ERROR, which Windows never
// gives for a program that exists. On a loaded two-core machine it was seen in
// the x64 prefix, rarely (once in some 4,000 starts of an empty program) but
// often enough to fail a whole suite run now and then. Any other error is
// final, and so is the third loss in a row: a real fault still fails the test,
// saying why.
template <typename Create>
bool CreateProcessLosingNone(Create create) {
  constexpr int kAttempts = 3;
  for (int attempt = 1;; ++attempt) {
    if (create()) return true;
    if (GetLastError() != ERROR_INTERNAL_ERROR || attempt == kAttempts) return false;
  }
}

// Starts commandLine in directory with CreateProcessA's `flags`. With
// holdInput, standard input stays open until the caller closes `input`, else
// the program finds it at end-of-file. Only the program's ends are inherited,
// and they are closed here whatever happens, so that the output pipe ends when
// the program and whatever it started have closed it, not when some other
// child of ours does. False, with nothing left open and started->error set,
// when it cannot start.
bool StartPiped(const std::string& commandLine, const std::string& directory, DWORD flags,
                bool holdInput, PipedProcess* started);

// Appends everything read from pipe to text until every writer has closed it.
void DrainPipe(HANDLE pipe, std::string* text);

// A program started with standard output and error on one pipe, read on a
// thread, and standard input at end-of-file. It and everything it starts run
// in one job, so that a test can end all of it, and nothing outlives the object:
// a hung tool or a crash dialog fails a case instead of hanging the whole run.
class CapturedProcess {
 public:
  // Created suspended, so that several can be let go at the same moment.
  CapturedProcess(const std::string& commandLine, const std::string& directory);
  ~CapturedProcess();
  CapturedProcess(const CapturedProcess&) = delete;
  CapturedProcess& operator=(const CapturedProcess&) = delete;

  bool Started() const { return started_; }
  // Why it did not start: what, where and the system's error; empty once started.
  const std::string& StartError() const { return startError_; }
  DWORD Id() const { return process_.dwProcessId; }
  void Resume() { ResumeThread(process_.hThread); }

  // Until the program has ended and every writer has closed the pipe; false
  // when that takes longer than milliseconds.
  bool Wait(DWORD milliseconds);

  // The program alone, as a user's kill would; what it started runs on.
  void Kill() { TerminateProcess(process_.hProcess, 1); }
  // The program and everything it started.
  void KillAll() { TerminateJobObject(job_, 1); }

  // The image paths of the processes now running in the job: the program and
  // whatever it started ("?" for one that cannot be asked).
  std::vector<std::string> Processes() const;

  // Whether a process whose image is called name ("02.exe") runs in the job.
  bool Runs(const std::string& name) const;

  // Complete only after Wait has returned true.
  const std::string& Output() const { return output_; }
  DWORD ExitCode() const;

 private:
  HANDLE job_ = nullptr;
  HANDLE outRead_ = nullptr;
  HANDLE readDone_ = nullptr;
  PROCESS_INFORMATION process_ = {};
  bool started_ = false;
  std::string startError_;
  std::thread reader_;
  std::string output_;
};

}  // namespace testkit
