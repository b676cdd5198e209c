#pragma once

#include "Framework.h"
#include "resource.h"

class CTelvaroDlg : public CDialogEx {
 public:
  enum { IDD = IDD_TELVARO_DIALOG };
  CTelvaroDlg();

 protected:
  BOOL OnInitDialog() override;
  void OnPaint();
  HCURSOR OnQueryDragIcon();
  void OnBnClickedOk();
  void OnBnClickedCancel();

  HICON m_hIcon;

  DECLARE_MESSAGE_MAP()
};
