// Kelvo.exe's entry point.
#include "app/app.h"

int WINAPI WinMain(HINSTANCE hInstance, HINSTANCE hPrevInstance, LPSTR lpszCmdLine, int nCmdShow)
{
    return KelvoMain(hInstance, hPrevInstance, lpszCmdLine, nCmdShow);
}
