// Reset sequences (see lineseq.h).
#include "core/core.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

// Asserted means the line's bit set, which drives an adapter's TTL output
// low. A pulse holds the reset for 100 ms, long enough for the usual RC
// delay on a reset pin, and leaves the boot ROM 50 ms to start listening.
const LINEPRESET aLinePreset[3] = {
    {"dtr-pulse", "dtr=1,100ms,dtr=0,50ms"},
    {"rts-pulse", "rts=1,100ms,rts=0,50ms"},
    // RTS alone pulls reset low; DTR alone pulls the boot-select pin low;
    // both alike leave both high. Reset, then boot-select as reset is let go.
    {"two-transistor", "dtr=0,rts=1,100ms,dtr=1,rts=0,50ms,dtr=0"},
};

namespace {

const int kMaxPauseMs = 10000;
const size_t kMaxSteps = 64;

bool Fail(char *szWhy, size_t cb, const std::string &msg)
{
    snprintf(szWhy, cb, "%s", msg.c_str());
    return false;
}

} // namespace

bool ParseLineSeq(const char *psz, std::vector<LINESTEP> *pSteps, char *szWhy, size_t cb)
{
    std::string text = psz;
    for (const LINEPRESET &p : aLinePreset)
        if (text == p.pszName)
            text = p.pszSequence;
    pSteps->clear();
    LINESTEP cur = {-1, -1, 0};
    bool bOpen = false;          // cur has levels not yet closed by a pause
    size_t start = 0;
    for (;;) {
        size_t comma = text.find(',', start);
        std::string item = text.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
        int *pLine = item.compare(0, 4, "dtr=") == 0 ? &cur.dtr : item.compare(0, 4, "rts=") == 0 ? &cur.rts : nullptr;
        if (pLine) {
            std::string level = item.substr(4);
            if (level != "0" && level != "1")
                return Fail(szWhy, cb, "'" + item + "': a line is set to 0 (released) or 1 (asserted)");
            if (*pLine >= 0)
                return Fail(szWhy, cb, "'" + item + "': " + item.substr(0, 3) +
                            " is set twice without a pause between: the target would see only the second level");
            *pLine = level[0] - '0';
            bOpen = true;
        } else if (item.size() > 2 && item.compare(item.size() - 2, 2, "ms") == 0 &&
                   strspn(item.c_str(), "0123456789") == item.size() - 2 && item.size() <= 7) {
            int ms = atoi(item.c_str());
            if (ms < 1 || ms > kMaxPauseMs)
                return Fail(szWhy, cb, "'" + item + "': a pause lasts 1 to 10000 ms");
            if (!bOpen && !pSteps->empty())
                pSteps->back().msPause += ms;
            else {
                cur.msPause = ms;
                pSteps->push_back(cur);
            }
            cur = {-1, -1, 0};
            bOpen = false;
        } else {
            std::string names;
            for (const LINEPRESET &p : aLinePreset)
                names += std::string(names.empty() ? "" : ", ") + p.pszName;
            return Fail(szWhy, cb, "'" + item + "' is neither a preset (" + names +
                        ") nor an item of a sequence (dtr=0|1, rts=0|1, a pause like 100ms)");
        }
        if (pSteps->size() > kMaxSteps)
            return Fail(szWhy, cb, "a sequence has at most 64 steps");
        if (comma == std::string::npos)
            break;
        start = comma + 1;
    }
    if (bOpen)
        pSteps->push_back(cur);
    return true;
}
