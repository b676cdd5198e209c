#pragma once

// Undo records on disk: where a pack's record lives, and writing one so that
// it never stands under its name half-written.
#include <windows.h>

#include <string>

#include "UndoRecord.h"

namespace undo {

// Run in a 4 MiB list: with the tool's three 16 MiB windows and read buffers,
// the whole run stays within 64 MiB above a bare program.
constexpr size_t kToolRegionCapacity = (4u << 20) / sizeof(KeptRegions::Region);

// A file name as the record's line carries it: ASCII, anything else as '_'.
std::string AsciiFileName(const std::wstring& path);

// PatchUndo\<pack file name>.undo in the folder that holds the pack's folder,
// the game's folder: the installer neither moves nor deletes anything there,
// so a record survives its runs, and the game never reads it.
std::wstring RecordPathFor(const std::wstring& packPath);

// Writes the record under a temporary name beside `path`, flushes it and only
// then renames it to `path`, replacing an older one. On failure nothing is
// left under either name but an older record, and *error says why.
bool WriteRecordFile(const std::wstring& path, const KeptRegions& kept,
                     vcdiff::ByteSource& original, const RecordInfo& info, DWORD* error);

}  // namespace undo
