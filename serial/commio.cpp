// Overlapped block and byte I/O on the open port, with its error notes.
#include <algorithm>
#include <cstdio>
#include "serial/serial.h"
#include "terminal/terminal.h"

// Sends a diagnostic text to an attached debugger. Without one the text has
// no reader, and the call is not free: it costs more than the byte's own
// write, on every byte of a download.
static void DebugText(const char *pszText)
{
    if (IsDebuggerPresent())
        OutputDebugStringA(pszText);
}

void WriteCommNote(HWND hWnd, NPTTYINFO npTTYInfo, DWORD dwValue)
{
    // A device that fails every call at once would otherwise fill the
    // terminal faster than anyone can read: the same note within a second
    // is counted, and the count goes out with the next note that is written.
    DWORD dwNow = GetTickCount();
    if (dwValue == npTTYInfo->dwLastNote && npTTYInfo->dwNoteTick != 0 &&
        dwNow - npTTYInfo->dwNoteTick < 1000) {
        npTTYInfo->cNoteRepeats++;
        return;
    }
    char szNote[48];
    int nLength;
    if (npTTYInfo->cNoteRepeats)
        nLength = snprintf(szNote, sizeof szNote, "(%lu more)<CE-%lu>",
                           (unsigned long)npTTYInfo->cNoteRepeats, (unsigned long)dwValue);
    else
        nLength = snprintf(szNote, sizeof szNote, "<CE-%lu>", (unsigned long)dwValue);
    npTTYInfo->dwLastNote = dwValue;
    npTTYInfo->dwNoteTick = dwNow ? dwNow : 1;
    npTTYInfo->cNoteRepeats = 0;
    WriteTTYBlock(hWnd, szNote, nLength);
}

// Clears the port's error word and writes it as a note when line-error
// notes are wanted.
static void NoteLineErrors(HWND hWnd, NPTTYINFO npTTYInfo)
{
    DWORD dwErrorFlags = 0;
    COMSTAT comStat = {};
    ClearCommError(npTTYInfo->idComDev, &dwErrorFlags, &comStat);
    if (dwErrorFlags && npTTYInfo->fDisplayErrors)
        WriteCommNote(hWnd, npTTYInfo, dwErrorFlags);
}

void WaitPortOperation(NPTTYINFO npTTYInfo, OVERLAPPED *pos)
{
    if (HasOverlappedIoCompleted(pos))          // the usual case: done already
        return;
    HANDLE ahWait[2] = {pos->hEvent, npTTYInfo->hCloseEvent};
    if (WaitForMultipleObjects(2, ahWait, FALSE, INFINITE) == WAIT_OBJECT_0)
        return;
    // Closing: let an operation that is about to finish finish, then cancel.
    if (!npTTYInfo->fAbortWrites && WaitForSingleObject(pos->hEvent, 100) == WAIT_OBJECT_0)
        return;
    npTTYInfo->fAbortWrites = TRUE;
    CancelIoEx(npTTYInfo->idComDev, pos);
}

int ReadCommBlock(HWND hWnd, LPSTR lpszBlock, int nMaxLength)
{
    NPTTYINFO npTTYInfo = GETNPTTYINFO(hWnd);
    if (!npTTYInfo)
        return 0;
    return ReadCommBlockOf(hWnd, npTTYInfo, lpszBlock, nMaxLength);
}

int ReadCommBlockOf(HWND hWnd, NPTTYINFO npTTYInfo, LPSTR lpszBlock, int nMaxLength)
{
    DWORD dwErrorFlags = 0;
    COMSTAT comStat = {};
    ClearCommError(npTTYInfo->idComDev, &dwErrorFlags, &comStat);
    DWORD dwLength = std::min((DWORD)nMaxLength, (DWORD)comStat.cbInQue);
    if (nMaxLength <= 0 || dwLength == 0)
        return 0;

    if (ReadFile(npTTYInfo->idComDev, lpszBlock, dwLength, &dwLength, &npTTYInfo->osRead))
        return (int)dwLength;
    DWORD dwError = GetLastError();
    if (dwError != ERROR_IO_PENDING) {
        // A read refused at once (the device may have gone) is a failure
        // like any other: its code is noted, not only the line errors.
        WriteCommNote(hWnd, npTTYInfo, dwError);
        NoteLineErrors(hWnd, npTTYInfo);
        return 0;
    }
    DebugText("\n\rIO Pending");
    WaitPortOperation(npTTYInfo, &npTTYInfo->osRead);
    for (;;) {
        if (GetOverlappedResult(npTTYInfo->idComDev, &npTTYInfo->osRead, &dwLength, TRUE))
            return (int)dwLength;
        dwError = GetLastError();
        if (dwError == ERROR_IO_INCOMPLETE)
            continue;
        WriteCommNote(hWnd, npTTYInfo, dwError);
        NoteLineErrors(hWnd, npTTYInfo);
        return (int)dwLength;
    }
}

// One overlapped write of n bytes and its wait. Writers are serialised:
// osWrite serves one write at a time.
BOOL WriteCommBytes(HWND hWnd, NPTTYINFO npTTYInfo, const BYTE *pb, DWORD n)
{
    EnterCriticalSection(&npTTYInfo->csWrite);
    DWORD dwBytesWritten = 0, dwBytesSent = 0;
    BOOL fResult = TRUE;
    DWORD dwError = ERROR_SUCCESS;
    if (WriteFile(npTTYInfo->idComDev, pb, n, &dwBytesWritten, &npTTYInfo->osWrite)) {
        // done at once
    } else if ((dwError = GetLastError()) == ERROR_IO_PENDING) {
        WaitPortOperation(npTTYInfo, &npTTYInfo->osWrite);
        for (;;) {
            if (GetOverlappedResult(npTTYInfo->idComDev, &npTTYInfo->osWrite, &dwBytesWritten, TRUE))
                break;
            dwError = GetLastError();
            if (dwError == ERROR_IO_INCOMPLETE) {
                dwBytesSent += dwBytesWritten;
                continue;
            }
            WriteCommNote(hWnd, npTTYInfo, dwError);
            NoteLineErrors(hWnd, npTTYInfo);
            break;
        }
        dwBytesSent += dwBytesWritten;
        char szDebug[64];
        if (dwBytesSent == n)
            snprintf(szDebug, sizeof szDebug, "\n%ld bytes written", (long)dwBytesSent);
        else
            snprintf(szDebug, sizeof szDebug, "\nProbable Write Timeout: Total of %ld bytes sent",
                     (long)dwBytesSent);
        DebugText(szDebug);
    } else {
        // Refused at once (the device may have gone): note the code, since
        // the error word of a vanished device is empty.
        WriteCommNote(hWnd, npTTYInfo, dwError);
        NoteLineErrors(hWnd, npTTYInfo);
        fResult = FALSE;
    }
    LeaveCriticalSection(&npTTYInfo->csWrite);
    return fResult;
}

BOOL WriteCommBlock(HWND hWnd, LPSTR lpByte, DWORD dwBytesToWrite)
{
    NPTTYINFO npTTYInfo = GETNPTTYINFO(hWnd);
    if (!npTTYInfo)
        return FALSE;
    return WriteCommBytes(hWnd, npTTYInfo, (const BYTE *)lpByte, dwBytesToWrite);
}

BOOL WriteCommByte(HWND hWnd, BYTE byData)
{
    NPTTYINFO npTTYInfo = GETNPTTYINFO(hWnd);
    if (!npTTYInfo)
        return FALSE;
    return WriteCommBytes(hWnd, npTTYInfo, &byData, 1);
}
