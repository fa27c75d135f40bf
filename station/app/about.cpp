// The about box and the one routine that runs the main window's modal dialogs.
#include "app/app.h"

void GoModalDialogBoxParam(HINSTANCE hInstance, LPCSTR lpszTemplate, HWND hWnd,
                           DLGPROC lpDlgProc, LPARAM lParam)
{
    DLGPROC lpProcInstance = lpDlgProc;
    DialogBoxParamA(hInstance, lpszTemplate, hWnd, lpProcInstance, lParam);
}

// Paints bitmap 500 at (10, 10) with a 64 x 64 extent (the bitmap is 32 x 32). The bitmap is
// loaded and released on every paint; nothing is kept between paints.
static void PaintAboutBitmap(HWND hDlg)
{
    PAINTSTRUCT ps;
    HDC hDC = BeginPaint(hDlg, &ps);
    HDC hMemDC = CreateCompatibleDC(hDC);
    if (hMemDC) {
        HINSTANCE hInstance = (HINSTANCE)GetWindowLongPtrA(hDlg, GWLP_HINSTANCE);
        HBITMAP hBitMap = LoadBitmapA(hInstance, MAKEINTRESOURCEA(IDB_KELVO));
        if (hBitMap) {
            HGDIOBJ hOld = SelectObject(hMemDC, hBitMap);
            BitBlt(hDC, 10, 10, 64, 64, hMemDC, 0, 0, SRCCOPY);
            SelectObject(hMemDC, hOld);
            DeleteObject(hBitMap);
        }
        DeleteDC(hMemDC);
    }
    EndPaint(hDlg, &ps);
}

INT_PTR CALLBACK AboutDlgProc(HWND hDlg, UINT uMsg, WPARAM wParam, LPARAM)
{
    switch (uMsg) {
    case WM_INITDIALOG:
        ShowWindow(GetDlgItem(hDlg, IDD_ICON), SW_HIDE);
        return TRUE;
    case WM_PAINT:
        PaintAboutBitmap(hDlg);
        return FALSE;
    case WM_COMMAND:
        // Only OK (or Enter) closes the box; Escape and the close box do not.
        if (LOWORD(wParam) == IDOK) {
            EndDialog(hDlg, TRUE);
            return TRUE;
        }
        return FALSE;
    default:
        return FALSE;
    }
}
