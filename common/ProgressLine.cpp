// The progress line lives in its own file, so that a program that shows none
// links none of it.
#include <windows.h>

#include "ConsoleUnits.h"
#include "GbkConsole.h"

namespace {

int g_progressColumns = 0;  // how wide the progress line on the console is now

HANDLE ConsoleOutput() {
  HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  DWORD mode = 0;
  return GetConsoleMode(out, &mode) ? out : nullptr;
}

void WriteUnits(HANDLE console, const wchar_t* text, int units) {
  DWORD written = 0;
  WriteConsoleW(console, text, static_cast<DWORD>(units), &written, nullptr);
}

// Chinese characters take two columns of the console, ASCII one.
int Columns(const wchar_t* text, int units) {
  int columns = 0;
  for (int i = 0; i < units; ++i) columns += text[i] < 0x80 ? 1 : 2;
  return columns;
}

// Blanks the progress line and puts the cursor back at its start.
void EraseProgress(HANDLE console) {
  if (g_progressColumns == 0) return;
  wchar_t blank[2 * kMaxConsoleUnits + 2];
  blank[0] = L'\r';
  for (int i = 1; i <= g_progressColumns; ++i) blank[i] = L' ';
  blank[g_progressColumns + 1] = L'\r';
  WriteUnits(console, blank, g_progressColumns + 2);
  g_progressColumns = 0;
}

}  // namespace

void ShowProgress(const char* gbkText) {
  HANDLE console = ConsoleOutput();
  if (console == nullptr) return;
  wchar_t text[kMaxConsoleUnits];
  const int units =
      MultiByteToWideChar(kGbkCodePage, MB_ERR_INVALID_CHARS, gbkText, -1, text, kMaxConsoleUnits);
  if (units <= 1) return;
  // A shorter line must not leave the tail of a longer one behind.
  EraseProgress(console);
  WriteUnits(console, text, units - 1);
  g_progressColumns = Columns(text, units - 1);
}

void ClearProgress() {
  if (HANDLE console = ConsoleOutput()) EraseProgress(console);
}
