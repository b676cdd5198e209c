// Telvaro.exe started as a process of its own, found by its windows and
// given keys the way the keyboard delivers them.
#pragma once

#include <windows.h>

#include <string>

#include "CapturedProcess.h"
#include "UniqueHandle.h"
#include "WinePath.h"

// The first window in a new Wine prefix, on a two-core machine busy with other
// tests, can take over a minute; every wait ends as soon as its condition holds.
inline constexpr DWORD kTelvaroTimeoutMs = 120000;

struct FoundWindow {
  DWORD pid;
  bool wantDialog;  // the font dialog, else a message box of the program
  HWND hwnd;
};

inline BOOL CALLBACK MatchTelvaroWindow(HWND hwnd, LPARAM param) {
  auto* found = reinterpret_cast<FoundWindow*>(param);
  DWORD pid = 0;
  GetWindowThreadProcessId(hwnd, &pid);
  wchar_t cls[64] = {};
  GetClassNameW(hwnd, cls, 64);
  if (pid != found->pid || wcscmp(cls, L"#32770") != 0 || !IsWindowVisible(hwnd)) return TRUE;
  const bool isDialog = GetDlgItem(hwnd, 1001) != nullptr;
  if (isDialog != found->wantDialog) return TRUE;
  found->hwnd = hwnd;
  return FALSE;
}

class TelvaroProcess {
 public:
  TelvaroProcess() {
    std::wstring exe = testkit::PathFromEnvironment(L"TELVARO_EXE");
    std::wstring commandLine = L"\"" + exe + L"\"";
    STARTUPINFOW si{};
    si.cb = sizeof(si);
    PROCESS_INFORMATION pi{};
    started_ = testkit::CreateProcessLosingNone([&] {
      return CreateProcessW(exe.c_str(), &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr,
                            nullptr, &si, &pi) != 0;
    });
    if (started_) {
      process_.Reset(pi.hProcess);
      thread_.Reset(pi.hThread);
      processId_ = pi.dwProcessId;
      threadId_ = pi.dwThreadId;
    } else {
      const DWORD error = GetLastError();
      char name[MAX_PATH * 3] = "";
      WideCharToMultiByte(CP_UTF8, 0, exe.c_str(), -1, name, sizeof(name), nullptr, nullptr);
      startError_ = testkit::StartFailure(name, "", error);
    }
  }
  ~TelvaroProcess() {
    if (!started_) return;
    if (WaitForSingleObject(process_.Get(), 0) == WAIT_TIMEOUT) TerminateProcess(process_.Get(), 1);
  }

  bool started() const { return started_; }
  // Why it did not start; empty once started.
  const std::string& StartError() const { return startError_; }

  // The window once the dialog manager has settled: a modal loop shows its
  // dialog when its queue first goes idle, which would undo a minimise or move
  // made before. After WaitForInputIdle, whatever the test sends or posts is
  // handled after that show.
  HWND WaitForWindow(bool dialog) const {
    const ULONGLONG deadline = GetTickCount64() + kTelvaroTimeoutMs;
    while (GetTickCount64() < deadline) {
      FoundWindow found{processId_, dialog, nullptr};
      EnumWindows(MatchTelvaroWindow, reinterpret_cast<LPARAM>(&found));
      if (found.hwnd) {
        return WaitForInputIdle(process_.Get(), kTelvaroTimeoutMs) == 0 ? found.hwnd : nullptr;
      }
      if (WaitForSingleObject(process_.Get(), 50) == WAIT_OBJECT_0) return nullptr;
    }
    return nullptr;
  }

  // A key as the keyboard delivers it: to the window that has the focus, through
  // the dialog's own message loop.
  void PressKey(WORD vk) const {
    HWND focus = Focus();
    PostMessageW(focus, WM_KEYDOWN, vk, 1);
    PostMessageW(focus, WM_KEYUP, vk, 0xC0000001);
  }

  HWND Focus() const {
    GUITHREADINFO info{};
    info.cbSize = sizeof(info);
    GetGUIThreadInfo(threadId_, &info);
    return info.hwndFocus;
  }

  // True when the program ended by itself in time.
  bool WaitForExit() const {
    return WaitForSingleObject(process_.Get(), kTelvaroTimeoutMs) == WAIT_OBJECT_0;
  }

 private:
  UniqueHandle process_;
  UniqueHandle thread_;
  DWORD processId_ = 0;
  DWORD threadId_ = 0;
  bool started_ = false;
  std::string startError_;
};
