// The module popfile: the open-file dialog and the DLF loader.
#include <cstdio>
#include <cstdlib>
#include "download/download.h"
#include <commdlg.h>
#include "download/dlf.h"

char *pstrQelBuf;
DWORD dwQelLength;

static OPENFILENAMEA ofn;
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
    ofn.nMaxFile = 260;
    ofn.lpstrFileTitle = NULL;
    ofn.nMaxFileTitle = 512;
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

int PopFileOpenDlg(HWND hwnd, LPSTR pstrFileName, LPSTR pstrTitleName)
{
    ofn.hwndOwner = hwnd;
    ofn.lpstrFile = pstrFileName;
    ofn.lpstrFileTitle = pstrTitleName;
    ofn.Flags = OFN_HIDEREADONLY | OFN_CREATEPROMPT;
    return GetOpenFileNameA(&ofn);
}

// The stream's length; the position is put back where it was.
static long PopFileLength(FILE *file)
{
    long iCurrentPos = ftell(file);
    if (iCurrentPos < 0 || fseek(file, 0, SEEK_END) != 0)
        return -1;
    long iFileLength = ftell(file);
    fseek(file, iCurrentPos, SEEK_SET);
    return iFileLength;
}

int QelFileRead(LPCSTR pstrFileName)
{
    FILE *file = fopen(pstrFileName, "rb");
    if (!file)
        return 0;
    if (!DlfHeaderCheck(file)) {
        fclose(file);
        return 0;
    }
    long lLength = PopFileLength(file);
    if (lLength < 0) {
        fclose(file);
        return 0;
    }
    // Read the whole file into a new buffer first: the file loaded before
    // is released only once this one is in memory.
    char *pBuf = (char *)malloc(lLength ? (size_t)lLength : 1);
    if (!pBuf) {
        fclose(file);
        return 0;
    }
    size_t nRead = fread(pBuf, 1, (size_t)lLength, file);
    fclose(file);
    if (nRead != (size_t)lLength) {
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
