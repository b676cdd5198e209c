#pragma once

// The installer's console lines, in GBK (code page 936): InstallerTexts.cpp is
// kept readable as UTF-8 and compiled with -fexec-charset=GBK.
constexpr unsigned kTextCodePage = 936;

extern const char kGreetingText[];
extern const char kProgress0Text[];
extern const char kProgress25Text[];
extern const char kProgress50Text[];
extern const char kProgress75Text[];
extern const char kDoneText[];
extern const char kFailedText[];
