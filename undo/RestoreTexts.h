#pragma once

// The restore program's console lines, in GBK (see GbkConsole.h). A %s stands
// for a pack's path or a number in ASCII.

extern const char kGreetingText[];
extern const char kProgressText[];        // %s: the pack, %s: percent done
extern const char kCheckingText[];        // %s: the pack
extern const char kRestoredText[];        // %s: the pack
extern const char kAlreadyOriginalText[]; // %s: the pack
extern const char kAbsentText[];          // %s: the pack
extern const char kMissingText[];         // %s: the pack
extern const char kChangedText[];         // %s: the pack
extern const char kNoRecordText[];        // %s: the pack
extern const char kDamagedRecordText[];   // %s: the pack
extern const char kDiskSpaceText[];       // %s: the pack, %s: megabytes needed
extern const char kReadWriteText[];       // %s: the file, %s: the Windows error code, %s: the pack
extern const char kDoneText[];
extern const char kFailedText[];
