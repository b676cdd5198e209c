#pragma once

// Console text of both Windows programs: their lines are GBK (code page 936),
// kept readable as UTF-8 in each program's texts file and compiled with
// -fexec-charset=GBK (gbk_text_sources in CMakeLists.txt).
#include <string>

constexpr unsigned kGbkCodePage = 936;

// Writes one GBK line and its end-of-line. Redirected output gets the GBK bytes,
// flushed at once so that a child's own output falls between the lines; a real
// console gets the text as UTF-16, so it reads right whatever its code page.
void PrintLine(const char* gbkText);

// A progress line, only on a real console: one line that each call rewrites in
// place and ClearProgress removes. A program that shows one clears it before
// its next PrintLine.
void ShowProgress(const char* gbkText);
void ClearProgress();

// A file name or other system text as GBK, for a line; "?" when it has none.
std::string ToConsoleText(const std::wstring& text);
// One of a program's texts, its %s filled by up to three ASCII or GBK
// arguments, printed in place of the progress line.
void Say(const char* gbkFormat, const std::string& first = std::string(),
         const std::string& second = std::string(), const std::string& third = std::string());
