#pragma once

#include "PackTable.h"

enum class PackState { Localised, Patchable, Unrecognised };

// Whole 64-bit sizes: a pack 4 GiB larger than a listed size is not that version.
// For a patchable pack, *tool is the tool for its size.
PackState DecidePackState(const PackStep& step, LONGLONG size, const char** tool);

// Opened without sharing, so a file that another process holds open counts as absent.
bool FileExists(const char* path);

// Starts tool (a bare file name) from the working directory, hidden and on the
// installer's console, and waits for it to end. False when it cannot be started;
// the shell reports why itself.
bool RunToolAndWait(const char* tool, const char* parameters);

// True when the pack is localised, or patchable and its tool has run; *toolRan
// says which, since only then must ReplacePack find the tool's copy.
bool PatchPack(const PackStep& step, bool* toolRan);

// Moves the tool's copy over the pack when it exists, is free and has the
// localised size, checked again before every attempt. A copy of any other size
// is deleted and the pack left alone, as is a read-only pack.
// moveAttempts bounds the waits and attempts of the retrying steps.
bool ReplacePack(const PackStep& step, int moveAttempts = kMoveRetryAttempts);

// PatchPack, then ReplacePack when a tool ran: false when the pack is not
// localised at the end.
bool RunPackStep(const PackStep& step, int moveAttempts = kMoveRetryAttempts);
