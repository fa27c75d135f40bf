// refloop: the smallest loop that serves a target the way Kelvo does, for
// comparison in the benchmarks. It opens the port with Kelvo's settings and
// polls without ever waiting: ClearCommError, read what is queued (at most
// 80 bytes), run each byte through the same protocol step, and write every
// answer as its own one-byte overlapped write.
//
//   refloop COMn FILE.dlf [BAUD]     exit 0 on the target's completion notice
#include <windows.h>
#include <cstdio>
#include <cstdlib>
#include <vector>
#include "download/protocol.h"

static void WriteByte(HANDLE h, OVERLAPPED *pos, BYTE b)
{
    DWORD n = 0;
    if (!WriteFile(h, &b, 1, &n, pos) && GetLastError() == ERROR_IO_PENDING)
        GetOverlappedResult(h, pos, &n, TRUE);
}

int main(int argc, char **argv)
{
    if (argc < 3) {
        fprintf(stderr, "usage: refloop COMn FILE.dlf [BAUD]\n");
        return 2;
    }
    FILE *fp = fopen(argv[2], "rb");
    if (!fp)
        return 1;
    std::vector<unsigned char> file;
    unsigned char buf[65536];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, fp)) > 0)
        file.insert(file.end(), buf, buf + n);
    fclose(fp);

    HANDLE h = CreateFileA(argv[1], GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, NULL);
    if (h == INVALID_HANDLE_VALUE)
        return 1;
    SetupComm(h, 4096, 4096);
    PurgeComm(h, PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR);
    COMMTIMEOUTS cto = {MAXDWORD, 0, 48000, 0, 48000};
    SetCommTimeouts(h, &cto);
    DCB dcb = {};
    dcb.DCBlength = sizeof dcb;
    GetCommState(h, &dcb);
    dcb.BaudRate = argc > 3 ? (DWORD)atol(argv[3]) : 115200;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    dcb.fOutX = dcb.fInX = TRUE;
    dcb.XonChar = 0x11;
    dcb.XoffChar = 0x13;
    dcb.XonLim = dcb.XoffLim = 100;
    dcb.fBinary = TRUE;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    SetCommState(h, &dcb);

    OVERLAPPED osRead = {}, osWrite = {};
    osRead.hEvent = CreateEventA(NULL, TRUE, FALSE, NULL);
    osWrite.hEvent = CreateEventA(NULL, TRUE, FALSE, NULL);
    DLSTATE state;
    DlInit(&state);
    for (;;) {
        DWORD dwErrors = 0;
        COMSTAT cs = {};
        ClearCommError(h, &dwErrors, &cs);
        DWORD dwLen = cs.cbInQue < 80 ? cs.cbInQue : 80;
        if (!dwLen)
            continue;
        char abIn[80];
        DWORD dwRead = 0;
        if (!ReadFile(h, abIn, dwLen, &dwRead, &osRead) && GetLastError() == ERROR_IO_PENDING)
            GetOverlappedResult(h, &osRead, &dwRead, TRUE);
        for (DWORD i = 0; i < dwRead; i++) {
            DLSTEP step;
            DlStepByte(&state, file.data(), (uint32_t)file.size(), (unsigned char)abIn[i], &step);
            for (int e = 0; e < step.nEffects; e++) {
                if (step.aEffect[e].kind == DLE_SEND)
                    WriteByte(h, &osWrite, (BYTE)step.aEffect[e].value);
                else if (step.aEffect[e].kind == DLE_COMPLETE) {
                    CloseHandle(h);
                    return 0;
                }
            }
        }
    }
}
