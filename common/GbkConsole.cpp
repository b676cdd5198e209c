#include "GbkConsole.h"

#include <windows.h>

#include <cstdio>

#include "ConsoleUnits.h"

void PrintLine(const char* gbkText) {
  HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  DWORD mode = 0;
  if (GetConsoleMode(out, &mode)) {
    wchar_t text[kMaxConsoleUnits];
    const int units = MultiByteToWideChar(kGbkCodePage, MB_ERR_INVALID_CHARS, gbkText, -1, text,
                                          kMaxConsoleUnits - 2);
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
