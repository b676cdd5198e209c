#pragma once

#include <windows.h>

// A pack of this size has its own tool; every tool of a step gets the same parameters.
struct PatchableSize {
  LONGLONG size;
  const char* tool;
};

struct PackStep {
  const char* pack;
  LONGLONG localisedSize;
  PatchableSize patchable[2];
  int patchableCount;
  const char* toolParameters;
  const char* tempFile;
  // Steps 2 to 4 wait and retry the move until it succeeds or the bound is reached;
  // step 1 tries once.
  bool retryMove;
};

constexpr int kPackStepCount = 4;
extern const PackStep kPackSteps[kPackStepCount];

// The step-2 tool's presence in Packs decides whether steps 2 to 4 run at all.
extern const char kEventPacksGate[];

// Waits of 100 ms before each move attempt of steps 2 to 4; 600 of them make
// about one minute.
constexpr DWORD kMoveRetryWaitMs = 100;
constexpr int kMoveRetryAttempts = 600;
