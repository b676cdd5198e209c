#pragma once

// Console programs run with their output captured through a pipe, for the
// tests and the benchmarks alike.
#include <windows.h>

#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "UniqueHandle.h"

namespace testkit {

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

// What GetProcessMemoryInfo says of a program's peak. Wine 8 answers for
// another process from its Linux /proc status: the peak working set is VmHWM,
// the "peak" page-file usage the current RssAnon.
struct PeakMemory {
  SIZE_T workingSet = 0;  // PeakWorkingSetSize
  SIZE_T pagefile = 0;    // PeakPagefileUsage
};

// A program started with standard output and error on one pipe, read on a
// thread, and standard input on another. It and everything it starts run in
// one job, so that a test can end all of it, and nothing outlives the object:
// a hung tool or a crash dialog fails a case instead of hanging the whole run.
// Only the program's ends of the pipes are inherited, so that the output ends
// when the program and whatever it started have closed it, not when some
// other child of ours does.
class CapturedProcess {
 public:
  // What the program finds on its standard input.
  enum class Input {
    kAtEnd,  // end-of-file from the start: a pause returns at once
    kHeld,   // a pipe held open here until CloseInput: a pause waits until then
  };

  // Created suspended, so that several can be let go at the same moment.
  CapturedProcess(const std::string& commandLine, const std::string& directory,
                  Input input = Input::kAtEnd);
  ~CapturedProcess();
  CapturedProcess(const CapturedProcess&) = delete;
  CapturedProcess& operator=(const CapturedProcess&) = delete;

  bool Started() const { return started_; }
  // Why it did not start: what, where and the system's error; empty once started.
  const std::string& StartError() const { return startError_; }
  DWORD Id() const { return id_; }
  void Resume() { ResumeThread(thread_.Get()); }

  // Until the program has ended and every writer has closed the pipe; false
  // when that takes longer than milliseconds, or it never started.
  bool Wait(DWORD milliseconds);
  // Until the output has gone past the line containing text: that line has
  // ended and more has come after it (a program at a pause has printed its
  // prompt). False when the output ends first, the time runs out or the
  // program never started.
  bool WaitPastLine(const std::string& text, DWORD milliseconds);
  // Standard input held open (Input::kHeld) ends: a pause returns.
  void CloseInput() { input_.Close(); }

  // The program alone, as a user's kill would; what it started runs on.
  void Kill() { TerminateProcess(process_.Get(), 1); }
  // The program and everything it started.
  void KillAll() { TerminateJobObject(job_.Get(), 1); }

  // The image paths of the processes now running in the job: the program and
  // whatever it started ("?" for one that cannot be asked).
  std::vector<std::string> Processes() const;
  // Whether a process whose image is called name ("02.exe") runs in the job.
  bool Runs(const std::string& name) const;
  // Whether the program itself has yet to end.
  bool Running() const;
  // The program's peak memory so far; false when it never started or cannot be asked.
  bool QueryPeakMemory(PeakMemory* peak) const;

  // What the program and whatever it started have written so far; all of it
  // once Wait has returned true.
  std::string Output() const;
  DWORD ExitCode() const;

 private:
  bool Start(const std::string& commandLine, const std::string& directory, Input input,
             DWORD* error);
  void ReadOutput();
  bool PassedLine(const std::string& text) const;

  UniqueHandle job_;
  UniqueHandle process_;
  UniqueHandle thread_;
  DWORD id_ = 0;
  UniqueHandle input_;    // the write end of standard input while it is held
  UniqueHandle outRead_;  // the read end of standard output and error
  UniqueHandle readDone_;  // set once every writer has closed the output pipe
  bool started_ = false;
  std::string startError_;
  std::thread reader_;
  mutable std::mutex outputLock_;
  std::condition_variable outputGrew_;
  std::string output_;  // guarded by outputLock_, as is outputEnded_
  bool outputEnded_ = false;
};

}  // namespace testkit
