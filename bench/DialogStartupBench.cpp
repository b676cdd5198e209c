// Time from CreateProcess to a visible dialog, for Telvaro against the bare
// baseline, alternated run by run so that both see the same machine.
// Usage: dialog_startup_bench TELVARO BASELINE RUNS
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "BenchFigures.h"
#include "CapturedProcess.h"
#include "UniqueHandle.h"

namespace {

struct Search {
  DWORD pid;
  HWND found;
};

BOOL CALLBACK FindVisibleDialog(HWND hwnd, LPARAM param) {
  auto* search = reinterpret_cast<Search*>(param);
  DWORD pid = 0;
  GetWindowThreadProcessId(hwnd, &pid);
  if (pid != search->pid || !IsWindowVisible(hwnd) || !GetDlgItem(hwnd, 1001)) return TRUE;
  search->found = hwnd;
  return FALSE;
}

// Seconds until the dialog is visible, or a negative number on failure.
double TimeToDialog(const std::wstring& exe) {
  std::wstring commandLine = L"\"" + exe + L"\"";
  STARTUPINFOW si{};
  si.cb = sizeof(si);
  PROCESS_INFORMATION pi{};
  LARGE_INTEGER start, shown;
  QueryPerformanceCounter(&start);
  if (!testkit::CreateProcessLosingNone([&] {
        return CreateProcessW(exe.c_str(), &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr,
                              nullptr, &si, &pi) != 0;
      })) {
    const DWORD error = GetLastError();
    std::printf("Telvaro start-up: %s\n",
                testkit::StartFailure(std::string(exe.begin(), exe.end()), "", error).c_str());
    return -1;
  }
  const UniqueHandle thread(pi.hThread), process(pi.hProcess);
  Search search{pi.dwProcessId, nullptr};
  for (int i = 0; i < 20000 && !search.found; ++i) {
    EnumWindows(FindVisibleDialog, reinterpret_cast<LPARAM>(&search));
    if (!search.found) Sleep(1);
  }
  QueryPerformanceCounter(&shown);
  if (search.found) PostMessageW(search.found, WM_COMMAND, IDCANCEL, 0);
  if (WaitForSingleObject(process.Get(), 10000) != WAIT_OBJECT_0)
    TerminateProcess(process.Get(), 1);
  return search.found ? bench::Seconds(start, shown) : -1;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 4) return 2;
  const int runs = _wtoi(argv[3]);
  std::vector<double> telvaro, bare;
  TimeToDialog(argv[1]);  // warm the file cache and the wineserver
  TimeToDialog(argv[2]);
  for (int i = 0; i < runs; ++i) {
    double a = TimeToDialog(argv[1]);
    double b = TimeToDialog(argv[2]);
    if (a < 0 || b < 0) {
      std::printf("a dialog did not appear\n");
      return 1;
    }
    telvaro.push_back(a);
    bare.push_back(b);
  }
  return bench::ReportRatio("dialog start-up", "Telvaro", telvaro, "bare DialogBoxParamW", bare,
                            bench::kMilliseconds, 1.2);
}
