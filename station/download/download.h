// Download: the file selection dialog, the DLF loader, and the session: the
// port watch thread that serves the target, and its start.
#pragma once
#include "app/app.h"

// The loaded file, from its first byte, and its length. Set by QelFileRead;
// StartSession hands it to the connection (TakeLoadedFile).
extern char *pstrQelBuf;
extern DWORD dwQelLength;

void PopFileInitialize(HWND hwnd);
// Runs the open-file dialog. pstrFileName (260 bytes, the full path) and
// pstrTitleName (512 bytes, the bare name) hold the previous choice, which is
// the initial name; 1 when a file was chosen, 0 (buffers as they were) otherwise.
int  PopFileOpenDlg(HWND hwnd, LPSTR pstrFileName, LPSTR pstrTitleName);
// Loads a DLF file whole into a new buffer: 1 on success, with pstrQelBuf and
// dwQelLength replaced; 0 for any failure, with both left as they were.
int  QelFileRead(LPCSTR pstrFileName);

// Hands the loaded file over to a connection: returns the buffer (or NULL)
// and its length, and leaves no file loaded.
char *TakeLoadedFile(DWORD *pdwLength);
// Gives a file back when its connection could not start.
void  ReturnLoadedFile(char *pBuf, DWORD dwLength);
// Releases a file buffer.
void  FreeLoadedFile(char *pBuf);

// Starts a session on the loaded file: opens the record's port
// (OpenConnection), hands the file to the connection and the port to a new
// watch thread, and returns once the thread serves it. FALSE when the port
// cannot be opened or the thread cannot begin; the file stays loaded then.
BOOL StartSession(HWND hWnd);
DWORD WINAPI CommWatchProc(LPVOID lpData);
