#pragma once

// Writes one GBK line and its end-of-line. Redirected output gets the GBK bytes,
// flushed at once so that a tool's own output falls between the lines; a real
// console gets the text as UTF-16, so it reads right whatever its code page.
void PrintLine(const char* gbkText);
