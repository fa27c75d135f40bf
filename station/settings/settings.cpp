// The settings dialog: shows every line setting and terminal option, lets
// the user change the baud rate and, while unconnected, the port.
#include <cstdio>
#include "settings/settings.h"
#include <commdlg.h>
#include "serial/serial.h"
#include "terminal/terminal.h"

DWORD BaudTable[5] = {CBR_9600, CBR_19200, CBR_38400, CBR_56000, CBR_115200};
DWORD ParityTable[5] = {NOPARITY, EVENPARITY, ODDPARITY, MARKPARITY, SPACEPARITY};
DWORD StopBitsTable[3] = {ONESTOPBIT, ONE5STOPBITS, TWOSTOPBITS};

BOOL IsOfferedBaudRate(DWORD dwBaudRate)
{
    for (DWORD dwRate : BaudTable)
        if (dwRate == dwBaudRate)
            return TRUE;
    return FALSE;
}

static NPTTYINFO GetDlgRecord(HWND hDlg)
{
    return (NPTTYINFO)GetPropA(hDlg, SETTINGS_PROP);
}

void FillComboBox(HINSTANCE hInstance, HWND hCtrlWnd, int nIDString, DWORD *npTable,
                  WORD wTableLen, DWORD dwCurrentSetting)
{
    char szBuffer[81];
    for (WORD wCount = 0; wCount < wTableLen; wCount++) {
        if (!LoadStringA(hInstance, nIDString + wCount, szBuffer, sizeof szBuffer))
            szBuffer[0] = '\0';
        WORD wPosition = (WORD)SendMessageA(hCtrlWnd, CB_ADDSTRING, 0, (LPARAM)szBuffer);
        SendMessageA(hCtrlWnd, CB_SETITEMDATA, wPosition, (LPARAM)npTable[wCount]);
        if (npTable[wCount] == dwCurrentSetting)
            SendMessageA(hCtrlWnd, CB_SETCURSEL, wPosition, 0);
    }
}

BOOL SettingsDlgInit(HWND hDlg)
{
    NPTTYINFO npTTYInfo = GetDlgRecord(hDlg);
    if (!npTTYInfo)
        return FALSE;
    HINSTANCE hInstance = (HINSTANCE)GetWindowLongPtrA(GetParent(hDlg), GWLP_HINSTANCE);
    if (!hInstance)
        hInstance = (HINSTANCE)GetWindowLongPtrA(hDlg, GWLP_HINSTANCE);
    char szTemp[81], szBuffer[81];

    HWND hPort = GetDlgItem(hDlg, IDD_PORTCB);
    if (!LoadStringA(hInstance, IDS_COMPREFIX, szTemp, sizeof szTemp))
        lstrcpynA(szTemp, "COM", sizeof szTemp);
    for (int i = 1; i <= 4; i++) {
        snprintf(szBuffer, sizeof szBuffer, "%s%d", szTemp, i);
        SendMessageA(hPort, CB_ADDSTRING, 0, (LPARAM)szBuffer);
    }
    // A port outside COM1..COM4 (from a saveinfo.cfg written elsewhere) has
    // no entry: the list is left without a selection.
    if (npTTYInfo->bPort >= 1 && npTTYInfo->bPort <= 4)
        SendMessageA(hPort, CB_SETCURSEL, (WPARAM)(npTTYInfo->bPort - 1), 0);
    else
        SendMessageA(hPort, CB_SETCURSEL, (WPARAM)-1, 0);
    EnableWindow(hPort, !npTTYInfo->fConnected);

    // A rate the list does not offer (from a damaged or hand-edited
    // saveinfo.cfg) shows the default instead, which Ok then keeps.
    DWORD dwShownRate = IsOfferedBaudRate(npTTYInfo->dwBaudRate) ? npTTYInfo->dwBaudRate : CBR_115200;
    FillComboBox(hInstance, GetDlgItem(hDlg, IDD_BAUDCB), IDS_BAUD9600, BaudTable, 5, dwShownRate);

    HWND hData = GetDlgItem(hDlg, IDD_DATABITSCB);
    for (int i = 5; i <= 8; i++) {
        snprintf(szBuffer, sizeof szBuffer, "%d", i);
        int nPos = (int)SendMessageA(hData, CB_ADDSTRING, 0, (LPARAM)szBuffer);
        if (i == npTTYInfo->bByteSize)
            SendMessageA(hData, CB_SETCURSEL, nPos, 0);
    }

    FillComboBox(hInstance, GetDlgItem(hDlg, IDD_PARITYCB), IDS_PARITYNONE, ParityTable, 5,
                 npTTYInfo->bParity);
    FillComboBox(hInstance, GetDlgItem(hDlg, IDD_STOPBITSCB), IDS_ONESTOPBIT, StopBitsTable, 1,
                 npTTYInfo->bStopBits);

    CheckDlgButton(hDlg, IDD_DTRDSR, (npTTYInfo->bFlowCtrl & FC_DTRDSR) ? BST_CHECKED : BST_UNCHECKED);
    CheckDlgButton(hDlg, IDD_RTSCTS, (npTTYInfo->bFlowCtrl & FC_RTSCTS) ? BST_CHECKED : BST_UNCHECKED);
    CheckDlgButton(hDlg, IDD_XONXOFF, (npTTYInfo->bFlowCtrl & FC_XONXOFF) ? BST_CHECKED : BST_UNCHECKED);
    CheckDlgButton(hDlg, IDD_AUTOWRAP, npTTYInfo->fAutoWrap ? BST_CHECKED : BST_UNCHECKED);
    CheckDlgButton(hDlg, IDD_NEWLINE, npTTYInfo->fNewLine ? BST_CHECKED : BST_UNCHECKED);
    CheckDlgButton(hDlg, IDD_LOCALECHO, npTTYInfo->fLocalEcho ? BST_CHECKED : BST_UNCHECKED);

    for (int id = IDD_DATABITSCB; id <= IDD_LOCALECHO; id++)
        EnableWindow(GetDlgItem(hDlg, id), FALSE);
    return TRUE;
}

BOOL SettingsDlgTerm(HWND hDlg)
{
    NPTTYINFO npTTYInfo = GetDlgRecord(hDlg);
    if (!npTTYInfo)
        return FALSE;

    // The port list is without a selection when the record's port has no
    // entry (a saveinfo.cfg written elsewhere): the port stays as it is.
    LRESULT lPort = SendDlgItemMessageA(hDlg, IDD_PORTCB, CB_GETCURSEL, 0, 0);
    if (lPort != CB_ERR)
        npTTYInfo->bPort = (BYTE)((WORD)lPort + 1);
    LRESULT lBaud = SendDlgItemMessageA(hDlg, IDD_BAUDCB, CB_GETCURSEL, 0, 0);
    if (lBaud != CB_ERR)
        npTTYInfo->dwBaudRate = (DWORD)SendDlgItemMessageA(hDlg, IDD_BAUDCB, CB_GETITEMDATA, lBaud, 0);

    SAVEINFO si = {};
    si.bPort = npTTYInfo->bPort;
    si.dwBaudRate = npTTYInfo->dwBaudRate;
    BOOL fSaved = WriteSaveInfo(&si);

    LRESULT lData = SendDlgItemMessageA(hDlg, IDD_DATABITSCB, CB_GETCURSEL, 0, 0);
    if (lData != CB_ERR)
        npTTYInfo->bByteSize = (BYTE)(lData + 5);
    LRESULT lParity = SendDlgItemMessageA(hDlg, IDD_PARITYCB, CB_GETCURSEL, 0, 0);
    if (lParity != CB_ERR)
        npTTYInfo->bParity = (BYTE)SendDlgItemMessageA(hDlg, IDD_PARITYCB, CB_GETITEMDATA, lParity, 0);
    LRESULT lStop = SendDlgItemMessageA(hDlg, IDD_STOPBITSCB, CB_GETCURSEL, 0, 0);
    if (lStop != CB_ERR)
        npTTYInfo->bStopBits = (BYTE)SendDlgItemMessageA(hDlg, IDD_STOPBITSCB, CB_GETITEMDATA, lStop, 0);

    BYTE bFlow = 0;
    if (IsDlgButtonChecked(hDlg, IDD_DTRDSR)) bFlow |= FC_DTRDSR;
    if (IsDlgButtonChecked(hDlg, IDD_RTSCTS)) bFlow |= FC_RTSCTS;
    if (IsDlgButtonChecked(hDlg, IDD_XONXOFF)) bFlow |= FC_XONXOFF;
    npTTYInfo->bFlowCtrl = bFlow;
    npTTYInfo->fAutoWrap = IsDlgButtonChecked(hDlg, IDD_AUTOWRAP) == BST_CHECKED;
    npTTYInfo->fNewLine = IsDlgButtonChecked(hDlg, IDD_NEWLINE) == BST_CHECKED;
    npTTYInfo->fLocalEcho = IsDlgButtonChecked(hDlg, IDD_LOCALECHO) == BST_CHECKED;
    // fUseCNReceive and fDisplayErrors have no boxes here: they stay as they are.

    // Told last: the record is not touched after the box, since a close
    // that arrives while it is up destroys the window and the record.
    if (!fSaved) {
        char szText[MAX_PATH + 100];
        snprintf(szText, sizeof szText, "The settings could not be saved in %s. They apply until Kelvo is closed.",
                 SaveInfoPath());
        KelvoMessage(hDlg, szText);
    }
    return fSaved;
}

BOOL SelectTTYFont(HWND hDlg)
{
    NPTTYINFO npTTYInfo = GetDlgRecord(hDlg);
    if (!npTTYInfo)
        return FALSE;
    // The font dialog writes into its font record while the user browses,
    // so it works on a copy: a cancelled choice must leave the session's
    // font description as it was (the next ResetTTYScreen builds from it).
    LOGFONTA lfChoice = npTTYInfo->lfTTYFont;
    CHOOSEFONTA cfTTYFont = {};
    cfTTYFont.lStructSize = sizeof cfTTYFont;
    cfTTYFont.hwndOwner = hDlg;
    cfTTYFont.hDC = NULL;
    cfTTYFont.lpLogFont = &lfChoice;
    cfTTYFont.Flags = CF_SCREENFONTS | CF_INITTOLOGFONTSTRUCT | CF_EFFECTS | CF_FIXEDPITCHONLY;
    cfTTYFont.rgbColors = npTTYInfo->rgbFGColor;
    cfTTYFont.hInstance = (HINSTANCE)GetWindowLongPtrA(hDlg, GWLP_HINSTANCE);
    // The font dialog ran a message loop of its own: the windows, and the
    // record with them, may have been closed meanwhile.
    if (ChooseFontA(&cfTTYFont) && (npTTYInfo = GetDlgRecord(hDlg)) != NULL) {
        npTTYInfo->lfTTYFont = lfChoice;
        npTTYInfo->rgbFGColor = cfTTYFont.rgbColors;
        ResetTTYScreen(GetParent(hDlg), npTTYInfo);
    }
    return TRUE;
}

INT_PTR CALLBACK SettingsDlgProc(HWND hDlg, UINT uMsg, WPARAM wParam, LPARAM lParam)
{
    switch (uMsg) {
    case WM_INITDIALOG:
        SetPropA(hDlg, SETTINGS_PROP, (HANDLE)lParam);
        return SettingsDlgInit(hDlg);
    case WM_COMMAND:
        switch (LOWORD(wParam)) {
        case IDOK:
            SettingsDlgTerm(hDlg);
            EndDialog(hDlg, TRUE);
            return TRUE;
        case IDCANCEL:
            EndDialog(hDlg, TRUE);
            return TRUE;
        case IDD_FONT:
            return SelectTTYFont(hDlg);
        default:
            return FALSE;
        }
    case WM_DESTROY:
        RemovePropA(hDlg, SETTINGS_PROP);
        return FALSE;
    default:
        return FALSE;
    }
}
