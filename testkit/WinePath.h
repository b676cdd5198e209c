// Paths handed over from the build machine, on a command line, in the
// environment or compiled in, are Unix paths; Wine maps the Unix root to drive
// Z:, which still names them from a working directory on another drive.
#pragma once

#include <windows.h>

#include <algorithm>
#include <string>

namespace testkit {

// A path that is not a Unix one is left as it is, but for its separators.
template <typename Char>
std::basic_string<Char> WinePath(std::basic_string<Char> path) {
  if (!path.empty() && path[0] == Char('/'))
    path = std::basic_string<Char>{Char('Z'), Char(':')} + path;
  std::replace(path.begin(), path.end(), Char('/'), Char('\\'));
  return path;
}

inline std::string WinePath(const char* path) { return WinePath(std::string(path)); }
inline std::wstring WinePath(const wchar_t* path) { return WinePath(std::wstring(path)); }

// The path the environment variable `name` holds; empty when it is unset or
// longer than a path can be.
inline std::wstring PathFromEnvironment(const wchar_t* name) {
  wchar_t buffer[MAX_PATH * 2] = {};
  DWORD length = GetEnvironmentVariableW(name, buffer, MAX_PATH * 2);
  return WinePath(std::wstring(buffer, length < MAX_PATH * 2 ? length : 0));
}

}  // namespace testkit
