// Paths handed to a test through its environment are Unix paths; Wine maps
// the Unix root to drive Z:.
#pragma once

#include <windows.h>

#include <string>

inline std::wstring PathFromEnvironment(const wchar_t* name) {
  wchar_t buffer[MAX_PATH * 2] = {};
  DWORD length = GetEnvironmentVariableW(name, buffer, MAX_PATH * 2);
  std::wstring path(buffer, length < MAX_PATH * 2 ? length : 0);
  if (!path.empty() && path[0] == L'/') path = L"Z:" + path;
  for (wchar_t& c : path)
    if (c == L'/') c = L'\\';
  return path;
}
