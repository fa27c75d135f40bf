// The settings dialog (template 101) and the value tables behind its lists.
#pragma once
#include "app/app.h"

#define SETTINGS_PROP ((LPCSTR)MAKEINTATOM(0x100))   // the record, while the dialog is open

extern DWORD BaudTable[5];
extern DWORD ParityTable[5];
extern DWORD StopBitsTable[3];

// Whether the rate is one of BaudTable's, the rates Kelvo offers and
// connects at.
BOOL IsOfferedBaudRate(DWORD dwBaudRate);

INT_PTR CALLBACK SettingsDlgProc(HWND hDlg, UINT uMsg, WPARAM wParam, LPARAM lParam);
BOOL SettingsDlgInit(HWND hDlg);
BOOL SettingsDlgTerm(HWND hDlg);
void FillComboBox(HINSTANCE hInstance, HWND hCtrlWnd, int nIDString, DWORD *npTable,
                  WORD wTableLen, DWORD dwCurrentSetting);
BOOL SelectTTYFont(HWND hDlg);
