#include "TelvaroDlg.h"


CTelvaroDlg::CTelvaroDlg() : CDialogEx(IDD), m_hIcon(AfxGetApp()->LoadIcon(IDR_MAINFRAME)) {}

BEGIN_MESSAGE_MAP(CTelvaroDlg, CDialogEx)
  ON_WM_PAINT()
  ON_WM_QUERYDRAGICON()
  ON_BN_CLICKED(IDOK, &CTelvaroDlg::OnBnClickedOk)
  ON_BN_CLICKED(IDCANCEL, &CTelvaroDlg::OnBnClickedCancel)
END_MESSAGE_MAP()

BOOL CTelvaroDlg::OnInitDialog() {
  CDialogEx::OnInitDialog();

  SendMessage(WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(m_hIcon));
  SendMessage(WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(m_hIcon));

  if (!OpenSettingsKey()) MessageBox(L"Can't open Registry");

  for (const wchar_t* face : kFontChoices)
    SendDlgItemMessage(IDC_FONT, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(face));

  const FontSelection selection = LoadFontSelection();
  if (selection.index != kNoFontIndex) SendDlgItemMessage(IDC_FONT, CB_SETCURSEL, selection.index);
  if (selection.bold) SendDlgItemMessage(IDC_BOLD, BM_SETCHECK, BST_CHECKED);

  return TRUE;  // focus to the first tab stop, the confirm button
}

// Only a minimised dialog draws anything itself: its icon, centred.
void CTelvaroDlg::OnPaint() {
  if (!IsIconic(m_hWnd)) {
    CDialogEx::OnPaint();
    return;
  }
  PAINTSTRUCT ps;
  HDC dc = BeginPaint(m_hWnd, &ps);
  SendMessage(WM_ICONERASEBKGND, reinterpret_cast<WPARAM>(dc), 0);
  const int cxIcon = GetSystemMetrics(SM_CXICON);
  const int cyIcon = GetSystemMetrics(SM_CYICON);
  RECT rect;
  GetClientRect(m_hWnd, &rect);
  const int x = (rect.right - rect.left - cxIcon + 1) / 2;
  const int y = (rect.bottom - rect.top - cyIcon + 1) / 2;
  DrawIcon(dc, x, y, m_hIcon);
  EndPaint(m_hWnd, &ps);
}

HCURSOR CTelvaroDlg::OnQueryDragIcon() { return static_cast<HCURSOR>(m_hIcon); }

void CTelvaroDlg::OnBnClickedOk() {
  SaveFontSelectionAndClose(Controls(*this));
  CDialogEx::OnOK();
}

void CTelvaroDlg::OnBnClickedCancel() {
  CloseSettingsKey();
  CDialogEx::OnCancel();
}
