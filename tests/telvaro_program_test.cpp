// Telvaro's application start-up and dialog run inside this test process (the
// program's own objects and resources are linked in), driven from a second
// thread, with HKEY_CURRENT_USER redirected to a scratch key.
#include <gtest/gtest.h>

#include <functional>
#include <thread>

#include "ScratchRegistry.h"
#include "FontSettingsStore.h"
#include "TelvaroApp.h"

namespace {

const wchar_t kKey[] = L"Software\\Pellavor\\QUORVELIN";

// The first dialog of a new Wine prefix, on a busy two-core machine, can take
// over a minute to show.
HWND WaitForDialog() {
  const ULONGLONG deadline = GetTickCount64() + 120000;
  do {
    HWND dialog = FindWindowW(L"#32770", L"Telvaro");
    if (dialog && IsWindowVisible(dialog) && GetDlgItem(dialog, 1001)) return dialog;
    Sleep(20);
  } while (GetTickCount64() < deadline);
  return nullptr;
}

class TelvaroProgramTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(scratch_.ok()); }

  // Runs the application's start-up while `drive` acts on the dialog.
  static BOOL RunStartUp(const std::function<void(HWND)>& drive) {
    std::thread driver([&] {
      HWND dialog = WaitForDialog();
      EXPECT_NE(nullptr, dialog);
      if (dialog) drive(dialog);
    });
    const BOOL result = theApp.InitInstance();
    driver.join();
    return result;
  }

  ScratchCurrentUser scratch_;
};

TEST_F(TelvaroProgramTest, StartUpRunsTheDialogThenAsksToEnd) {
  EXPECT_FALSE(RunStartUp([](HWND dialog) { PostMessageW(dialog, WM_CLOSE, 0, 0); }));
  EXPECT_EQ(nullptr, FindWindowW(L"#32770", L"Telvaro"));
  EXPECT_EQ(nullptr, g_hSettingsKey);
}

TEST_F(TelvaroProgramTest, ApplicationNameIsTheExecutablesBaseName) {
  EXPECT_STREQ(L"telvaro_program_test", theApp.m_pszAppName);
  EXPECT_EQ(AFX_RESTART_MANAGER_SUPPORT_RESTART, theApp.m_dwRestartManagerSupportFlags);
}

TEST_F(TelvaroProgramTest, DialogIsTheMainWindowAndCarriesTheProgramIcon) {
  RunStartUp([](HWND dialog) {
    EXPECT_NE(nullptr, theApp.m_pMainWnd);
    if (theApp.m_pMainWnd) {
      EXPECT_EQ(dialog, theApp.m_pMainWnd->m_hWnd);
    }
    const LRESULT icon = SendMessageW(dialog, WM_GETICON, ICON_BIG, 0);
    EXPECT_NE(0, icon);
    EXPECT_EQ(icon, SendMessageW(dialog, WM_GETICON, ICON_SMALL, 0));
    // Answered directly by the dialog procedure, not through DWLP_MSGRESULT.
    EXPECT_EQ(icon, SendMessageW(dialog, WM_QUERYDRAGICON, 0, 0));
    EXPECT_EQ(nullptr, GetWindow(dialog, GW_OWNER));
    EXPECT_TRUE(GetWindowLongW(dialog, GWL_EXSTYLE) & WS_EX_APPWINDOW);
    PostMessageW(dialog, WM_COMMAND, IDCANCEL, 0);
  });
}

TEST_F(TelvaroProgramTest, HelpCommandIsHandledAndLeavesTheDialogOpen) {
  RunStartUp([](HWND dialog) {
    SendMessageW(dialog, WM_COMMAND, 57670, 0);
    EXPECT_TRUE(IsWindowVisible(dialog));
    SendMessageW(dialog, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
  });
  // The confirm after it still stored the choice.
  EXPECT_EQ(Utf16Bytes(L"宋体"), ReadRegValue(HKEY_CURRENT_USER, kKey, L"FontName").bytes);
}

}  // namespace
