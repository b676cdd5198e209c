#include "Framework.h"

namespace {
CWinApp* g_app = nullptr;
}  // namespace

CWinApp* AfxGetApp() { return g_app; }
HINSTANCE AfxGetInstanceHandle() { return GetModuleHandleW(nullptr); }
// Resources come from the executable itself; there are no resource DLLs.
HINSTANCE AfxGetResourceHandle() { return GetModuleHandleW(nullptr); }

int CWnd::MessageBox(const wchar_t* text, const wchar_t* caption, UINT type) const {
  if (!caption && g_app) caption = g_app->m_pszAppName;
  return ::MessageBoxW(m_hWnd, text, caption, type);
}

BEGIN_MESSAGE_MAP(CDialogEx, CWnd)
  ON_BN_CLICKED(IDOK, &CDialogEx::OnOK)
  ON_BN_CLICKED(IDCANCEL, &CDialogEx::OnCancel)
END_MESSAGE_MAP()

INT_PTR CDialogEx::DoModal() {
  return DialogBoxParamW(AfxGetResourceHandle(), MAKEINTRESOURCEW(m_templateId), m_parent,
                         DialogProc, reinterpret_cast<LPARAM>(this));
}

void CDialogEx::OnPaint() {
  PAINTSTRUCT ps;
  BeginPaint(m_hWnd, &ps);
  EndPaint(m_hWnd, &ps);
}

INT_PTR CALLBACK CDialogEx::DialogProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  // A C++ exception must not unwind through the dialog manager's frames.
  try {
    if (message == WM_INITDIALOG) {
      auto* self = reinterpret_cast<CDialogEx*>(lParam);
      SetWindowLongPtrW(hwnd, DWLP_USER, lParam);
      self->m_hWnd = hwnd;
      return self->OnInitDialog();
    }
    auto* self = reinterpret_cast<CDialogEx*>(GetWindowLongPtrW(hwnd, DWLP_USER));
    if (!self) return FALSE;

    const UINT code = message == WM_COMMAND ? HIWORD(wParam) : 0;
    const UINT id = message == WM_COMMAND ? LOWORD(wParam) : 0;
    LRESULT result = 0;
    if (!self->Dispatch(message, code, id, result)) {
      // Commands the dialog does not handle go on to the application.
      if (message != WM_COMMAND || !g_app || !g_app->Dispatch(message, code, id, result))
        return FALSE;
    }
    // These few messages return their result directly from a dialog procedure.
    if (message == WM_QUERYDRAGICON) return static_cast<INT_PTR>(result);
    SetWindowLongPtrW(hwnd, DWLP_MSGRESULT, result);
    return TRUE;
  } catch (...) {
    return FALSE;
  }
}

CWinApp::CWinApp(const wchar_t* appName) {
  g_app = this;
  if (appName) {
    m_pszAppName = appName;
    return;
  }
  wchar_t path[MAX_PATH] = {};
  GetModuleFileNameW(nullptr, path, MAX_PATH);
  const wchar_t* base = path;
  for (const wchar_t* p = path; *p; ++p)
    if (*p == L'\\' || *p == L'/') base = p + 1;
  lstrcpynW(m_appName, base, MAX_PATH);
  if (wchar_t* dot = wcsrchr(m_appName, L'.')) *dot = L'\0';
}

BOOL CWinApp::InitInstance() {
  if (m_dwRestartManagerSupportFlags & AFX_RESTART_MANAGER_SUPPORT_RESTART)
    RegisterApplicationRestart(nullptr, 0);
  return TRUE;
}

HICON CWinApp::LoadIcon(UINT id) const {
  return ::LoadIconW(AfxGetResourceHandle(), MAKEINTRESOURCEW(id));
}

// No help file ships with the program, so there is nothing to open.
void CWinApp::OnHelp() {}

// The application object exists already, as a global. An InitInstance that
// returns FALSE ends the program at once; nothing here runs after its modal
// dialog, so there is no message loop to enter.
int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  if (g_app) g_app->InitInstance();
  return 0;
}
