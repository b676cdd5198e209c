// Telvaro.exe started as a process of its own, found by its windows and
// given keys the way the keyboard delivers them.
#pragma once

#include <windows.h>

#include <string>

#include "CapturedProcess.h"
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
    started_ = testkit::CreateProcessLosingNone([&] {
      return CreateProcessW(exe.c_str(), &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                            &si, &pi_) != 0;
    });
    if (!started_) {
      const DWORD error = GetLastError();
      char name[MAX_PATH * 3] = "";
      WideCharToMultiByte(CP_UTF8, 0, exe.c_str(), -1, name, sizeof(name), nullptr, nullptr);
      startError_ = testkit::StartFailure(name, "", error);
    }
  }
  ~TelvaroProcess() {
    if (!started_) return;
    if (WaitForSingleObject(pi_.hProcess, 0) == WAIT_TIMEOUT) TerminateProcess(pi_.hProcess, 1);
    CloseHandle(pi_.hThread);
    CloseHandle(pi_.hProcess);
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
      FoundWindow found{pi_.dwProcessId, dialog, nullptr};
      EnumWindows(MatchTelvaroWindow, reinterpret_cast<LPARAM>(&found));
      if (found.hwnd) {
        return WaitForInputIdle(pi_.hProcess, kTelvaroTimeoutMs) == 0 ? found.hwnd : nullptr;
      }
      if (WaitForSingleObject(pi_.hProcess, 50) == WAIT_OBJECT_0) return nullptr;
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
    GetGUIThreadInfo(pi_.dwThreadId, &info);
    return info.hwndFocus;
  }

  // True when the program ended by itself in time.
  bool WaitForExit() const { return WaitForSingleObject(pi_.hProcess, kTelvaroTimeoutMs) == WAIT_OBJECT_0; }

 private:
  PROCESS_INFORMATION pi_ = {};
  bool started_ = false;
  std::string startError_;
};
