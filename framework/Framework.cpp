#include "Framework.h"

namespace {
CWinApp* g_app = nullptr;
HINSTANCE g_instance = nullptr;
}  // namespace

CWinApp* AfxGetApp() { return g_app; }
HINSTANCE AfxGetInstanceHandle() { return g_instance; }
HINSTANCE AfxGetResourceHandle() { return g_instance; }

std::wstring CWnd::GetDlgItemText(int id) const {
  HWND item = GetDlgItem(id);
  std::wstring text(static_cast<size_t>(GetWindowTextLengthW(item)) + 1, L'\0');
  text.resize(static_cast<size_t>(GetWindowTextW(item, &text[0], static_cast<int>(text.size()))));
  return text;
}

int CWnd::MessageBox(const wchar_t* text, const wchar_t* caption, UINT type) const {
  if (!caption && g_app) caption = g_app->m_appName.c_str();
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
  if (appName) m_appName = appName;
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

// The entry point: the application object exists already, as a global.
static int RunApplication(HINSTANCE instance) {
  g_instance = instance;
  CWinApp* app = g_app;
  if (!app) return 0;
  if (app->m_appName.empty()) {
    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(instance, path, MAX_PATH);
    std::wstring name = path;
    name.erase(0, name.find_last_of(L"\\/") + 1);
    name.erase(name.rfind(L'.') == std::wstring::npos ? name.size() : name.rfind(L'.'));
    app->m_appName = name;
  }
  // An InitInstance that returns FALSE ends the program at once; nothing here
  // runs after its modal dialog, so there is no message loop to enter.
  app->InitInstance();
  return 0;
}

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) { return RunApplication(instance); }
