#include "app/heard.h"

#include "app/wake.h"

#include <cstdio>
#include <string>

enum { FIRST_KEPT = 6, LINE_SHOWN = 60, LINE_KEPT = 256 };

static HeardPhase phase;
static long heard_bytes; // everything, answers included
static long unanswered;  // what answered nothing
static long printable;   // of that, text: printable ASCII, tabs and line ends
static long echoed;      // of that, bytes that follow the wake pattern in order
static int pattern_at;   // where in the pattern the last echoed byte stood; -1: none
static unsigned char first[FIRST_KEPT];
static std::string line;      // the text line being received
static std::string last_line; // the last one ended

void heard_begin(HeardPhase new_phase)
{
    phase = new_phase;
    heard_bytes = unanswered = printable = echoed = 0;
    pattern_at = -1;
    line.clear();
    last_line.clear();
}

// Follows the wake pattern through what came back, from wherever it starts.
static void follow_pattern(unsigned char byte)
{
    int next = (pattern_at + 1) % WAKE_PATTERN_SIZE;
    if (pattern_at >= 0 && WAKE_PATTERN[next] == byte) {
        pattern_at = next;
        ++echoed;
        return;
    }
    pattern_at = -1;
    for (int i = 0; i < WAKE_PATTERN_SIZE && pattern_at < 0; ++i) {
        if (WAKE_PATTERN[i] == byte)
            pattern_at = i;
    }
    echoed += pattern_at >= 0;
}

void heard_take(const unsigned char *bytes, int count, bool answered)
{
    heard_bytes += count;
    for (int i = 0; i < count && !answered; ++i) {
        unsigned char byte = bytes[i];
        if (unanswered < FIRST_KEPT)
            first[unanswered] = byte;
        ++unanswered;
        follow_pattern(byte);
        bool line_end = byte == '\r' || byte == '\n';
        bool on_line = byte == '\t' || (byte >= 0x20 && byte < 0x7F);
        printable += line_end || on_line;
        if (line_end && !line.empty())
            last_line = line;
        if (line_end)
            line.clear();
        else if (on_line && line.size() < LINE_KEPT)
            line += static_cast<char>(byte);
    }
}

// The board's last words: the line it is on, or else the last one it ended,
// without trailing blanks and cut to 60 characters.
static std::string last_words()
{
    std::string words = line.find_first_not_of(" \t") != std::string::npos ? line : last_line;
    words.erase(words.find_last_not_of(" \t") + 1);
    return words.substr(0, LINE_SHOWN);
}

void heard_explain()
{
    if (heard_bytes == 0) {
        fprintf(stderr, phase == HEARD_WAKE
                            ? "  Nothing came back at all: check the adapter's receive wire, the "
                              "ground and the board's power.\n"
                            : "  After its answer to the wake pattern the board sent nothing "
                              "more.\n");
    } else if (unanswered == 0) {
        return;
    } else if (phase == HEARD_WAKE && echoed >= WAKE_PATTERN_SIZE &&
               echoed * 10 >= unanswered * 9) {
        fprintf(stderr, "  Everything the tool sends comes back: the line is looped (TX joined to "
                        "RX), or the board is in its boot ROM's debug console.\n");
    } else if (printable * 10 >= unanswered * 9 && !last_words().empty()) {
        fprintf(stderr,
                "  The board sent text instead: it runs something of its own, most likely from "
                "its flash. Reset it while the tool waits. It said: \"%s\"\n",
                last_words().c_str());
    } else {
        std::string hex;
        for (long i = 0; i < unanswered && i < FIRST_KEPT; ++i) {
            char byte[4];
            snprintf(byte, sizeof byte, " %02X", first[i]);
            hex += byte;
        }
        fprintf(stderr,
                "  The board sent %ld byte%s that answer nothing, starting with%s: a line at "
                "another speed, or noise.\n",
                unanswered, unanswered == 1 ? "" : "s", hex.c_str());
    }
}
