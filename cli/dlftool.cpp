// dlftool: makes DLF download files and checks their headers.
//
//   dlftool make PAYLOAD -o OUT.dlf [--cover N]
//   dlftool make --sample BYTES -o OUT.dlf [--cover N]
//   dlftool check FILE...
//   dlftool info FILE
//
// The check is the very code the download station runs (core/dlf.cpp), so
// a file that passes here is accepted there.
#include "core/core.h"
#include "kelvo_version.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <getopt.h>

namespace {

enum { EXIT_PASS = 0, EXIT_FAIL = 1, EXIT_USAGE = 2 };

// The size field holds the CRC field plus the covered area in 16 bits; 65534
// and 65535 covered bytes would need a stored size of 0 or 1, which is kept
// for files that wrap round and is never written here.
const unsigned long kMaxCovered = 65533;

const char kUsage[] =
    "usage: dlftool make PAYLOAD -o OUT.dlf [--cover N]\n"
    "       dlftool make --sample BYTES -o OUT.dlf [--cover N]\n"
    "       dlftool check FILE...\n"
    "       dlftool info FILE\n"
    "       dlftool --help\n"
    "       dlftool --version\n"
    "\n"
    "make    writes OUT.dlf: a 4-byte header (size and CRC-16, big-endian)\n"
    "        followed by PAYLOAD. The CRC covers the whole payload, or only\n"
    "        its first N bytes with --cover N. At most 65533 bytes can be\n"
    "        covered. With --sample BYTES the payload is a test pattern of\n"
    "        that many bytes in which every byte value occurs (for trying\n"
    "        out a target or a line).\n"
    "check   checks the header of each FILE as the download station does and\n"
    "        prints one line per file:\n"
    "          FILE: ok size=0x0005 stored=0x9738 computed=0x9738 covered=3 total=7\n"
    "          FILE: FAIL (reason) size=... stored=... computed=... covered=... total=...\n"
    "        A figure the file does not reach is printed as '-'.\n"
    "info    prints the same figures for FILE without judging them.\n"
    "\n"
    "exit status:\n"
    "  0  success (make: file written; check: every file passed;\n"
    "     info: the file was read)\n"
    "  1  failure (check: a file failed or could not be opened;\n"
    "     make/info: a file could not be read or written)\n"
    "  2  usage error, or a covered part beyond 65533 bytes\n";

int UsageError(const std::string &msg)
{
    std::fprintf(stderr, "dlftool: %s\nrun 'dlftool --help' for usage\n", msg.c_str());
    return EXIT_USAGE;
}

// Decimal digits only, so "010" means ten and "1e3" is refused.
bool ParseCount(const char *s, unsigned long *pValue)
{
    if (*s == '\0' || std::strlen(s) > 9)
        return false;
    unsigned long v = 0;
    for (const char *p = s; *p; p++) {
        if (*p < '0' || *p > '9')
            return false;
        v = v * 10 + static_cast<unsigned long>(*p - '0');
    }
    *pValue = v;
    return true;
}

bool ReadWholeFile(const char *path, std::vector<unsigned char> *pData)
{
    FILE *f = std::fopen(path, "rb");
    if (f == nullptr) {
        std::fprintf(stderr, "dlftool: cannot open %s: %s\n", path, std::strerror(errno));
        return false;
    }
    unsigned char chunk[65536];
    size_t got;
    while ((got = std::fread(chunk, 1, sizeof chunk, f)) > 0)
        pData->insert(pData->end(), chunk, chunk + got);
    bool ok = !std::ferror(f);
    if (!ok)
        std::fprintf(stderr, "dlftool: cannot read %s\n", path);
    std::fclose(f);
    return ok;
}

// argv[0] is "make".
int CmdMake(int argc, char **argv)
{
    const char *payload = nullptr;
    const char *out = nullptr;
    const char *cover = nullptr;
    const char *sample = nullptr;
    static const struct option kOptions[] = {
        {"cover", required_argument, nullptr, 'c'},
        {"sample", required_argument, nullptr, 's'},
        {"help", no_argument, nullptr, 'h'},
        {nullptr, 0, nullptr, 0},
    };
    opterr = 0;
    for (int opt; (opt = getopt_long(argc, argv, ":ho:", kOptions, nullptr)) != -1;) {
        if (opt == 'h') {
            std::fputs(kUsage, stdout);
            return EXIT_PASS;
        }
        if (opt == ':')
            return UsageError(std::string(argv[optind - 1]) + " needs an argument");
        if (opt == '?')
            return UsageError(std::string("unknown option ") + argv[optind - 1]);
        const char **slot = opt == 'o' ? &out : opt == 'c' ? &cover : &sample;
        if (*slot != nullptr)
            return UsageError(std::string(argv[optind - 2]) + " given twice");
        *slot = optarg;
    }
    for (int i = optind; i < argc; i++) {
        if (payload != nullptr)
            return UsageError(std::string("unexpected argument ") + argv[i]);
        payload = argv[i];
    }
    if ((payload == nullptr) == (sample == nullptr))
        return UsageError("make needs a PAYLOAD file or --sample BYTES");
    if (out == nullptr)
        return UsageError("make needs -o OUT.dlf");

    unsigned long ulCover = 0;
    if (cover != nullptr && !ParseCount(cover, &ulCover))
        return UsageError(std::string("--cover wants a byte count, not '") + cover + "'");

    std::vector<unsigned char> data;
    unsigned long ulSample = 0;
    if (sample != nullptr) {
        if (!ParseCount(sample, &ulSample) || ulSample > 0x1000000)
            return UsageError(std::string("--sample wants a byte count up to 16777216, not '") + sample + "'");
        for (unsigned long i = 0; i < ulSample; i++)
            data.push_back(static_cast<unsigned char>(i * 7 + 3 + (i >> 8)));
    } else if (!ReadWholeFile(payload, &data)) {
        return EXIT_FAIL;
    }

    if (cover == nullptr) {
        ulCover = data.size();
    } else if (ulCover > data.size()) {
        char msg[160];
        std::snprintf(msg, sizeof msg, "--cover %lu is more than the %lu bytes of the payload",
                      ulCover, static_cast<unsigned long>(data.size()));
        return UsageError(msg);
    }
    if (ulCover > kMaxCovered) {
        std::fprintf(stderr,
                     "dlftool: the covered part would be %lu bytes; a DLF header covers "
                     "at most %lu bytes (use --cover N to cover only the start)\n",
                     ulCover, kMaxCovered);
        return EXIT_USAGE;
    }

    uint16_t wCovered = static_cast<uint16_t>(ulCover);
    uint16_t wSize = static_cast<uint16_t>(wCovered + 2);
    uint16_t wCrc = GetCrc16(data.data(), wCovered);
    unsigned char header[4] = {
        static_cast<unsigned char>(wSize >> 8), static_cast<unsigned char>(wSize & 0xFF),
        static_cast<unsigned char>(wCrc >> 8), static_cast<unsigned char>(wCrc & 0xFF)};

    FILE *f = std::fopen(out, "wb");
    if (f == nullptr) {
        std::fprintf(stderr, "dlftool: cannot create %s: %s\n", out, std::strerror(errno));
        return EXIT_FAIL;
    }
    bool ok = std::fwrite(header, 1, sizeof header, f) == sizeof header;
    if (ok && !data.empty())
        ok = std::fwrite(data.data(), 1, data.size(), f) == data.size();
    if (std::fclose(f) != 0)
        ok = false;
    if (!ok) {
        std::fprintf(stderr, "dlftool: cannot write %s\n", out);
        std::remove(out);
        return EXIT_FAIL;
    }
    return EXIT_PASS;
}

// The figures of one file, '-' for those the file does not reach.
void PrintFigures(const DLFINFO &info)
{
    bool bHeader = info.verdict != DLF_TOO_SHORT && info.verdict != DLF_READ_ERROR;
    bool bComputed = info.verdict == DLF_OK || info.verdict == DLF_CRC_MISMATCH ||
                     info.verdict == DLF_CRC_LITTLE_ENDIAN;
    char size[8] = "-", stored[8] = "-", computed[8] = "-", covered[8] = "-";
    if (bHeader) {
        std::snprintf(size, sizeof size, "0x%04X", info.wSize);
        std::snprintf(stored, sizeof stored, "0x%04X", info.wCrcStored);
        std::snprintf(covered, sizeof covered, "%u", static_cast<unsigned>(info.wCovered));
    }
    if (bComputed)
        std::snprintf(computed, sizeof computed, "0x%04X", info.wCrcComputed);
    std::printf("size=%s stored=%s computed=%s covered=%s total=%ld\n",
                size, stored, computed, covered, info.lTotal);
}

// Opens and inspects one file. False when it cannot be opened (reported).
bool InspectPath(const char *path, DLFINFO *pInfo, bool bJudge)
{
    FILE *f = std::fopen(path, "rb");
    if (f == nullptr) {
        int err = errno;
        if (bJudge)
            std::printf("%s: FAIL (cannot open: %s)\n", path, std::strerror(err));
        else
            std::fprintf(stderr, "dlftool: cannot open %s: %s\n", path, std::strerror(err));
        return false;
    }
    DlfInspect(f, pInfo);
    std::fclose(f);
    return true;
}

int CmdCheck(int argc, char **argv)
{
    if (argc == 0)
        return UsageError("check needs at least one FILE");
    int rc = EXIT_PASS;
    for (int i = 0; i < argc; i++) {
        DLFINFO info = {};
        if (!InspectPath(argv[i], &info, true)) {
            rc = EXIT_FAIL;
            continue;
        }
        if (info.verdict == DLF_OK) {
            std::printf("%s: ok ", argv[i]);
        } else {
            std::printf("%s: FAIL (%s) ", argv[i], DlfVerdictText(info.verdict));
            rc = EXIT_FAIL;
        }
        PrintFigures(info);
    }
    return rc;
}

int CmdInfo(int argc, char **argv)
{
    if (argc != 1)
        return UsageError("info takes exactly one FILE");
    DLFINFO info = {};
    if (!InspectPath(argv[0], &info, false))
        return EXIT_FAIL;
    std::printf("%s: ", argv[0]);
    PrintFigures(info);
    if (info.verdict == DLF_READ_ERROR || info.verdict == DLF_NO_MEMORY) {
        std::fprintf(stderr, "dlftool: %s: %s\n", argv[0], DlfVerdictText(info.verdict));
        return EXIT_FAIL;
    }
    return EXIT_PASS;
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc < 2)
        return UsageError("missing command (make, check or info)");
    const std::string cmd = argv[1];
    if (cmd == "--help" || cmd == "-h" || cmd == "help") {
        std::fputs(kUsage, stdout);
        return EXIT_PASS;
    }
    if (cmd == "--version") {
        std::printf("dlftool %s\n", KELVO_VERSION);
        return EXIT_PASS;
    }
    if (cmd == "make")
        return CmdMake(argc - 1, argv + 1);
    if (cmd == "check")
        return CmdCheck(argc - 2, argv + 2);
    if (cmd == "info")
        return CmdInfo(argc - 2, argv + 2);
    return UsageError(std::string("unknown command '") + argv[1] + "'");
}
