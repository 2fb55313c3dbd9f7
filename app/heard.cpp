#include "app/heard.h"

#include "app/wake.h"

#include <cstdio>
#include <string>

enum {
    FIRST_KEPT = 6,
    CHARACTERS_SHOWN = 60,
    LINE_KEPT = 256,
    SEQUENCE_KEPT = 64, // the longest escape sequence taken as one
    ESC = 0x1B,
    BEL = 0x07,
};

static HeardPhase phase;
static long heard_bytes;      // everything, answers included
static long unanswered;       // what answered nothing
static long text;             // of that, text: characters, tabs, line ends, escape sequences
static long returned_as_sent; // of that, bytes of the wake pattern in the order sent
static int pattern_at;        // where in the pattern the last of those stood; -1: none
static unsigned char first[FIRST_KEPT];
static std::string line;      // the text line being received
static std::string last_line; // the last one ended

// A character or escape sequence that has begun and not ended: its bytes,
// and for a character, how many more must come and the range of the next.
enum Sequence { NO_SEQUENCE, UTF8, AFTER_ESC, ESC_INTERMEDIATE, CSI, OSC, OSC_ESC };
static Sequence sequence;
static std::string sequence_bytes;
static int utf8_left;
static unsigned char utf8_low, utf8_high;

void heard_begin(HeardPhase new_phase)
{
    phase = new_phase;
    heard_bytes = unanswered = text = returned_as_sent = 0;
    pattern_at = -1;
    line.clear();
    last_line.clear();
    sequence = NO_SEQUENCE;
    sequence_bytes.clear();
}

// Follows the wake pattern through what came back: the byte sent after the
// last one that came back, the same again (a UART that overran), or the
// start of a pattern. Other bytes of the pattern come out of order, and
// bytes that are none of it are noise in between.
static void follow_pattern(unsigned char byte)
{
    int next = (pattern_at + 1) % WAKE_PATTERN_SIZE;
    bool in_order =
        byte == WAKE_PATTERN[0] ||
        (pattern_at >= 0 && (byte == WAKE_PATTERN[next] || byte == WAKE_PATTERN[pattern_at]));
    for (int i = 0; i < WAKE_PATTERN_SIZE; ++i) {
        if (WAKE_PATTERN[i] == byte)
            pattern_at = i;
    }
    returned_as_sent += in_order;
}

// A character, an escape sequence or a line end has come whole.
static void end_sequence(bool is_text)
{
    if (is_text) {
        text += static_cast<long>(sequence_bytes.size());
        if (sequence == UTF8 && line.size() < LINE_KEPT)
            line += sequence_bytes;
    }
    sequence = NO_SEQUENCE;
    sequence_bytes.clear();
}

// Starts reading a byte that no sequence holds.
static void begin_byte(unsigned char byte)
{
    bool line_end = byte == '\r' || byte == '\n';
    if (line_end && !line.empty())
        last_line = line;
    if (line_end)
        line.clear();
    if (line_end || byte == '\t' || (byte >= 0x20 && byte < 0x7F)) {
        ++text;
        if (!line_end && line.size() < LINE_KEPT)
            line += static_cast<char>(byte);
        return;
    }
    // UTF-8's lead bytes and the ranges of the byte after them: no overlong
    // forms, no surrogates, nothing beyond U+10FFFF.
    static const struct {
        unsigned char lead_low, lead_high;
        int left;
        unsigned char next_low, next_high;
    } LEADS[] = {{0xC2, 0xDF, 1, 0x80, 0xBF}, {0xE0, 0xE0, 2, 0xA0, 0xBF},
                 {0xE1, 0xEC, 2, 0x80, 0xBF}, {0xED, 0xED, 2, 0x80, 0x9F},
                 {0xEE, 0xEF, 2, 0x80, 0xBF}, {0xF0, 0xF0, 3, 0x90, 0xBF},
                 {0xF1, 0xF3, 3, 0x80, 0xBF}, {0xF4, 0xF4, 3, 0x80, 0x8F}};
    for (const auto &lead : LEADS) {
        if (byte >= lead.lead_low && byte <= lead.lead_high) {
            sequence = UTF8;
            utf8_left = lead.left;
            utf8_low = lead.next_low;
            utf8_high = lead.next_high;
        }
    }
    if (byte == ESC)
        sequence = AFTER_ESC;
    if (sequence != NO_SEQUENCE)
        sequence_bytes = static_cast<char>(byte);
}

// Takes the next byte of the sequence under way; returns false when it
// cannot be one, which ends the sequence as noise.
static bool continue_sequence(unsigned char byte)
{
    bool final_byte = byte >= 0x40 && byte <= 0x7E;
    bool ends = false;
    switch (sequence) {
    case UTF8:
        if (byte < utf8_low || byte > utf8_high)
            return false;
        utf8_low = 0x80;
        utf8_high = 0xBF;
        ends = --utf8_left == 0;
        break;
    case AFTER_ESC: // ESC [ (CSI), ESC ] (OSC), or ESC and a character
    case ESC_INTERMEDIATE:
        if (sequence == AFTER_ESC && (byte == '[' || byte == ']'))
            sequence = byte == '[' ? CSI : OSC;
        else if (byte >= 0x20 && byte <= 0x2F)
            sequence = ESC_INTERMEDIATE;
        else if (byte >= 0x30 && byte <= 0x7E)
            ends = true;
        else
            return false;
        break;
    case CSI: // parameters and intermediates, then a final byte
        if (!final_byte && (byte < 0x20 || byte > 0x3F))
            return false;
        ends = final_byte;
        break;
    case OSC: // a string up to BEL or ESC backslash
        if (byte == ESC)
            sequence = OSC_ESC;
        else if (byte < 0x20 && byte != BEL)
            return false;
        ends = byte == BEL;
        break;
    case OSC_ESC:
        if (byte != '\\')
            return false;
        ends = true;
        break;
    default:
        return false;
    }
    sequence_bytes += static_cast<char>(byte);
    if (ends)
        end_sequence(true);
    else if (sequence_bytes.size() >= SEQUENCE_KEPT)
        end_sequence(false);
    return true;
}

// Reads the byte as text would go on: a character, part of one, part of an
// escape sequence, or noise.
static void read_text(unsigned char byte)
{
    if (sequence != NO_SEQUENCE && continue_sequence(byte))
        return;
    if (sequence != NO_SEQUENCE)
        end_sequence(false); // what it had is noise; the byte starts anew
    begin_byte(byte);
}

void heard_take(const unsigned char *bytes, int count, bool answered)
{
    heard_bytes += count;
    for (int i = 0; i < count && !answered; ++i) {
        if (unanswered < FIRST_KEPT)
            first[unanswered] = bytes[i];
        ++unanswered;
        follow_pattern(bytes[i]);
        read_text(bytes[i]);
    }
}

// The text cut to so many characters, a UTF-8 character taking its bytes.
static std::string cut_to_characters(const std::string &words, size_t characters)
{
    size_t end = 0;
    for (size_t counted = 0; end < words.size(); ++end) {
        bool starts_character = (static_cast<unsigned char>(words[end]) & 0xC0) != 0x80;
        if (starts_character && counted++ == characters)
            break;
    }
    return words.substr(0, end);
}

// The board's last words: the line it is on, or else the last one it ended,
// without trailing blanks and cut to 60 characters.
static std::string last_words()
{
    std::string words = line.find_first_not_of(" \t") != std::string::npos ? line : last_line;
    words.erase(words.find_last_not_of(" \t") + 1);
    return cut_to_characters(words, CHARACTERS_SHOWN);
}

void heard_explain()
{
    if (heard_bytes == 0) {
        fprintf(stderr, phase == HEARD_WAKE
                            ? "  Nothing came back at all: check the adapter's receive wire, the "
                              "ground and the board's power.\n"
                        : phase == HEARD_TRANSFER
                            ? "  After its answer to the wake pattern the board sent nothing "
                              "more.\n"
                            : "  After the loader's download the board sent nothing more.\n");
    } else if (unanswered == 0) {
        return;
    } else if (phase == HEARD_WAKE && returned_as_sent >= WAKE_PATTERN_SIZE &&
               returned_as_sent * 2 > unanswered) {
        fprintf(stderr, "  Everything the tool sends comes back: the line is looped (TX joined to "
                        "RX), or the board is in its boot ROM's debug console.\n");
    } else if (text * 10 >= unanswered * 9 && !last_words().empty()) {
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
