// Channel database loader and the comparison of a loaded channel list with the running one.
//
// Line grammar: "KEYWORD VALUE", where the keyword runs to the first space and the value from
// the next non-blank character to the next space or the end of the line. Lines longer than the
// buffers the format allows (1023 characters a line, 511 for keyword and value, 127 for each
// field) are refused as a whole instead of being cut, so a long line can neither overrun a
// buffer nor leave a tail that would be read as a line of its own.
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>

#include "cfg.h"
#include "liveinput.h"
#include "mvlogger.h"

namespace {

constexpr int kMaxLine = HSC_DB_LINE_SIZE - 1;
constexpr int kMaxField = HSC_DB_FIELD_SIZE - 1;

// Reads one line (without its '\n') into line. Returns false at the end of the file. `overlong`
// is set when the line held more than kMaxLine characters; line then keeps the first kMaxLine
// and the rest of the line has been read past.
bool ReadLine(FILE* f, char (&line)[HSC_DB_LINE_SIZE], int& length, bool& overlong) {
    length = 0;
    overlong = false;
    int c = getc(f);
    if (c == EOF) return false;
    for (; c != EOF && c != '\n'; c = getc(f)) {
        if (length < kMaxLine)
            line[length++] = static_cast<char>(c);
        else
            overlong = true;
    }
    line[length] = '\0';
    return true;
}

// Copies [from, from + n) into out (holding cap bytes) with a terminator; false when it does not
// fit.
template <size_t N>
bool CopyField(char (&out)[N], const char* from, size_t n) {
    if (n >= N) return false;
    memcpy(out, from, n);
    out[n] = '\0';
    return true;
}

// Decimal number as the line format reads it: leading digits, anything after them ignored.
uint64_t Decimal(const char* text) { return strtoull(text, nullptr, 10); }

// SOURCE value: "id:ts2v3:address:port". False when it does not yield all three fields or a
// field does not fit its buffer, or the port is no UDP port number.
bool ParseSource(const char* value, ITGStream& src) {
    char id[HSC_DB_PROG_FIELD_SIZE];
    char address[HSC_DB_PROG_FIELD_SIZE];
    int portAt = -1;
    // The widths stop a longer field, and the literal that must follow it then fails to match.
    if (sscanf(value, "%127[^:]:ts2v3:%127[^:]:%n", id, address, &portAt) != 2 || portAt < 0)
        return false;
    const char* p = value + portAt;
    while (isspace(static_cast<unsigned char>(*p))) ++p;
    char* end = nullptr;
    errno = 0;
    const long port = strtol(p, &end, 10);
    if (end == p || errno == ERANGE || port < 0 || port > 65535) return false;
    src.id = static_cast<uint32_t>(Decimal(id));
    snprintf(src.address, sizeof(src.address), "%s", address);
    src.port = static_cast<int32_t>(port);
    return true;
}

// PROGRAM value: "STREAMID:SID:BID:CID:MINUTES_TO_KEEP:STORAGEID". The first five fields are
// non-empty runs without ':'; the sixth runs to the end of the value (or a CR). False when there
// are fewer than six fields or one is longer than 127 characters.
bool SplitProgram(const char* value, char (&fields)[6][HSC_DB_PROG_FIELD_SIZE]) {
    const char* p = value;
    for (int i = 0; i < 5; ++i) {
        const size_t n = strcspn(p, ":");
        if (n == 0 || p[n] != ':') return false;
        if (!CopyField(fields[i], p, n)) return false;
        p += n + 1;
    }
    const size_t n = strcspn(p, "\n\r");
    if (n == 0) return false;
    return CopyField(fields[5], p, n);
}

void InvalidSource(const char* value) { MVLOGI("[DB] Invalid SOURCE declaration (%s)", value); }

void InvalidProgram(const char* value) {
    MVLOGE("[DB] Invalid PROGRAM declaration (%s)", value);
    MVLOGE("[DB] Use '[R]PROGRAM STREAMID:SID:BID:CID:MINUTES_TO_KEEP:STORAGEID'");
}

}  // namespace

bool HSCDBLoadChannelsFrom(const char* path, std::vector<HSCCompleteChannel>& list, bool verbose) {
    list.clear();
    FILE* f = fopen(path, "rt");
    if (f == nullptr) {
        MVLOGI("[DB] Could not open channel file (%s)", path);
        return false;
    }
    std::map<uint32_t, ITGStream> sources;
    char line[HSC_DB_LINE_SIZE];
    int length = 0;
    bool overlong = false;
    while (ReadLine(f, line, length, overlong)) {
        if (length == 0 || line[0] == '#') continue;

        // Keyword: everything before the first space; value: from the next non-blank character
        // to the next space.
        const size_t kwLen = strcspn(line, " ");
        if (kwLen == 0 || line[kwLen] == '\0') continue;
        const char* v = line + kwLen;
        while (isspace(static_cast<unsigned char>(*v))) ++v;
        const size_t valLen = strcspn(v, " \n");
        if (valLen == 0) continue;

        // The keyword decides the kind of line; one too long for its buffer matches none.
        if (kwLen > static_cast<size_t>(kMaxField)) continue;
        char keyword[HSC_DB_FIELD_SIZE];
        char value[HSC_DB_FIELD_SIZE];
        CopyField(keyword, line, kwLen);
        const bool fits = !overlong && valLen <= static_cast<size_t>(kMaxField);
        // An oversized value is shown cut to what the buffer holds.
        CopyField(value, v, valLen <= static_cast<size_t>(kMaxField) ? valLen : kMaxField);

        const bool isSource = strcmp(keyword, "SOURCE") == 0;
        const bool isProgram = strcmp(keyword, "PROGRAM") == 0;
        const bool isRProgram = strcmp(keyword, "RPROGRAM") == 0;
        if (isSource) {
            ITGStream src;
            if (!fits || !ParseSource(value, src)) {
                InvalidSource(value);
                continue;
            }
            sources[src.id] = src;
            if (verbose) MVLOGI("    [DB] Parsed source: (%d) = (%s:%d)", src.id, src.address, src.port);
        } else if (isProgram || isRProgram) {
            char fields[6][HSC_DB_PROG_FIELD_SIZE];
            if (!fits || !SplitProgram(value, fields)) {
                InvalidProgram(value);
                continue;
            }
            const uint32_t streamId = static_cast<uint32_t>(Decimal(fields[0]));
            auto it = sources.find(streamId);
            if (it == sources.end()) {
                MVLOGI("[DB] Invalid SOURCE (%d)", streamId);
                continue;
            }
            HSCCompleteChannel ch;
            ch.cid = MvCIDMake(static_cast<uint32_t>(Decimal(fields[3])),
                               static_cast<uint32_t>(Decimal(fields[2]) & 0xFF), 0);
            ch.programNumber = Decimal(fields[1]);
            ch.storageId = Decimal(fields[5]);
            snprintf(ch.sourceAddress, sizeof(ch.sourceAddress), "%s", it->second.address);
            ch.sourcePort = static_cast<uint16_t>(it->second.port);
            ch.flags = isRProgram ? HSC_CHANNEL_RPROGRAM : 0;
            ch.minutesToKeep = static_cast<uint32_t>(Decimal(fields[4]));
            list.push_back(ch);
            if (verbose)
                MVLOGI("    [DB] Parsed program: source(%d) -> " MV_CID_FMT, streamId,
                       MV_CID_ARGS(ch.cid));
        }
        // DUMMY and any other keyword: ignored.
    }
    fclose(f);
    return true;
}

bool HSCDBLoadChannels(std::vector<HSCCompleteChannel>& list) {
    const std::string path = ITGGetConfString(ITGConfString::DATABASE);
    return HSCDBLoadChannelsFrom(path.c_str(), list, ITGGetMainConf()->VERBOSE.load());
}

void HSCDetectAdded(const std::vector<HSCWriterControl*>& running,
                    std::vector<HSCCompleteChannel>& added,
                    const std::vector<HSCCompleteChannel>& loaded) {
    for (const HSCCompleteChannel& ch : loaded) {
        bool found = false;
        for (const HSCWriterControl* w : running) {
            if (w->cid == ch.cid) {
                found = true;
                break;
            }
        }
        if (!found) added.push_back(ch);
    }
}

void HSCDetectDeleted(std::vector<HSCWriterControl*>& running,
                      std::vector<HSCWriterControl*>& deleted,
                      const std::vector<HSCCompleteChannel>& loaded) {
    for (size_t i = running.size(); i-- > 0;) {
        bool found = false;
        for (const HSCCompleteChannel& ch : loaded) {
            if (ch.cid == running[i]->cid) {
                found = true;
                break;
            }
        }
        if (!found) {
            deleted.push_back(running[i]);
            running.erase(running.begin() + static_cast<std::ptrdiff_t>(i));
        }
    }
}
