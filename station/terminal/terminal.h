// The terminal: the 80 x 25 character grid, painting, sizing, scrolling and
// the caret. WriteTTYBlock is the only way text reaches the screen.
#pragma once
#include "app/app.h"

#define CURSOR_HIDDEN 0
#define CURSOR_SHOWN  1

BOOL WriteTTYBlock(HWND hWnd, LPSTR lpBlock, int nLength);

BOOL ResetTTYScreen(HWND hWnd, NPTTYINFO npTTYInfo);
BOOL PaintTTY(HWND hWnd);
BOOL SizeTTY(HWND hWnd, WORD wVertSize, WORD wHorzSize);
BOOL ScrollTTYVert(HWND hWnd, WORD wScrollCmd, WORD wScrollPos);
BOOL ScrollTTYHorz(HWND hWnd, WORD wScrollCmd, WORD wScrollPos);
BOOL SetTTYFocus(HWND hWnd);
BOOL KillTTYFocus(HWND hWnd);
BOOL MoveTTYCursor(HWND hWnd);
