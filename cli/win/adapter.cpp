// The device behind a COM port, from the registry (see win.h).
#include "win.h"

#include <windows.h>

#include <cctype>
#include <climits>
#include <cstdio>
#include <cstring>

namespace {

const char kEnum[] = "SYSTEM\\CurrentControlSet\\Enum";
const char kPrefix[] = "\\\\.\\";    // \\.\COM12

// What the walk of Enum has found so far.
struct PORTSEARCH {
    const char *pszPort;        // the bare COM name
    char szPath[sizeof WINADAPTER::szInstance];    // the instance ID of the key being looked at
    char szFirst[sizeof WINADAPTER::szInstance];   // the first instance that names the port; empty when none yet
    bool bPresent;              // szFirst is a device present now: the walk is over
};

// The REG_SZ value pszValue of h into psz, always terminated. False (psz
// empty) when it is missing, of another type or longer than psz.
bool RegText(HKEY h, const char *pszValue, char *psz, DWORD cb)
{
    DWORD dwType = 0, cbData = cb - 1;
    LONG lr = RegQueryValueExA(h, pszValue, NULL, &dwType, (BYTE *)psz, &cbData);
    if (lr != ERROR_SUCCESS || dwType != REG_SZ) {
        psz[0] = '\0';
        return false;
    }
    psz[cbData] = '\0';     // the stored string need not carry its terminator
    return true;
}

// The REG_DWORD value pszValue of the key pszKey (below HKLM), or -1.
int RegNumber(const char *pszKey, const char *pszValue)
{
    HKEY h;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, pszKey, 0, KEY_READ, &h) != ERROR_SUCCESS)
        return -1;
    DWORD dwType = 0, dw = 0, cb = sizeof dw;
    LONG lr = RegQueryValueExA(h, pszValue, NULL, &dwType, (BYTE *)&dw, &cb);
    RegCloseKey(h);
    if (lr != ERROR_SUCCESS || dwType != REG_DWORD || cb != sizeof dw || dw > INT_MAX)
        return -1;
    return (int)dw;
}

// Whether h has the subkey pszSub and it can be read.
bool HasSubkey(HKEY h, const char *pszSub)
{
    HKEY hSub;
    if (RegOpenKeyExA(h, pszSub, 0, KEY_READ, &hSub) != ERROR_SUCCESS)
        return false;
    RegCloseKey(hSub);
    return true;
}

// Looks at the instance key h: does its Device Parameters name the port?
void LookAtInstance(HKEY h, PORTSEARCH *ps)
{
    HKEY hParams;
    if (RegOpenKeyExA(h, "Device Parameters", 0, KEY_READ, &hParams) != ERROR_SUCCESS)
        return;
    char szName[64];
    bool bMatch = RegText(hParams, "PortName", szName, sizeof szName) && _stricmp(szName, ps->pszPort) == 0;
    RegCloseKey(hParams);
    if (!bMatch)
        return;
    // Enum keeps the keys of devices that were plugged in once; those of
    // the devices present now hold the volatile subkey Control.
    ps->bPresent = HasSubkey(h, "Control");
    if (ps->bPresent || !ps->szFirst[0])
        memcpy(ps->szFirst, ps->szPath, sizeof ps->szFirst);
}

// Walks the subkeys of h, nLevels above the instance keys, adding each
// subkey's name to ps->szPath on the way down. Keys that cannot be opened,
// and names too long for the path, are passed over.
void Walk(HKEY h, int nLevels, PORTSEARCH *ps)
{
    if (nLevels == 0) {
        LookAtInstance(h, ps);
        return;
    }
    size_t cchPath = strlen(ps->szPath);
    char szName[256];    // the longest name of a key, 255 characters
    for (DWORD i = 0; !ps->bPresent; i++) {
        DWORD cchName = sizeof szName;
        LONG lr = RegEnumKeyExA(h, i, szName, &cchName, NULL, NULL, NULL, NULL);
        if (lr == ERROR_MORE_DATA)
            continue;
        if (lr != ERROR_SUCCESS)
            break;      // ERROR_NO_MORE_ITEMS, or the key has gone
        int n = snprintf(ps->szPath + cchPath, sizeof ps->szPath - cchPath, "%s%s", cchPath ? "\\" : "", szName);
        if (n < 0 || (size_t)n >= sizeof ps->szPath - cchPath)
            continue;
        HKEY hSub;
        if (RegOpenKeyExA(h, szName, 0, KEY_READ, &hSub) == ERROR_SUCCESS) {
            Walk(hSub, nLevels - 1, ps);
            RegCloseKey(hSub);
        }
    }
    ps->szPath[cchPath] = '\0';
}

// The full path below HKLM of the instance's Device Parameters.
void ParamsKey(const WINADAPTER *pa, char *psz, size_t cb)
{
    snprintf(psz, cb, "%s\\%s\\Device Parameters", kEnum, pa->szInstance);
}

// The four hex digits after pszTag ("VID_") in s, in lower case; empty
// when s has none. The tag is looked for in any case.
std::string HexAfter(const std::string &s, const char *pszTag)
{
    size_t cchTag = strlen(pszTag);
    for (size_t i = 0; i + cchTag + 4 <= s.size(); i++) {
        if (_strnicmp(s.c_str() + i, pszTag, cchTag) != 0)
            continue;
        std::string hex = s.substr(i + cchTag, 4);
        bool bHex = true;
        for (char &c : hex) {
            bHex = bHex && isxdigit((unsigned char)c);
            c = (char)tolower((unsigned char)c);
        }
        if (bHex)
            return hex;
    }
    return "";
}

// A text as the registry keeps it, without the "@file.inf,%key%;" that
// points at the INF file it came from.
std::string WithoutInfPrefix(const char *psz)
{
    const char *pszSemi = psz[0] == '@' ? strrchr(psz, ';') : NULL;
    return pszSemi ? pszSemi + 1 : psz;
}

// The serial number in the instance ID's parts (the rule is in win.h).
std::string SerialOf(const std::string &enumerator, const std::string &device, const std::string &instance)
{
    std::string serial;
    if (_stricmp(enumerator.c_str(), "USB") == 0) {
        serial = instance;
    } else {
        size_t plus1 = device.find('+');
        size_t plus2 = plus1 == std::string::npos ? plus1 : device.find('+', plus1 + 1);
        if (plus2 != std::string::npos)
            serial = device.substr(plus2 + 1);
        if (!serial.empty() && serial.back() == 'A')
            serial.pop_back();
    }
    return serial.find('&') == std::string::npos ? serial : "";
}

} // namespace

bool WinAdapterFind(const char *pszPort, WINADAPTER *pa)
{
    memset(pa, 0, sizeof *pa);
    pa->msLatency = -1;
    PORTSEARCH s;
    memset(&s, 0, sizeof s);
    s.pszPort = _strnicmp(pszPort, kPrefix, sizeof kPrefix - 1) == 0 ? pszPort + sizeof kPrefix - 1 : pszPort;
    if (!s.pszPort[0])
        return false;
    HKEY hEnum;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kEnum, 0, KEY_READ, &hEnum) != ERROR_SUCCESS)
        return false;
    Walk(hEnum, 3, &s);
    RegCloseKey(hEnum);
    if (!s.szFirst[0])
        return false;
    memcpy(pa->szInstance, s.szFirst, sizeof pa->szInstance);
    char szKey[512];
    ParamsKey(pa, szKey, sizeof szKey);
    pa->msLatency = RegNumber(szKey, "LatencyTimer");
    return true;
}

bool WinLatencyWrite(const WINADAPTER *pa, int ms, unsigned long *pdwErr)
{
    DWORD dwErr = ERROR_SUCCESS;
    HKEY h;
    char szKey[512];
    ParamsKey(pa, szKey, sizeof szKey);
    if (!pa->szInstance[0] || pa->msLatency < 0) {
        // A value the driver does not read would only be left behind.
        dwErr = ERROR_FILE_NOT_FOUND;
    } else if (ms < 0) {
        dwErr = ERROR_INVALID_PARAMETER;
    } else {
        dwErr = (DWORD)RegOpenKeyExA(HKEY_LOCAL_MACHINE, szKey, 0, KEY_SET_VALUE, &h);
        if (dwErr == ERROR_SUCCESS) {
            DWORD dw = (DWORD)ms;
            dwErr = (DWORD)RegSetValueExA(h, "LatencyTimer", 0, REG_DWORD, (const BYTE *)&dw, sizeof dw);
            RegCloseKey(h);
        }
    }
    if (pdwErr)
        *pdwErr = dwErr;
    return dwErr == ERROR_SUCCESS;
}

void WinLatencyAdvice(const WINADAPTER *pa, char *psz, size_t cb)
{
    snprintf(psz, cb,
             "  the driver keeps it as LatencyTimer (ms) in the registry key\n"
             "    HKLM\\%s\\%s\\Device Parameters\n"
             "  to make 1 ms stick, run as administrator:\n"
             "    reg add \"HKLM\\%s\\%s\\Device Parameters\" /v LatencyTimer /t REG_DWORD /d 1 /f\n"
             "  the driver reads it when the device starts: unplug the adapter and plug it in again\n"
             "  or in Device Manager: the port's Properties, Port Settings, Advanced, Latency Timer",
             kEnum, pa->szInstance, kEnum, pa->szInstance);
}

PORTID WinPortIdentify(const WINADAPTER *pa)
{
    PORTID id;
    id.stable = pa->szInstance;
    std::string path = pa->szInstance;
    size_t slash1 = path.find('\\');
    size_t slash2 = slash1 == std::string::npos ? slash1 : path.find('\\', slash1 + 1);
    if (slash2 == std::string::npos)
        return id;
    std::string enumerator = path.substr(0, slash1);
    std::string device = path.substr(slash1 + 1, slash2 - slash1 - 1);
    std::string instance = path.substr(slash2 + 1);
    id.vendor = HexAfter(device, "VID_");
    id.product = HexAfter(device, "PID_");
    if (id.vendor.empty() || id.product.empty()) {
        id.vendor.clear();
        id.product.clear();
        return id;
    }
    id.bUsb = true;
    id.serial = SerialOf(enumerator, device, instance);
    HKEY h;
    std::string key = std::string(kEnum) + "\\" + path;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, key.c_str(), 0, KEY_READ, &h) == ERROR_SUCCESS) {
        char sz[256];
        RegText(h, "Mfg", sz, sizeof sz);
        id.manufacturer = WithoutInfPrefix(sz);
        RegText(h, "FriendlyName", sz, sizeof sz);
        id.name = WithoutInfPrefix(sz);
        RegCloseKey(h);
    }
    return id;
}
