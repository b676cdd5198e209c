// A thin application and dialog layer over Win32, in the shape the font
// settings program's classes expect: one application object, a modal dialog
// from a template, message tables, and little else.
#pragma once

#include <windows.h>

#include "MessageMap.h"

// The standard help command.
inline constexpr UINT ID_HELP = 0xE146;

class CWnd : public CCmdTarget {
 public:
  HWND m_hWnd = nullptr;

  HWND GetDlgItem(int id) const { return ::GetDlgItem(m_hWnd, id); }
  LRESULT SendDlgItemMessage(int id, UINT message, WPARAM wParam = 0, LPARAM lParam = 0) const {
    return ::SendDlgItemMessageW(m_hWnd, id, message, wParam, lParam);
  }
  LRESULT SendMessage(UINT message, WPARAM wParam = 0, LPARAM lParam = 0) const {
    return ::SendMessageW(m_hWnd, message, wParam, lParam);
  }
  int GetDlgItemText(int id, wchar_t* text, int capacity) const {
    return ::GetDlgItemTextW(m_hWnd, id, text, capacity);
  }
  // Owned by this window; titled with the application's name unless given one.
  int MessageBox(const wchar_t* text, const wchar_t* caption = nullptr, UINT type = MB_OK) const;
};

class CDialogEx : public CWnd {
 public:
  CDialogEx(UINT templateId, HWND parent = nullptr) : m_templateId(templateId), m_parent(parent) {}

  // Runs the dialog on the dialog manager; the EndDialog result, or -1.
  INT_PTR DoModal();

 protected:
  virtual BOOL OnInitDialog() { return TRUE; }
  virtual void OnOK() { EndDialog(m_hWnd, IDOK); }
  virtual void OnCancel() { EndDialog(m_hWnd, IDCANCEL); }
  // What the dialog manager would do with WM_PAINT: validate, nothing drawn.
  void OnPaint();

  DECLARE_MESSAGE_MAP()

 private:
  static INT_PTR CALLBACK DialogProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);

  UINT m_templateId;
  HWND m_parent;
};

class CWinApp : public CCmdTarget {
 public:
  // Without a name, the executable's base name is used.
  explicit CWinApp(const wchar_t* appName = nullptr);

  // Registers with the restart manager when the support flags ask for restart.
  virtual BOOL InitInstance();

  HICON LoadIcon(UINT id) const;

  // The standard help command's handler, for an application's command table.
  void OnHelp();

  const wchar_t* m_pszAppName = m_appName;
  CWnd* m_pMainWnd = nullptr;
  DWORD m_dwRestartManagerSupportFlags = 0;

 private:
  wchar_t m_appName[MAX_PATH] = {};
};

// Restart support only: no recovery, no autosave.
inline constexpr DWORD AFX_RESTART_MANAGER_SUPPORT_RESTART = 0x01;

CWinApp* AfxGetApp();
HINSTANCE AfxGetInstanceHandle();
HINSTANCE AfxGetResourceHandle();
