// PtyPeer: the far end of a real serial line for the Windows tests.
//
// Start(n) launches the native ptypeer (a Linux program; Wine runs it
// directly from CreateProcessA), which creates a pty and maps its slave to
// COMn of the Wine prefix through the symlink <WINEPREFIX>/dosdevices/comn.
// The test then opens COMn like any serial port and drives the other end
// through ptypeer's TCP control connection on 127.0.0.1.
//
// The native program's path comes from the environment variable KELVO_PEER
// (set by CTest), else from the compile-time define KELVO_PEER_PATH.
//
// Every call is a blocking request/answer; one PtyPeer serves one thread at a
// time. A test whose own code has to read while the peer floods or waits
// must run that code (or the peer call) on a second thread.
//
// Linux ptys always report 8 data bits and no parity enable, whatever the
// PC set; Termios::parodd/cmspar/inpck do keep what was set.
#pragma once
// Tests often include <windows.h> (and with it the old winsock.h) first;
// mingw-w64's winsock2.h copes with that and would only warn about it.
#if defined(_WINSOCKAPI_) && !defined(_WINSOCK2API_)
#undef _WINSOCKAPI_
#endif
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#ifndef KELVO_PEER_PATH
#define KELVO_PEER_PATH ""
#endif

class PtyPeer {
public:
    struct Termios {
        unsigned speed = 0, csize = 0;
        bool parenb = false, parodd = false, cmspar = false, cstopb = false;
        bool ixon = false, ixoff = false, crtscts = false, hupcl = false;
        bool inpck = false, istrip = false;
    };

    PtyPeer() = default;
    PtyPeer(const PtyPeer &) = delete;
    PtyPeer &operator=(const PtyPeer &) = delete;
    ~PtyPeer() { Stop(); }

    // Launches ptypeer for COM<nComPort> and connects to it. nLifetimeS bounds
    // how long the native program lives should this process die.
    bool Start(int nComPort, int nLifetimeS = 600)
    {
        Stop();
        m_strError.clear();
        std::string prefix = Env("WINEPREFIX");
        if (prefix.empty()) {
            std::string home = Env("HOME");
            if (home.empty())
                return Fail("neither WINEPREFIX nor HOME is set");
            prefix = home + "/.wine";
        }
        std::string exe = Env("KELVO_PEER");
        if (exe.empty())
            exe = KELVO_PEER_PATH;
        if (exe.empty())
            return Fail("KELVO_PEER is not set");

        static LONG s_nSerial;
        char szName[160];
        snprintf(szName, sizeof szName, "/tmp/kelvo-peer-%lu-%lu-%ld-com%d.port",
                 (unsigned long)GetCurrentProcessId(), (unsigned long)GetTickCount(),
                 (long)InterlockedIncrement(&s_nSerial), nComPort);
        m_strPortFile = szName;
        std::string winPortFile = WinPath(m_strPortFile);
        DeleteFileA(winPortFile.c_str());
        m_strLink = prefix + "/dosdevices/com" + std::to_string(nComPort);

        std::string cmd = Quote(exe) + " --link " + Quote(m_strLink) + " --port-file " + Quote(m_strPortFile) +
                          " --lifetime " + std::to_string(nLifetimeS);
        std::vector<char> cmdBuf(cmd.begin(), cmd.end());
        cmdBuf.push_back('\0');
        STARTUPINFOA si;
        memset(&si, 0, sizeof si);
        si.cb = sizeof si;
        PROCESS_INFORMATION pi;
        memset(&pi, 0, sizeof pi);
        if (!CreateProcessA(NULL, cmdBuf.data(), NULL, NULL, FALSE, 0, NULL, NULL, &si, &pi))
            return Fail("CreateProcessA failed for " + cmd + ", error " + std::to_string(GetLastError()));
        m_hProcess = pi.hProcess;
        CloseHandle(pi.hThread);

        // The port file appears (atomically) once the link and listener exist.
        int nPort = 0;
        DWORD dwStart = GetTickCount();
        while (GetTickCount() - dwStart < 10000) {
            FILE *fp = fopen(winPortFile.c_str(), "r");
            if (fp) {
                int n = fscanf(fp, "%d", &nPort);
                fclose(fp);
                if (n == 1 && nPort > 0)
                    break;
                nPort = 0;
            }
            Sleep(20);
        }
        DeleteFileA(winPortFile.c_str());
        if (nPort <= 0)
            return Fail("ptypeer did not report its port within 10 s (" + cmd + ")");

        WSADATA wsa;
        if (WSAStartup(MAKEWORD(2, 2), &wsa) != 0)
            return Fail("WSAStartup failed");
        m_bWsa = true;
        m_sock = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        if (m_sock == INVALID_SOCKET)
            return Fail("socket failed");
        sockaddr_in addr;
        memset(&addr, 0, sizeof addr);
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        addr.sin_port = htons((u_short)nPort);
        if (connect(m_sock, (sockaddr *)&addr, sizeof addr) != 0)
            return Fail("connect to ptypeer failed, error " + std::to_string(WSAGetLastError()));
        BOOL bOne = TRUE;
        setsockopt(m_sock, IPPROTO_TCP, TCP_NODELAY, (const char *)&bOne, sizeof bOne);
        // Longer than any single command may take (FLOOD gives up after 30 s).
        DWORD dwTimeout = 60000;
        setsockopt(m_sock, SOL_SOCKET, SO_RCVTIMEO, (const char *)&dwTimeout, sizeof dwTimeout);

        std::string path = Cmd("PATH");
        if (path.compare(0, 3, "OK ") != 0)
            return Fail("PATH answered: " + path);
        m_strSlave = path.substr(3);
        return true;
    }

    // Ends ptypeer (removing the link) and waits for it to go.
    void Stop()
    {
        if (m_sock != INVALID_SOCKET) {
            Cmd("QUIT");
            closesocket(m_sock);
            m_sock = INVALID_SOCKET;
        }
        if (m_hProcess) {
            if (WaitForSingleObject(m_hProcess, 3000) != WAIT_OBJECT_0)
                TerminateProcess(m_hProcess, 1);
            CloseHandle(m_hProcess);
            m_hProcess = NULL;
        }
        if (m_bWsa) {
            WSACleanup();
            m_bWsa = false;
        }
    }

    // One command line out, one reply line back ("ERR ..." on a broken link).
    std::string Cmd(const std::string &line)
    {
        if (m_sock == INVALID_SOCKET)
            return "ERR not connected";
        std::string out = line + "\n";
        size_t done = 0;
        while (done < out.size()) {
            int n = send(m_sock, out.data() + done, (int)(out.size() - done), 0);
            if (n <= 0)
                return "ERR send failed";
            done += (size_t)n;
        }
        for (;;) {
            size_t nl = m_strPending.find('\n');
            if (nl != std::string::npos) {
                std::string reply = m_strPending.substr(0, nl);
                m_strPending.erase(0, nl + 1);
                return reply;
            }
            char buf[4096];
            int n = recv(m_sock, buf, sizeof buf, 0);
            if (n <= 0)
                return "ERR connection lost";
            m_strPending.append(buf, (size_t)n);
        }
    }

    // Bytes to the PC; true when all of them were written.
    bool Send(const std::vector<uint8_t> &data)
    {
        return Cmd("SEND " + ToHex(data)) == "OK " + std::to_string(data.size());
    }

    // The first burst from the PC (up to max bytes) or nothing after timeout.
    std::vector<uint8_t> Recv(size_t max, int nTimeoutMs)
    {
        return Data(Cmd("RECV " + std::to_string(max) + " " + std::to_string(nTimeoutMs)));
    }

    // Exactly n bytes from the PC, or fewer when the timeout ran out.
    std::vector<uint8_t> RecvN(size_t n, int nTimeoutMs)
    {
        return Data(Cmd("RECVN " + std::to_string(n) + " " + std::to_string(nTimeoutMs)));
    }

    bool GetTermios(Termios *pt)
    {
        std::string r = Cmd("TERMIOS");
        if (r.compare(0, 3, "OK ") != 0)
            return false;
        *pt = Termios();
        int nSeen = 0;
        size_t i = 3;
        while (i < r.size()) {
            size_t end = r.find(' ', i);
            if (end == std::string::npos)
                end = r.size();
            std::string word = r.substr(i, end - i);
            i = end + 1;
            size_t eq = word.find('=');
            if (eq == std::string::npos)
                continue;
            std::string key = word.substr(0, eq);
            unsigned long v = strtoul(word.c_str() + eq + 1, NULL, 10);
            bool b = v != 0;
            ++nSeen;
            if (key == "speed") pt->speed = (unsigned)v;
            else if (key == "csize") pt->csize = (unsigned)v;
            else if (key == "parenb") pt->parenb = b;
            else if (key == "parodd") pt->parodd = b;
            else if (key == "cmspar") pt->cmspar = b;
            else if (key == "cstopb") pt->cstopb = b;
            else if (key == "ixon") pt->ixon = b;
            else if (key == "ixoff") pt->ixoff = b;
            else if (key == "crtscts") pt->crtscts = b;
            else if (key == "hupcl") pt->hupcl = b;
            else if (key == "inpck") pt->inpck = b;
            else if (key == "istrip") pt->istrip = b;
            else --nSeen;
        }
        return nSeen >= 10;
    }

    // Whether someone (the PC's COM handle) holds the slave open.
    bool Opened() { return Cmd("OPENED") == "OK 1"; }

    // Waits until Opened() equals bOpen; returns whether it does now.
    bool WaitOpened(bool bOpen, int nTimeoutMs)
    {
        std::string want = bOpen ? "OK 1" : "OK 0";
        return Cmd("WAITOPEN " + std::string(bOpen ? "1" : "0") + " " + std::to_string(nTimeoutMs)) == want;
    }

    // Nothing reads the PC's bytes until Release(); Recv answers ERR meanwhile.
    void Hold() { Cmd("HOLD"); }
    void Release() { Cmd("RELEASE"); }

    // The device disappears: the pty closes and the COM name goes away.
    void Vanish() { Cmd("VANISH"); }

    // Writes n bytes of value (0..255), or random bytes without 0x11 and 0x13
    // for -1, as fast as the PC reads them; returns how many went out.
    size_t Flood(size_t n, int nValue)
    {
        char szValue[8];
        snprintf(szValue, sizeof szValue, "%02x", nValue & 0xff);
        std::string r = Cmd("FLOOD " + std::to_string(n) + " " + (nValue < 0 ? std::string("random") : szValue));
        if (r.compare(0, 3, "OK ") != 0)
            return 0;
        return (size_t)strtoull(r.c_str() + 3, NULL, 10);
    }

    std::string SlavePath() const { return m_strSlave; }
    std::string LinkPath() const { return m_strLink; }
    const std::string &Error() const { return m_strError; }

    static std::string ToHex(const std::vector<uint8_t> &data)
    {
        static const char s_digits[] = "0123456789abcdef";
        std::string s;
        s.reserve(data.size() * 2);
        for (uint8_t c : data) {
            s.push_back(s_digits[c >> 4]);
            s.push_back(s_digits[c & 15]);
        }
        return s;
    }

private:
    static std::string Env(const char *pszName)
    {
        char szBuf[4096];
        DWORD n = GetEnvironmentVariableA(pszName, szBuf, sizeof szBuf);
        return (n > 0 && n < sizeof szBuf) ? std::string(szBuf, n) : std::string();
    }

    // A Unix absolute path as Wine's Z: drive sees it.
    static std::string WinPath(const std::string &unixPath)
    {
        std::string s = "Z:" + unixPath;
        for (char &c : s)
            if (c == '/')
                c = '\\';
        return s;
    }

    static std::string Quote(const std::string &s) { return "\"" + s + "\""; }

    static int Digit(char c)
    {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        return -1;
    }

    static std::vector<uint8_t> Data(const std::string &reply)
    {
        std::vector<uint8_t> out;
        if (reply.compare(0, 3, "OK ") != 0)
            return out;
        for (size_t i = 3; i + 1 < reply.size(); i += 2) {
            int hi = Digit(reply[i]), lo = Digit(reply[i + 1]);
            if (hi < 0 || lo < 0)
                break;
            out.push_back((uint8_t)(hi << 4 | lo));
        }
        return out;
    }

    bool Fail(const std::string &why)
    {
        m_strError = why;
        Stop();
        return false;
    }

    SOCKET m_sock = INVALID_SOCKET;
    HANDLE m_hProcess = NULL;
    bool m_bWsa = false;
    std::string m_strPending, m_strPortFile, m_strLink, m_strSlave, m_strError;
};
