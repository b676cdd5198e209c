#pragma once

// Test helpers for the installer: a scratch game folder with sparse packs and
// copies of the stand-in patch tool, and a dismisser for the shell's error boxes.
#include <windows.h>

#include <atomic>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "UniqueHandle.h"
#include "WinePath.h"

namespace gamefolder {

// The bound of every wait for a program to start, show itself, print or end:
// a first start in a new Wine prefix, on a two-core machine busy with other
// tests, can take half a minute. Each wait ends as soon as its condition holds.
constexpr DWORD kColdStartMs = 60000;

// The stand-in patch tool (PatchToolStandIn.cpp), as testkit's build names it.
inline std::string StandInTool() { return testkit::WinePath(STANDIN_TOOL); }

inline void RemoveTree(const std::string& folder) {
  WIN32_FIND_DATAA found;
  HANDLE search = FindFirstFileA((folder + "\\*").c_str(), &found);
  if (search != INVALID_HANDLE_VALUE) {
    do {
      const std::string name = found.cFileName;
      if (name == "." || name == "..") continue;
      const std::string path = folder + "\\" + name;
      if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
        RemoveTree(path);
      } else {
        // Cases mark files read-only, which DeleteFileA refuses.
        SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL);
        DeleteFileA(path.c_str());
      }
    } while (FindNextFileA(search, &found));
    FindClose(search);
  }
  RemoveDirectoryA(folder.c_str());
}

inline bool WriteText(const std::string& path, const std::string& text) {
  const UniqueHandle file(
      CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
  if (!file.IsValid()) return false;
  DWORD written = 0;
  const bool ok =
      WriteFile(file.Get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
  return ok && written == text.size();
}

inline std::string ReadText(const std::string& path, DWORD limit = 1 << 20) {
  const UniqueHandle file(CreateFileA(path.c_str(), GENERIC_READ,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                                      nullptr));
  if (!file.IsValid()) return std::string();
  std::string text(limit, '\0');
  DWORD read = 0;
  if (!ReadFile(file.Get(), &text[0], limit, &read, nullptr)) read = 0;
  text.resize(read);
  return text;
}

// Size of a file, or -1 when it cannot be opened.
inline LONGLONG SizeOf(const std::string& path) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data)) return -1;
  return (static_cast<LONGLONG>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

inline bool Exists(const std::string& path) {
  return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// One start of a stand-in tool, as it recorded it in standin.log.
struct ToolRun {
  std::string tool, parameters, directory, read, write, show, copy;
};

// A fresh folder under %TEMP% with an empty Packs folder, removed again at the end.
class GameFolder {
 public:
  GameFolder() {
    char temp[MAX_PATH];
    GetTempPathA(sizeof(temp), temp);
    static int serial = 0;
    char name[MAX_PATH];
    std::snprintf(name, sizeof(name), "%sbrisunde-%lu-%d", temp, GetCurrentProcessId(), ++serial);
    path_ = name;
    RemoveTree(path_);
    CreateDirectoryA(path_.c_str(), nullptr);
    CreateDirectoryA(Packs().c_str(), nullptr);
  }
  ~GameFolder() { RemoveTree(path_); }
  GameFolder(const GameFolder&) = delete;
  GameFolder& operator=(const GameFolder&) = delete;

  const std::string& Path() const { return path_; }
  std::string Packs() const { return path_ + "\\Packs"; }
  std::string File(const std::string& relative) const { return path_ + "\\" + relative; }

  // A sparse file of the given size that starts with marker.
  bool MakeFile(const std::string& relative, LONGLONG size,
                const char* marker = "UNPATCHED") const {
    const UniqueHandle file(CreateFileA(File(relative).c_str(), GENERIC_WRITE, 0, nullptr,
                                        CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.IsValid()) return false;
    DWORD written = 0;
    bool ok =
        WriteFile(file.Get(), marker, static_cast<DWORD>(strlen(marker)), &written, nullptr) != 0;
    LARGE_INTEGER end;
    end.QuadPart = size;
    return ok && SetFilePointerEx(file.Get(), end, nullptr, FILE_BEGIN) && SetEndOfFile(file.Get());
  }

  // The first bytes of a file, to tell an original pack from a tool's copy.
  std::string Head(const std::string& relative) const { return ReadText(File(relative), 9); }
  LONGLONG Size(const std::string& relative) const { return SizeOf(File(relative)); }
  bool Has(const std::string& relative) const { return Exists(File(relative)); }

  // Copies the stand-in tool in as relative ("01.exe"), with control lines when given.
  bool AddTool(const std::string& relative, const std::string& control = std::string()) const {
    if (!CopyFileA(StandInTool().c_str(), File(relative).c_str(), FALSE)) return false;
    if (control.empty()) return true;
    const std::string base = relative.substr(0, relative.rfind('.'));
    return WriteText(File(base + ".ctl"), control);
  }

  std::vector<ToolRun> ToolRuns() const {
    std::vector<ToolRun> runs;
    const std::string log = ReadText(File("standin.log"));
    size_t start = 0;
    while (start < log.size()) {
      size_t end = log.find("\r\n", start);
      if (end == std::string::npos) end = log.size();
      std::vector<std::string> fields;
      size_t field = start;
      for (size_t tab; (tab = log.find('\t', field)) < end; field = tab + 1) {
        fields.push_back(log.substr(field, tab - field));
      }
      fields.push_back(log.substr(field, end - field));
      fields.resize(7);
      runs.push_back({fields[0], fields[1], fields[2], fields[3], fields[4], fields[5], fields[6]});
      start = end + 2;
    }
    return runs;
  }

 private:
  std::string path_;
};

// Makes folder the working directory for the life of the object.
class WorkingDirectory {
 public:
  explicit WorkingDirectory(const std::string& folder) {
    GetCurrentDirectoryA(sizeof(previous_), previous_);
    SetCurrentDirectoryA(folder.c_str());
  }
  ~WorkingDirectory() { SetCurrentDirectoryA(previous_); }

 private:
  char previous_[MAX_PATH];
};

// Presses OK on every dialog box that the given process shows (by default this
// one), as a user would on the shell's "cannot start" report.
class BoxDismisser {
 public:
  explicit BoxDismisser(DWORD processId = GetCurrentProcessId()) : processId_(processId) {
    thread_ = std::thread([this] {
      while (!stop_) {
        EnumWindows(&BoxDismisser::Visit, reinterpret_cast<LPARAM>(this));
        Sleep(50);
      }
    });
  }
  ~BoxDismisser() {
    stop_ = true;
    thread_.join();
  }
  BoxDismisser(const BoxDismisser&) = delete;
  BoxDismisser& operator=(const BoxDismisser&) = delete;

  int Dismissed() const { return dismissed_; }

 private:
  static BOOL CALLBACK Visit(HWND window, LPARAM self) {
    auto* dismisser = reinterpret_cast<BoxDismisser*>(self);
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    char className[16] = "";
    GetClassNameA(window, className, sizeof(className));
    if (owner == dismisser->processId_ && strcmp(className, "#32770") == 0 &&
        IsWindowVisible(window)) {
      // Counted before the press: the box's thread may return from it and read
      // the count before this thread runs again.
      ++dismisser->dismissed_;
      PostMessageA(window, WM_COMMAND, IDOK, 0);
      // One press per box: it is looked for again only once it has gone.
      const ULONGLONG deadline = GetTickCount64() + kColdStartMs;
      while (!dismisser->stop_ && IsWindow(window) && IsWindowVisible(window) &&
             GetTickCount64() < deadline) {
        Sleep(10);
      }
    }
    return TRUE;
  }

  DWORD processId_;
  std::atomic<bool> stop_{false};
  std::atomic<int> dismissed_{0};
  std::thread thread_;
};

}  // namespace gamefolder
