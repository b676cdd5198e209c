#include "ConsoleReport.h"

#include <windows.h>

#include <cstdio>

#include "InstallerTexts.h"

void PrintLine(const char* gbkText) {
  HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  DWORD mode = 0;
  if (GetConsoleMode(out, &mode)) {
    wchar_t text[256];
    const int units = MultiByteToWideChar(kTextCodePage, MB_ERR_INVALID_CHARS, gbkText, -1, text,
                                          256 - 2);
    if (units > 0) {
      text[units - 1] = L'\r';
      text[units] = L'\n';
      DWORD written = 0;
      WriteConsoleW(out, text, static_cast<DWORD>(units + 1), &written, nullptr);
      return;
    }
  }
  std::fputs(gbkText, stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}
