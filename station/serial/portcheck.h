// One owner for the port: while a session runs, the watch thread is the only
// thread that calls anything on the session's handle. On Windows a handle
// opened without FILE_FLAG_OVERLAPPED serialises every request on it, so a
// call from the window thread would wait behind the watch thread's read;
// Wine does not serialise, and nothing there would show the wait.
//
// The test build (KELVO_PORT_CHECK) makes the rule a check: every port call
// in the files that include this header notes its thread, and a call on the
// session's handle from any other thread than the session's owner is
// recorded for the tests to see. So is a second close of a session's
// handle: the value may already name another object, which that close would
// take from its owner. In Kelvo.exe all of this compiles to nothing.
#pragma once
#include <windows.h>

#ifdef KELVO_PORT_CHECK

// The session's handle hPort belongs to thread dwOwner from now on, until
// PortCheckEnd(hPort). Its closes are counted until an open returns the
// same value again.
void PortCheckBegin(HANDLE hPort, DWORD dwOwner);
void PortCheckEnd(HANDLE hPort);
// Notes a call named pszWhat on h from the calling thread.
void PortCheckCall(HANDLE h, const char *pszWhat);
// Notes the name a device is opened by: Windows knows COM10 and above only
// in the form \\.\COMn (Wine takes the bare name as well). Returns h, the
// handle the open gave.
HANDLE PortCheckOpen(const char *pszName, HANDLE h);
// What was recorded since the last call ("" when nothing was), and forgets it.
const char *PortCheckFindings(void);

#define PORT_CHECKED(h, what, call) (PortCheckCall((h), what), call)
#define ReadFile(h, ...)           PORT_CHECKED(h, "ReadFile", ReadFile(h, __VA_ARGS__))
#define WriteFile(h, ...)          PORT_CHECKED(h, "WriteFile", WriteFile(h, __VA_ARGS__))
#define ClearCommError(h, ...)     PORT_CHECKED(h, "ClearCommError", ClearCommError(h, __VA_ARGS__))
#define SetCommMask(h, ...)        PORT_CHECKED(h, "SetCommMask", SetCommMask(h, __VA_ARGS__))
#define GetCommState(h, ...)       PORT_CHECKED(h, "GetCommState", GetCommState(h, __VA_ARGS__))
#define SetCommState(h, ...)       PORT_CHECKED(h, "SetCommState", SetCommState(h, __VA_ARGS__))
#define SetCommTimeouts(h, ...)    PORT_CHECKED(h, "SetCommTimeouts", SetCommTimeouts(h, __VA_ARGS__))
#define SetupComm(h, ...)          PORT_CHECKED(h, "SetupComm", SetupComm(h, __VA_ARGS__))
#define PurgeComm(h, ...)          PORT_CHECKED(h, "PurgeComm", PurgeComm(h, __VA_ARGS__))
#define EscapeCommFunction(h, ...) PORT_CHECKED(h, "EscapeCommFunction", EscapeCommFunction(h, __VA_ARGS__))
#define CloseHandle(h)             PORT_CHECKED(h, "CloseHandle", CloseHandle(h))
#define CreateFileA(name, ...)     PortCheckOpen(name, CreateFileA(name, __VA_ARGS__))

#else

#define PortCheckBegin(hPort, dwOwner) ((void)0)
#define PortCheckEnd(hPort) ((void)0)

#endif
