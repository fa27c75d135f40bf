// Reads and writes of the open port, with their error notes.
#include <cstdio>
#include "serial/serial.h"
#include "terminal/terminal.h"
#include "serial/portcheck.h"

DWORD gdwWriteGiveUpMs = WRITE_GIVE_UP_MS;

// Sends a diagnostic of the port (a write given up) to an attached
// debugger, for a developer watching the line. Without a debugger it sends
// nothing: the text would have no reader.
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

// Reads up to nMaxLength bytes. The port is synchronous, and its read
// time-outs (set by OpenConnection) make a read return as soon as the bytes
// asked for have arrived, or after READ_BOUND_MS with what there is. So the
// target's byte is handed on the moment it arrives, with no event to wait
// for afterwards, which matters for a protocol that answers every byte;
// and no read waits longer than the bound, so the watch thread sees a
// Disconnect in time (nothing else can release a read that waits).
int ReadCommBlockOf(HWND hWnd, NPTTYINFO npTTYInfo, LPSTR lpszBlock, int nMaxLength)
{
    DWORD dwRead = 0;
    if (nMaxLength <= 0)
        return 0;
    if (ReadFile(npTTYInfo->idComDev, lpszBlock, (DWORD)nMaxLength, &dwRead, NULL))
        return (int)dwRead;
    // A read refused (the device may have gone) is noted with its code: the
    // error word of a vanished device is empty.
    WriteCommNote(hWnd, npTTYInfo, GetLastError());
    NoteLineErrors(hWnd, npTTYInfo);
    return -1;
}

// Synchronous writes of n bytes. Writers are serialised, so that a line of
// one never interleaves with another's. A write the target holds up (XOFF)
// ends after the port's write bound with the rest unsent; it is tried again
// (requests of the window thread are served meanwhile) until the target lets
// it through, the connection closes, or gdwWriteGiveUpMs have passed: then
// the rest is given up, and the caller learns so (a byte the target waits for
// is lost, and the session cannot go on).
BOOL WriteCommBytes(HWND hWnd, NPTTYINFO npTTYInfo, const BYTE *pb, DWORD n)
{
    EnterCriticalSection(&npTTYInfo->csWrite);
    DWORD dwWritten = 0, dwSent = 0, dwStart = GetTickCount(), dwError = ERROR_SUCCESS;
    for (;;) {
        if (!WriteFile(npTTYInfo->idComDev, pb + dwSent, n - dwSent, &dwWritten, NULL)) {
            dwError = GetLastError();
            WriteCommNote(hWnd, npTTYInfo, dwError);
            NoteLineErrors(hWnd, npTTYInfo);
            break;
        }
        if ((dwSent += dwWritten) == n)
            break;
        if (!npTTYInfo->fConnected) {
            dwError = ERROR_OPERATION_ABORTED;
            break;
        }
        if (GetTickCount() - dwStart >= gdwWriteGiveUpMs) {
            char szDebug[64];
            snprintf(szDebug, sizeof szDebug, "\nProbable Write Timeout: Total of %ld bytes sent", (long)dwSent);
            DebugText(szDebug);
            dwError = ERROR_TIMEOUT;
            break;
        }
        ServePortRequests(npTTYInfo);
    }
    LeaveCriticalSection(&npTTYInfo->csWrite);
    SetLastError(dwError);
    return dwError == ERROR_SUCCESS;
}
