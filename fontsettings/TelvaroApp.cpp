#include "TelvaroApp.h"

#include <commctrl.h>

#include "TelvaroDlg.h"

BEGIN_MESSAGE_MAP(CTelvaroApp, CWinApp)
  ON_COMMAND(ID_HELP, &CWinApp::OnHelp)
END_MESSAGE_MAP()

CTelvaroApp::CTelvaroApp() { m_dwRestartManagerSupportFlags = AFX_RESTART_MANAGER_SUPPORT_RESTART; }

CTelvaroApp theApp;

BOOL CTelvaroApp::InitInstance() {
  INITCOMMONCONTROLSEX controls = {sizeof(controls), ICC_WIN95_CLASSES};
  InitCommonControlsEx(&controls);

  CWinApp::InitInstance();

  CTelvaroDlg dlg;
  m_pMainWnd = &dlg;
  dlg.DoModal();

  // The dialog is the whole program: end now rather than enter a message loop.
  return FALSE;
}
