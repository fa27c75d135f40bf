// refloop: the smallest loops that serve a target the way Kelvo does, for
// comparison in the benchmarks. Each opens the port with Kelvo's line
// settings, runs every received byte through the same protocol step and
// writes each answer as it comes:
//
//   refloop COMn FILE.dlf [BAUD]          the reference: polls the queue
//       without waiting (ClearCommError, read what is queued, at most 80
//       bytes) on an overlapped port, one overlapped write per answer
//   refloop --floor COMn FILE.dlf [BAUD]  the fastest loop found under Wine:
//       a synchronous port, one byte read at a time (the read returns with
//       it, or after 100 ms), answered with synchronous writes
//   refloop --floor-1 COMn FILE.dlf [BAUD]  the same, the read waiting
//       without a bound (all time-outs 0)
//
// Exit status 0 on the target's completion notice.
#include <windows.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>
#include "core/core.h"

enum Mode { kReference, kFloor, kFloorOne };

int main(int argc, char **argv)
{
    Mode mode = kReference;
    if (argc > 1 && !strcmp(argv[1], "--floor"))
        mode = kFloor, argv++, argc--;
    else if (argc > 1 && !strcmp(argv[1], "--floor-1"))
        mode = kFloorOne, argv++, argc--;
    if (argc < 3) {
        fprintf(stderr, "usage: refloop [--floor|--floor-1] COMn FILE.dlf [BAUD]\n");
        return 2;
    }
    FILE *fp = fopen(argv[2], "rb");
    if (!fp)
        return 1;
    std::vector<unsigned char> file;
    unsigned char buf[65536];
    for (size_t n; (n = fread(buf, 1, sizeof buf, fp)) > 0;)
        file.insert(file.end(), buf, buf + n);
    fclose(fp);

    const bool fSync = mode != kReference;
    HANDLE h = CreateFileA(argv[1], GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL | (fSync ? 0 : FILE_FLAG_OVERLAPPED), NULL);
    if (h == INVALID_HANDLE_VALUE)
        return 1;
    SetupComm(h, 4096, 4096);
    PurgeComm(h, PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR);
    COMMTIMEOUTS cto = {MAXDWORD, 0, 48000, 0, 48000};
    if (mode == kFloor)
        cto.ReadTotalTimeoutMultiplier = MAXDWORD, cto.ReadTotalTimeoutConstant = 100;
    if (mode == kFloorOne)
        cto = COMMTIMEOUTS{0, 0, 0, 0, 0};
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
        char abIn[80];
        DWORD dwRead = 0;
        if (fSync) {
            ReadFile(h, abIn, 1, &dwRead, NULL);
        } else {
            DWORD dwErrors = 0;
            COMSTAT cs = {};
            ClearCommError(h, &dwErrors, &cs);
            DWORD dwLen = cs.cbInQue < 80 ? cs.cbInQue : 80;
            if (dwLen && !ReadFile(h, abIn, dwLen, &dwRead, &osRead) && GetLastError() == ERROR_IO_PENDING)
                GetOverlappedResult(h, &osRead, &dwRead, TRUE);
        }
        for (DWORD i = 0; i < dwRead; i++) {
            DLSTEP step;
            DlStepByte(&state, file.data(), (uint32_t)file.size(), (unsigned char)abIn[i], &step);
            for (int e = 0; e < step.nEffects; e++) {
                DWORD n = 0;
                BYTE b = (BYTE)step.aEffect[e].value;
                if (step.aEffect[e].kind == DLE_COMPLETE) {
                    CloseHandle(h);
                    return 0;
                }
                if (step.aEffect[e].kind == DLE_SEND &&
                    !WriteFile(h, &b, 1, &n, fSync ? NULL : &osWrite) && GetLastError() == ERROR_IO_PENDING)
                    GetOverlappedResult(h, &osWrite, &n, TRUE);
            }
        }
    }
}
