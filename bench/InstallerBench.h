#pragma once

// What the installer benchmarks share: console programs run with their output
// captured and the game folders they run in. The figures they print are the
// kit's (BenchFigures.h).
#include <windows.h>

#include <string>

#include "BenchFigures.h"
#include "GameFolder.h"
#include "PackTable.h"
#include "WinePath.h"

namespace bench {

struct ConsoleRun {
  bool started = false;
  std::string startError;  // why it could not start
  std::string output;  // standard output and error, as written
  DWORD exitCode = 0xFFFFFFFF;
};

// Runs commandLine in directory with standard input at end-of-file and standard
// output and error on one pipe, read until every writer (the program and
// whatever it started, such as the command processor's pause) has closed it.
ConsoleRun RunToEnd(const std::string& commandLine, const std::string& directory);

// Wine 8 answers for another process from its Linux /proc status: the peak
// working set is VmHWM, the "peak" page-file usage the current RssAnon.
struct PeakMemory {
  SIZE_T workingSet = 0;  // PeakWorkingSetSize
  SIZE_T pagefile = 0;    // PeakPagefileUsage
};

// A console program whose standard input is a pipe held open here, so that a
// pause in it waits until Release.
class HeldConsole {
 public:
  HeldConsole(const std::string& commandLine, const std::string& directory);
  ~HeldConsole();
  HeldConsole(const HeldConsole&) = delete;
  HeldConsole& operator=(const HeldConsole&) = delete;

  bool Started() const { return process_ != nullptr; }
  // Reads output until a line containing text has ended and more has come
  // after it (the program has gone on past that line); false when the output
  // ends first or the time runs out.
  bool WaitPastLine(const std::string& text, DWORD timeoutMs);
  const std::string& Output() const { return output_; }
  bool Running() const;
  bool QueryPeakMemory(PeakMemory* peak) const;
  // Closes standard input, reads the rest of the output and waits for the end.
  DWORD Release();

 private:
  bool ReadAvailable();
  bool PassedLine(const std::string& text) const;

  HANDLE process_ = nullptr;
  HANDLE input_ = nullptr;
  HANDLE output_pipe_ = nullptr;
  std::string output_;
};

// Every pack at its localised size and the event packs' gate present: a run
// goes through all four steps and starts no tool.
bool LayOutLocalisedGame(const gamefolder::GameFolder& game);

// System.GPK at the size "01.exe" patches, toolPath copied in as 01.exe, no
// gate: a run patches step 1 only.
bool LayOutStep1Patch(const gamefolder::GameFolder& game, const std::string& toolPath);

// A step shaped like step 1 (one move attempt) for a 1 MiB pack, so that the
// real ReplacePack accepts a 1 MiB copy.
extern const PackStep kSmallStep;

// The pack at a size other than the localised one and, beside it, a sparse
// copy of the localised size, as a tool leaves them; relative to the working
// directory like the step's paths.
bool PrepareReplace(const gamefolder::GameFolder& game, const PackStep& step);

}  // namespace bench
