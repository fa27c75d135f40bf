// kelvo-cli's serving session and its per-board record (see core.h).
#include "core/core.h"

#include <cstdio>
#include <cstring>

// How serious an outcome is: a run ends with the most serious one among
// its ports and boards. An interrupt tells that the results are incomplete;
// a device that went away leaves a half-written board and points at the
// fixture (cable, adapter, power); a target that stopped answering points at
// the board; a port that could not be used was mostly never served at all.
int Severity(int rc)
{
    switch (rc) {
    case EXIT_INTERRUPTED: return 4;
    case EXIT_GONE: return 3;
    case EXIT_TIMEOUT: return 2;
    case EXIT_DONE: return 0;
    default: return 1;
    }
}

int Worse(int a, int b)
{
    return Severity(b) > Severity(a) ? b : a;
}

const char *ResultWord(int rc)
{
    switch (rc) {
    case EXIT_DONE: return "ok";
    case EXIT_TIMEOUT: return "timeout";
    case EXIT_GONE: return "gone";
    case EXIT_INTERRUPTED: return "interrupted";
    default: return "io-error";
    }
}

void SessionBegin(SESSION *s, size_t cbImage)
{
    DlInit(&s->state);
    s->out.clear();
    s->sent.assign((cbImage + 7) / 8, 0);
    s->dwServed = s->dwDistinct = 0;
    s->nBlocks = 0;
    s->bBegun = false;
    s->iPercent = 0;
}

void SessionByte(SESSION *s, const unsigned char *pbImage, uint32_t cbImage, unsigned char b,
                 SESSIONSTEP *pStep)
{
    SESSIONSTEP st = {};
    st.iProgress = -1;
    int iStepBefore = s->state.iStep;
    DLSTEP step;
    DlStepByte(&s->state, pbImage, cbImage, b, &step);
    if (s->state.iStep != 0 && !s->bBegun)
        s->bBegun = st.bBegan = true;
    // Still in the block after the target's byte: a data byte went out.
    if (iStepBefore == 14 && (s->state.iStep == 14 || s->state.iStep == 15)) {
        s->dwServed++;
        uint32_t at = s->state.dwFilePos - 1;
        unsigned char bit = (unsigned char)(1u << (at & 7));
        if (!(s->sent[at >> 3] & bit)) {
            s->sent[at >> 3] |= bit;
            s->dwDistinct++;
        }
    }
    for (int i = 0; i < step.nEffects; i++) {
        const DLEFFECT &e = step.aEffect[i];
        switch (e.kind) {
        case DLE_SEND:
            s->out.push_back((unsigned char)e.value);
            break;
        case DLE_PROGRESS:
            s->iPercent = st.iProgress = (int)e.value;
            break;
        case DLE_BLOCK:
            s->nBlocks++;
            st.dwBlockLength = e.value;
            st.dwBlockOffset = s->state.dwDataOffset;
            break;
        case DLE_REFUSED:
            st.bRefused = true;
            st.dwRefusedAt = e.value;
            break;
        case DLE_COMPLETE:
            st.bComplete = true;
            break;
        }
    }
    *pStep = st;
}

std::string SessionReason(const SESSION *s, const char *pszReason, size_t cbImage)
{
    char sz[400];
    snprintf(sz, sizeof sz, "%s while %s; served %u of %zu bytes", pszReason, DlStepName(s->state.iStep),
             s->dwDistinct, cbImage);
    return sz;
}

std::string JsonString(const std::string &s)
{
    std::string j = "\"";
    for (size_t i = 0; i < s.size(); i++) {
        unsigned char c = (unsigned char)s[i];
        size_t n = c < 0x80 ? 0 : (c & 0xE0) == 0xC0 ? 1 : (c & 0xF0) == 0xE0 ? 2 : (c & 0xF8) == 0xF0 ? 3 : 9;
        bool bWell = n > 0 && n < 9 && i + n < s.size() && c != 0xC0 && c != 0xC1 && c <= 0xF4;
        for (size_t k = 1; bWell && k <= n; k++)
            bWell = ((unsigned char)s[i + k] & 0xC0) == 0x80;
        char esc[8];
        if (c == '"' || c == '\\') {
            j += '\\';
            j += (char)c;
        } else if (c < 0x20 || (c >= 0x80 && !bWell)) {
            snprintf(esc, sizeof esc, "\\u%04x", c);
            j += esc;
        } else if (c >= 0x80) {
            j.append(s, i, n + 1);
            i += n;
        } else {
            j += (char)c;
        }
    }
    return j + "\"";
}

static std::string JsonOrNull(const std::string &s)
{
    return s.empty() ? "null" : JsonString(s);
}

std::string BoardRecordLine(const BOARDRECORD &rec)
{
    char crc[8], figures[200];
    snprintf(crc, sizeof crc, "%04X", rec.wCrc);
    snprintf(figures, sizeof figures, "\"bytes\":%u,\"blocks\":%d,\"seconds\":%.3f", rec.bytes, rec.blocks,
             rec.seconds);
    std::string usb = !rec.id.bUsb ? "null" :
        "{\"vendor\":" + JsonString(rec.id.vendor) + ",\"product\":" + JsonString(rec.id.product) +
        ",\"serial\":" + JsonOrNull(rec.id.serial) + ",\"manufacturer\":" + JsonOrNull(rec.id.manufacturer) +
        ",\"name\":" + JsonOrNull(rec.id.name) + "}";
    return "{\"time\":" + JsonString(rec.time) + ",\"host\":" + JsonString(rec.host) +
        ",\"board\":" + std::to_string(rec.board) + ",\"port\":" + JsonString(rec.port) +
        ",\"stable\":" + JsonOrNull(rec.id.stable) + ",\"usb\":" + usb +
        ",\"file\":" + JsonString(rec.file) + ",\"file_bytes\":" + std::to_string(rec.fileBytes) +
        ",\"crc\":\"" + crc + "\",\"sha256\":" + JsonString(rec.sha256) + "," + figures +
        ",\"reset\":" + JsonOrNull(rec.reset) + ",\"result\":\"" + ResultWord(rec.rc) +
        "\",\"reason\":" + JsonString(rec.reason) + "}\n";
}
