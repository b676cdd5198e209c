#pragma once

// The installer's console lines, in GBK (see GbkConsole.h).

extern const char kGreetingText[];
extern const char kProgress0Text[];
extern const char kProgress25Text[];
extern const char kProgress50Text[];
extern const char kProgress75Text[];
extern const char kDoneText[];
extern const char kFailedText[];
