// Resource ids shared by the program and its .rc file.
#pragma once

#define IDR_MAINFRAME 130
#define IDD_TELVARO_DIALOG 102
#define IDC_BOLD 1000
#define IDC_FONT 1001
