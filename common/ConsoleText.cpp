#include <windows.h>

#include <cstdio>

#include "GbkConsole.h"

std::string ToConsoleText(const std::wstring& text) {
  char buffer[1024];
  const int length = WideCharToMultiByte(kGbkCodePage, 0, text.c_str(), -1, buffer, sizeof(buffer),
                                         nullptr, nullptr);
  return length > 0 ? std::string(buffer, length - 1) : std::string("?");
}

void Say(const char* gbkFormat, const std::string& first, const std::string& second,
         const std::string& third) {
  char line[2048];
  std::snprintf(line, sizeof(line), gbkFormat, first.c_str(), second.c_str(), third.c_str());
  ClearProgress();
  PrintLine(line);
}
