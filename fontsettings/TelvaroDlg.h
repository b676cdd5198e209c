#pragma once

#include "Framework.h"
#include "resource.h"

#include "FontSettingsStore.h"

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

 private:
  // The list and the box, read when the choice is stored.
  class Controls : public FontChoiceSource {
   public:
    explicit Controls(const CWnd& dialog) : m_dialog(dialog) {}
    void GetFontText(wchar_t* text, int capacity) const override {
      m_dialog.GetDlgItemText(IDC_FONT, text, capacity);
    }
    bool IsBoldChecked() const override {
      return m_dialog.SendDlgItemMessage(IDC_BOLD, BM_GETCHECK) != 0;
    }

   private:
    const CWnd& m_dialog;
  };

  DECLARE_MESSAGE_MAP()
};
