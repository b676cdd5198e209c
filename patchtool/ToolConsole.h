#pragma once

// The installer's rule for text: GBK bytes to a pipe or file, UTF-16 to a real
// console, so that the line reads right whatever the console's code page.
// Progress goes only to a real console, on one line that ClearProgress removes.
void PrintLine(const char* gbkText);
void ShowProgress(const char* gbkText);
void ClearProgress();
