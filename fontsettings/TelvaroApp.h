#pragma once

#include "Framework.h"

class CTelvaroApp : public CWinApp {
 public:
  CTelvaroApp();
  BOOL InitInstance() override;

  DECLARE_MESSAGE_MAP()
};

extern CTelvaroApp theApp;
