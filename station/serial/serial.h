// The serial port: connection lifecycle and block and byte I/O.
#pragma once
#include "app/app.h"

// Flow-control bits of bFlowCtrl.
#define FC_DTRDSR  0x01
#define FC_RTSCTS  0x02
#define FC_XONXOFF 0x04

BOOL OpenConnection(HWND hWnd);
BOOL SetupConnection(HWND hWnd);
BOOL CloseConnection(HWND hWnd);

// Requests the window thread makes of the watch thread (lPortRequest).
#define PORT_REQUEST_SETUP 1
// The watch thread carries out a pending request, between two port calls.
void ServePortRequests(NPTTYINFO npTTYInfo);

// Opens COMn (the name from string 784 and the number) exclusively for
// reading and writing; INVALID_HANDLE_VALUE when it cannot.
HANDLE OpenCommPort(HWND hWnd, BYTE bPort);

// How long one read or write of the port waits at most, in ms: the watch
// thread notices a Disconnect or a request within it. A write the target
// holds up is tried again until gdwWriteGiveUpMs (WRITE_GIVE_UP_MS; the tests
// shorten it) have passed. An idle line costs a read every READ_BOUND_MS;
// writes wait only while the target holds them up.
#define READ_BOUND_MS 100
#define WRITE_BOUND_MS 40
#define WRITE_GIVE_UP_MS 48000
extern DWORD gdwWriteGiveUpMs;

// The watch thread's reads and writes of the session's port. They take the
// record the thread holds: fetching it from a window of another thread would
// cost a round trip to the window system on every byte. ReadCommBlockOf
// waits up to READ_BOUND_MS for the bytes asked for and returns what came, or
// -1 when the read failed. WriteCommBytes is TRUE when all n bytes went out; FALSE otherwise, with
// GetLastError ERROR_TIMEOUT when the target held the rest up for
// gdwWriteGiveUpMs, ERROR_OPERATION_ABORTED when the session was closed
// meanwhile, or the port's error (written as a note) when a write failed.
int  ReadCommBlockOf(HWND hWnd, NPTTYINFO npTTYInfo, LPSTR lpszBlock, int nMaxLength);
BOOL WriteCommBytes(HWND hWnd, NPTTYINFO npTTYInfo, const BYTE *pb, DWORD n);

// The write time-out multiplier for a line speed: 19200 / baud, in ms per byte.
DWORD WriteTimeoutMultiplier(DWORD dwBaudRate);

// Writes the note "<CE-%u>" into the terminal. The same value again within a
// second is only counted; the count is shown with the next note written.
void WriteCommNote(HWND hWnd, NPTTYINFO npTTYInfo, DWORD dwValue);

// Waits until the last watch thread has ended (handling messages sent to the
// window meanwhile) and releases its handle. Returns at once when none runs.
void ReapWatchThread(HWND hWnd, NPTTYINFO npTTYInfo);
