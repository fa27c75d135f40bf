// kelvo-cli's output: what the user sees on stderr while ports are served,
// the transcripts, the tables on stdout at the end, and the per-board record.
#include "cli.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <ctime>

// ---- stderr: progress and messages -----------------------------------------

// Takes the progress off the screen so that a message or a table row can
// follow on a line of its own; the block comes back at the next redraw.
void ClearProgress(RUN *r)
{
    DISPLAY &d = r->disp;
    if (d.bBarOpen)
        fputc('\n', stderr);
    d.bBarOpen = false;
    if (d.nDrawn > 0)
        fprintf(stderr, "\x1b[%dA\r\x1b[J", d.nDrawn);
    d.nDrawn = 0;
    if (d.bBlock) {
        d.bDirty = true;
        d.tNextDraw = 0;
    }
}

void Say(RUN *r, const char *fmt, ...)
{
    char msg[1400];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(msg, sizeof msg, fmt, ap);
    va_end(ap);
    ClearProgress(r);
    fprintf(stderr, "kelvo-cli: %s\n", msg);
}

// One port's line in the block: name, bar, figures, what it does.
static void PortLine(const RUN *r, const PORT &p, char *psz, size_t cb)
{
    char bar[23];
    const int kWidth = 20;
    int nFull = p.s.iPercent * kWidth / 100;
    bar[0] = '[';
    for (int i = 0; i < kWidth; i++)
        bar[1 + i] = i < nFull ? '#' : '.';
    bar[kWidth + 1] = ']';
    bar[kWidth + 2] = '\0';
    char what[160];
    int nBoard = (int)p.boards.size() + 1;
    switch (p.phase) {
    case PH_WAIT_PORT: snprintf(what, sizeof what, "waiting for the port"); break;
    case PH_PAUSE: snprintf(what, sizeof what, "next board"); break;
    case PH_RESET: snprintf(what, sizeof what, "reset sequence"); break;
    case PH_SERVE:
    case PH_DRAIN:
        if (r->o.repeat)
            snprintf(what, sizeof what, "board %d%s", nBoard, p.s.bBegun ? "" : ": waiting for the target");
        else
            snprintf(what, sizeof what, "%s", p.s.bBegun ? "serving" : "waiting for the target");
        break;
    case PH_DONE:
        if (r->o.repeat)
            snprintf(what, sizeof what, "done: %zu boards", p.boards.size());
        else
            snprintf(what, sizeof what, "%s", ResultWord(p.rc));
        break;
    }
    snprintf(psz, cb, "%-20.60s %s %3d%%  %u/%zu B  %s", p.name.c_str(), bar, p.s.iPercent,
             p.s.dwServed, r->image.size(), what);
}

// Redraws the block of port lines when something changed, at most ten
// times a second unless forced.
void DrawProgress(RUN *r, bool bForce)
{
    DISPLAY &d = r->disp;
    if (!d.bBlock || !d.bDirty || (!bForce && NowS() < d.tNextDraw))
        return;
    if (d.nDrawn > 0)
        fprintf(stderr, "\x1b[%dA", d.nDrawn);
    for (const PORT &p : r->ports) {
        char line[300];
        PortLine(r, p, line, sizeof line);
        fprintf(stderr, "\r%s\x1b[K\n", line);
    }
    d.nDrawn = (int)r->ports.size();
    d.bDirty = false;
    d.tNextDraw = NowS() + 0.1;
}

// Leaves the final state of the progress on the screen.
void EndProgress(RUN *r)
{
    DISPLAY &d = r->disp;
    d.bDirty = true;
    DrawProgress(r, true);
    d.nDrawn = 0;
    if (d.bBarOpen)
        fputc('\n', stderr);
    d.bBarOpen = false;
}

void ShowProgress(RUN *r, PORT *p, int iPercent)
{
    DISPLAY &d = r->disp;
    p->s.iPercent = iPercent;
    if (d.bBlock) {
        d.bDirty = true;
        DrawProgress(r, false);
    } else if (d.bTty) {
        char bar[33];
        const int kWidth = 30;
        int nFull = iPercent * kWidth / 100;
        bar[0] = '[';
        for (int i = 0; i < kWidth; i++)
            bar[1 + i] = i < nFull ? '#' : '.';
        bar[kWidth + 1] = ']';
        bar[kWidth + 2] = '\0';
        fprintf(stderr, "\r%s %3d%%  %u/%zu B", bar, iPercent, p->s.dwServed, r->image.size());
        d.bBarOpen = true;
    } else if (iPercent / 10 != p->iLastTenth) {
        p->iLastTenth = iPercent / 10;
        if (r->ports.size() > 1)
            fprintf(stderr, "progress %d%% %s\n", p->iLastTenth * 10, p->name.c_str());
        else
            fprintf(stderr, "progress %d%%\n", p->iLastTenth * 10);
    }
}

// ---- transcripts -------------------------------------------------------------

// A transcript that cannot be written is given up at once; the port's
// outcome becomes an I/O error, and its download goes on.
static void LogFailed(RUN *r, PORT *p, int err)
{
    Say(r, "writing %s failed: %s", p->logPath.c_str(), strerror(err));
    fclose(p->log);
    p->log = nullptr;
    p->rc = Worse(p->rc, EXIT_IO);
}

void LogLine(RUN *r, PORT *p, const char *fmt, ...)
{
    if (!p->log)
        return;
    va_list ap;
    va_start(ap, fmt);
    int n = vfprintf(p->log, fmt, ap);
    int err = errno;
    va_end(ap);
    if (n < 0)
        LogFailed(r, p, err);
}

void Record(RUN *r, PORT *p, char who, unsigned char b)
{
    if (p->log)
        LogLine(r, p, "%ld %c %02X\n", (long)((NowS() - p->tOpen) * 1000), who, b);
}

// Makes what was written reach the file, and says so when it cannot.
void FlushLog(RUN *r, PORT *p)
{
    if (p->log && (fflush(p->log) != 0 || ferror(p->log)))
        LogFailed(r, p, errno);
}

void CloseLog(RUN *r, PORT *p)
{
    FlushLog(r, p);
    if (p->log && fclose(p->log) != 0) {
        p->log = nullptr;
        Say(r, "writing %s failed: %s", p->logPath.c_str(), strerror(errno));
        p->rc = Worse(p->rc, EXIT_IO);
    }
    p->log = nullptr;
}

// Opens every transcript before any port is touched. Returns -1, or the
// exit status after saying why.
int OpenLogs(RUN *r)
{
    if (r->o.log.empty())
        return -1;
    char why[400];
    if (r->ports.size() > 1 && !LayerMakeDirectory(r->o.log, why, sizeof why)) {
        fprintf(stderr, "kelvo-cli: %s\n", why);
        return EXIT_IO;
    }
    for (PORT &p : r->ports) {
        p.logPath = r->ports.size() > 1 ? r->o.log + "/" + LogName(p.name) : r->o.log;
        // Binary: the same bytes on every system, line ends included.
        p.log = fopen(p.logPath.c_str(), "wb");
        if (!p.log) {
            fprintf(stderr, "kelvo-cli: cannot write %s: %s\n", p.logPath.c_str(), strerror(errno));
            return EXIT_IO;
        }
    }
    return -1;
}

// The transcript's name for a port in a --log directory: the name without
// "/dev/" or "\\.\", slashes and backslashes made underscores. Windows
// takes COM1 to COM9 (and LPT1 to LPT9), whatever follows the dot, for the
// device itself: COM and LPT ports get "-port" after their name.
std::string LogName(const std::string &port)
{
    std::string s = port.compare(0, 5, "/dev/") == 0 || port.compare(0, 4, "\\\\.\\") == 0
                        ? port.substr(port[0] == '/' ? 5 : 4) : port;
    std::replace(s.begin(), s.end(), '/', '_');
    std::replace(s.begin(), s.end(), '\\', '_');
    std::string upper = s;
    for (char &c : upper)
        c = (char)toupper((unsigned char)c);
    bool bDevice = (upper.compare(0, 3, "COM") == 0 || upper.compare(0, 3, "LPT") == 0) && s.size() > 3 &&
                   s.find_first_not_of("0123456789", 3) == std::string::npos;
    return s + (bDevice ? "-port.log" : ".log");
}

// ---- stdout ------------------------------------------------------------------


void PrintRow(const RUN *r, const char *board, const char *port, const char *result,
              uint32_t bytes, int blocks, double seconds, const char *reason)
{
    int w = 12;
    for (const PORT &p : r->ports)
        w = std::max(w, std::min(60, (int)p.name.size()));
    printf("%s%-*.*s  %-11s %8u %7d %8.2f %7.0f%s%s\n", board, w, w, port, result, bytes, blocks,
           seconds, seconds > 0 ? bytes / seconds : 0, *reason ? "  " : "", reason);
}

void PrintHeader(const RUN *r, const char *board)
{
    int w = 12;
    for (const PORT &p : r->ports)
        w = std::max(w, std::min(60, (int)p.name.size()));
    printf("%s%-*s  %-11s %8s %7s %8s %7s\n", board, w, "port", "result", "bytes", "blocks", "seconds", "B/s");
}

void PrintTable(RUN *r)
{
    PrintHeader(r, "");
    for (const PORT &p : r->ports) {
        if (p.boards.empty()) {
            PrintRow(r, "", p.name.c_str(), ResultWord(p.rc), 0, 0, 0, "");
        } else {
            const BOARD &b = p.boards.back();
            PrintRow(r, "", p.name.c_str(), ResultWord(Worse(b.rc, p.rc)), b.dwServed, b.nBlocks, b.seconds, "");
        }
    }
}

void PrintSummary(RUN *r)
{
    size_t nAll = 0, nPassed = 0;
    for (const PORT &p : r->ports) {
        for (const BOARD &b : p.boards) {
            nAll++;
            nPassed += b.rc == EXIT_DONE;
        }
    }
    printf("summary: %zu boards, %zu passed, %zu failed\n", nAll, nPassed, nAll - nPassed);
    int w = 12;
    for (const PORT &p : r->ports)
        w = std::max(w, std::min(60, (int)p.name.size()));
    printf("%-*s  %6s %6s\n", w, "port", "passed", "failed");
    for (const PORT &p : r->ports) {
        size_t n = 0;
        for (const BOARD &b : p.boards)
            n += b.rc == EXIT_DONE;
        printf("%-*.*s  %6zu %6zu%s%s\n", w, w, p.name.c_str(), n, p.boards.size() - n,
               p.rc != EXIT_DONE && p.boards.size() == n ? "  " : "",
               p.rc != EXIT_DONE && p.boards.size() == n ? ResultWord(p.rc) : "");
        for (size_t i = 0; i < p.boards.size(); i++) {
            const BOARD &b = p.boards[i];
            if (b.rc != EXIT_DONE)
                printf("  board %zu: %s: %s\n", i + 1, ResultWord(b.rc), b.szReason);
        }
    }
}

// ---- the per-board record --------------------------------------------------

// Opens --report for appending before any port is touched. Returns -1, or
// the exit status after saying why.
int OpenReport(RUN *r)
{
    if (r->o.report.empty())
        return -1;
    char why[400];
    if (!LayerOpenReport(r, why, sizeof why)) {
        fprintf(stderr, "kelvo-cli: cannot write %s: %s\n", r->o.report.c_str(), why);
        return EXIT_IO;
    }
    r->bReport = true;
    return -1;
}

// Writes the board's record whole, and flushes it to the disk before the
// port goes on: a crash loses at most the board in progress.
void ReportBoard(RUN *r, PORT *p, const BOARD &b)
{
    if (!r->bReport)
        return;
    time_t t = (time_t)(b.msEnded / 1000);
    char when[40];
    strftime(when, sizeof when, "%Y-%m-%dT%H:%M:%S", gmtime(&t));
    snprintf(when + strlen(when), sizeof when - strlen(when), ".%03dZ", (int)(b.msEnded % 1000));
    BOARDRECORD rec = {};
    rec.time = when;
    rec.host = r->host;
    rec.board = (int)p->boards.size();
    rec.port = p->name;
    rec.id = p->id;
    rec.file = r->o.file;
    rec.fileBytes = r->image.size();
    rec.wCrc = r->wCrc;
    rec.sha256 = r->szSha;
    rec.bytes = b.dwServed;
    rec.blocks = b.nBlocks;
    rec.seconds = b.seconds;
    rec.reset = r->o.resetText;
    rec.rc = b.rc;
    rec.reason = b.szReason;
    char why[400];
    if (LayerAppendReport(r, BoardRecordLine(rec), why, sizeof why))
        return;
    Say(r, "%s: writing %s failed: %s", p->name.c_str(), r->o.report.c_str(), why);
    p->rc = Worse(p->rc, EXIT_IO);
}
