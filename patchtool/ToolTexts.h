#pragma once

// The tool's console lines, in GBK (see GbkConsole.h). A %s stands for a path
// or a detail in ASCII.

extern const char kUsageText[];
extern const char kWrongVersionText[];  // %s: the pack
extern const char kDamagedText[];       // %s: what is wrong, for the team that made the tool
extern const char kDiskSpaceText[];     // %s: megabytes needed, %s: megabytes free
extern const char kReadWriteText[];     // %s: the file, %s: the Windows error code
extern const char kOutOfMemoryText[];
extern const char kProgressText[];      // %s: the pack, %s: percent done
