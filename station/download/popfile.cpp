// The module popfile: the open-file dialog and the DLF loader.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include "download/download.h"
#include <commdlg.h>
#include "core/core.h"

char *pstrQelBuf;
DWORD dwQelLength;

static OPENFILENAMEA ofn;
// Sizes of the caller's buffers: the full path and the bare file name.
enum { kFileNameMax = 260, kTitleNameMax = 512 };
static char szFilter[47] = "Data Files (*.DLF)\0*.dlf\0All Files (*.*)\0*.*\0";

void PopFileInitialize(HWND hwnd)
{
    ofn = OPENFILENAMEA{};
    ofn.lStructSize = OPENFILENAME_SIZE_VERSION_400A;   // the record without the later extension fields
    ofn.hwndOwner = hwnd;
    ofn.hInstance = NULL;
    ofn.lpstrFilter = szFilter;
    ofn.lpstrCustomFilter = NULL;
    ofn.nMaxCustFilter = 0;
    ofn.nFilterIndex = 0;
    ofn.lpstrFile = NULL;
    ofn.nMaxFile = kFileNameMax;
    ofn.lpstrFileTitle = NULL;
    ofn.nMaxFileTitle = kTitleNameMax;
    ofn.lpstrInitialDir = NULL;
    ofn.lpstrTitle = NULL;
    ofn.Flags = 0;
    ofn.nFileOffset = 0;
    ofn.nFileExtension = 0;
    ofn.lpstrDefExt = "txt";
    ofn.lCustData = 0;
    ofn.lpfnHook = NULL;
    ofn.lpTemplateName = NULL;
}

// The caller's buffers hold ofn.nMaxFile and ofn.nMaxFileTitle bytes; they
// keep the previous choice, which is the dialog's initial name.
int PopFileOpenDlg(HWND hwnd, LPSTR pstrFileName, LPSTR pstrTitleName)
{
    // When the dialog fails (a chosen path longer than the buffer, for one)
    // it may leave a size count in the name buffer; keep the previous choice
    // instead, so the next dialog does not start from binary garbage.
    char szOldFile[kFileNameMax];
    char szOldTitle[kTitleNameMax];
    memcpy(szOldFile, pstrFileName, sizeof szOldFile);
    memcpy(szOldTitle, pstrTitleName, sizeof szOldTitle);

    ofn.hwndOwner = hwnd;
    ofn.lpstrFile = pstrFileName;
    ofn.lpstrFileTitle = pstrTitleName;
    ofn.Flags = OFN_HIDEREADONLY | OFN_CREATEPROMPT;
    if (GetOpenFileNameA(&ofn))
        return 1;
    memcpy(pstrFileName, szOldFile, sizeof szOldFile);
    memcpy(pstrTitleName, szOldTitle, sizeof szOldTitle);
    return 0;
}

// The stream's length; the position is put back where it was.
static long PopFileLength(FILE *file)
{
    long iCurrentPos = ftell(file);
    if (iCurrentPos < 0 || fseek(file, 0, SEEK_END) != 0)
        return -1;
    long iFileLength = ftell(file);
    if (fseek(file, iCurrentPos, SEEK_SET) != 0)
        return -1;
    return iFileLength;
}

int QelFileRead(LPCSTR pstrFileName)
{
    if (!pstrFileName || !pstrFileName[0])
        return 0;
    FILE *file = fopen(pstrFileName, "rb");
    if (!file)
        return 0;
    long lLength = PopFileLength(file);
    char *pBuf = lLength >= 0 ? (char *)malloc(lLength ? (size_t)lLength : 1) : NULL;
    size_t nRead = pBuf ? fread(pBuf, 1, (size_t)lLength, file) : 0;
    fclose(file);
    // The check runs on the bytes loaded, the very bytes the watch thread
    // sends: a file rewritten while it is read cannot pass with bytes that
    // were never checked. The file loaded before is released only once this
    // one is in memory and checked.
    if (!pBuf || nRead != (size_t)lLength || DlfInspectBytes((const unsigned char *)pBuf, nRead, NULL) != DLF_OK) {
        free(pBuf);
        return 0;
    }
    free(pstrQelBuf);
    pstrQelBuf = pBuf;
    dwQelLength = (DWORD)lLength;
    return 1;
}

char *TakeLoadedFile(DWORD *pdwLength)
{
    char *pBuf = pstrQelBuf;
    *pdwLength = pBuf ? dwQelLength : 0;
    pstrQelBuf = NULL;
    return pBuf;
}

void ReturnLoadedFile(char *pBuf, DWORD dwLength)
{
    if (!pBuf)
        return;
    free(pstrQelBuf);
    pstrQelBuf = pBuf;
    dwQelLength = dwLength;
}

void FreeLoadedFile(char *pBuf)
{
    free(pBuf);
}
