// The serial port: connection lifecycle and block and byte I/O. What runs
// over the port is not its concern: a session (download/) opens the port
// here, hands it over to the thread that owns it from then on, and uses the
// reads and writes below.
#pragma once
#include "app/app.h"

// Flow-control bits of bFlowCtrl.
#define FC_DTRDSR  0x01
#define FC_RTSCTS  0x02
#define FC_XONXOFF 0x04

// Opens the record's port (COMn, n = bPort) and sets it up: queues,
// time-outs and line settings. The port (idComDev) is then the calling
// thread's until HandPortOver. FALSE, with no port open, while a connection
// is open, for a baud rate of 0, or when the port cannot be opened or
// refuses the line settings.
BOOL OpenConnection(HWND hWnd);
// Writes the record's line settings into the open port; while an owner
// thread runs, it asks that thread to (lPortRequest) and waits for it.
BOOL SetupConnection(HWND hWnd);
// Ends the connection: clears fConnected, waits for the owner thread's end,
// then drops DTR, purges and closes the port (unless the owner thread did)
// and sets the menu back to Connect.
BOOL CloseConnection(HWND hWnd);

// Hands the port OpenConnection opened over to the thread dwThreadID,
// created suspended: records it in the session record as the port's owner,
// raises DTR and shows the connection in the menu. From the thread's start
// on only that thread calls anything on the port.
void HandPortOver(HWND hWnd, NPTTYINFO npTTYInfo, HANDLE hThread, DWORD dwThreadID);
// Closes a port OpenConnection opened that was never handed over.
void DiscardPort(NPTTYINFO npTTYInfo);

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

// Waits until the watch thread hThread has ended (0) or hEvent, when not
// NULL, is set (1), handling messages sent to the window meanwhile.
int  WaitForWatchThread(HWND hWnd, NPTTYINFO npTTYInfo, HANDLE hThread, HANDLE hEvent);
// Waits until the last watch thread has ended (handling messages sent to the
// window meanwhile) and releases its handle. Returns at once when none runs.
void ReapWatchThread(HWND hWnd, NPTTYINFO npTTYInfo);
