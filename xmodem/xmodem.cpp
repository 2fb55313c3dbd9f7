#include "xmodem/xmodem.h"

#include "serial/serial.h"
#include "xmodem/crc16.h"

#include <cstdint>
#include <cstdio>
#include <cstring>

enum {
    BLOCK_SIZE = 128,
    LONG_BLOCK_SIZE = 1024,
    PACKET_HEADER_SIZE = 3,
    EOT_TRIES = 10,
    START_TIMEOUT_MS = 2000,
    SECOND_CAN_TIMEOUT_MS = 1000,
    FLUSH_TIMEOUT_MS = 1500,
    FLUSH_LIMIT_MS = 10000,
    QUIET_MS = 100,
    QUIET_LIMIT_MS = 1000,
    NOT_ACKNOWLEDGED = 1,
};

enum XmodemMode { MODE_CRC, MODE_CHECKSUM };

// What sets one kind of transfer apart from the other.
struct Rules {
    int start_tries;       // 2 s each; with start_limit_ms, that long
    int start_limit_ms;    // time for the start, whatever else comes; 0: a byte costs a try
    int block_tries;       // for each packet
    int answer_timeout_ms; // for each try of a packet
    int eot_timeout_ms;    // for each try of the EOT
    // A file from the terminal: 1024-byte blocks while more than 896 bytes
    // are left (128-byte ones after, so that at most 127 filler bytes go),
    // filled with 0x1A, no block of filler alone, and the progress counts the
    // block just acknowledged. Otherwise the boot download's blocks.
    bool file;
};

// The boot ROM's download: every value is what the board has always had.
static const Rules BOOT_RULES = {16, 0, XMODEM_BOOT_BLOCK_TRIES, 1000, 2000, false};
// A receiver that a user started at a prompt: a minute to ask for the first
// block (the loader's own text on the way does not count), and the usual
// XMODEM ten tries of ten seconds.
static const Rules FILE_RULES = {0, 60000, XMODEM_FILE_BLOCK_TRIES, 10000, 10000, true};

// How the wait for the answer to a packet or an EOT ended.
enum Answer {
    ANSWER_ACK,
    ANSWER_REFUSED,
    ANSWER_NONE,
    ANSWER_CANCELLED,
    ANSWER_LINE_LOST,
    ANSWER_STOPPED
};

// SOH or STX, number, complement, data and at most two check bytes.
static unsigned char packet[PACKET_HEADER_SIZE + LONG_BLOCK_SIZE + 2];

static void (*watcher)(const unsigned char *, int, bool) = nullptr;

void xmodem_watch(void (*heard)(const unsigned char *bytes, int count, bool answered))
{
    watcher = heard;
}

// Reads the receiver's next byte within the time-out: returns it, or -1 when
// none came. The watcher hears of it, an answer if it is one of `answers`.
static int next_byte(int timeout_ms, const char *answers)
{
    unsigned char byte;
    if (serial_read(&byte, 1, timeout_ms) != 1)
        return -1;
    if (watcher != nullptr)
        watcher(&byte, 1, byte != 0 && strchr(answers, byte) != nullptr);
    return byte;
}

// The bytes that answer a packet or an EOT, and those that start a transfer.
static const char ANSWERS[] = {XMODEM_ACK, XMODEM_NAK, XMODEM_CRC_START, XMODEM_CAN, 0};
static const char STARTS[] = {XMODEM_NAK, XMODEM_CRC_START, XMODEM_CAN, 0};

static int shorter(long long left_ms, int timeout_ms)
{
    return left_ms < timeout_ms ? static_cast<int>(left_ms) : timeout_ms;
}

void xmodem_flush_input()
{
    // A byte above 0x7F counts as negative and, like a 0x00, ends the flush;
    // so does the limit, or a receiver that keeps talking would hold the
    // sender for ever.
    long long limit = serial_clock_ms() + FLUSH_LIMIT_MS;
    for (long long left; (left = limit - serial_clock_ms()) > 0 && !serial_stop_requested();) {
        if (static_cast<int8_t>(serial_read_byte(shorter(left, FLUSH_TIMEOUT_MS))) <= 0)
            return;
    }
}

// Tells the receiver that no more blocks will come, in one write.
static void send_cancel()
{
    static const unsigned char cancel[] = {XMODEM_CAN, XMODEM_CAN, XMODEM_CAN};
    serial_write(cancel, sizeof cancel);
}

// Called after one CAN: a second one right behind it cancels the transfer,
// and the cancel is acknowledged.
static int cancelled_by_receiver()
{
    if (serial_read_byte(SECOND_CAN_TIMEOUT_MS) != XMODEM_CAN)
        return 0;
    serial_write_byte(XMODEM_ACK);
    return 1;
}

// Waits for the receiver to choose the block check: 'C' asks for CRC-16,
// NAK for the checksum. Returns 0 once it has, or the failure's result.
static int wait_for_start(XmodemMode *mode, const Rules &rules)
{
    long long limit = serial_clock_ms() + rules.start_limit_ms;
    for (int tries = 0;
         rules.start_limit_ms > 0 ? serial_clock_ms() < limit : tries < rules.start_tries;
         ++tries) {
        int timeout_ms = rules.start_limit_ms > 0
                             ? shorter(limit - serial_clock_ms(), START_TIMEOUT_MS)
                             : START_TIMEOUT_MS;
        int answer = next_byte(timeout_ms, STARTS);
        if (answer == XMODEM_CRC_START) {
            *mode = MODE_CRC;
            return 0;
        }
        if (answer == XMODEM_NAK) {
            *mode = MODE_CHECKSUM;
            return 0;
        }
        if (answer == XMODEM_CAN && cancelled_by_receiver())
            return XMODEM_ERR_CANCELLED;
        if (serial_lost())
            return XMODEM_ERR_LINE_LOST;
        if (serial_stop_requested())
            return XMODEM_ERR_STOPPED; // the receiver is not listening for a cancel yet
    }
    send_cancel();
    return XMODEM_ERR_NO_SYNC;
}

// Counts CANs in a row among bytes being dropped; returns 1 at the second.
static int second_can(const unsigned char *bytes, int count, int *cans)
{
    for (int i = 0; i < count; ++i) {
        *cans = bytes[i] == XMODEM_CAN ? *cans + 1 : 0;
        if (*cans == 2)
            return 1;
    }
    return 0;
}

// Late answers among stale bytes are answers still.
static void tell_stale(const unsigned char *bytes, int count)
{
    for (int i = 0; i < count && watcher != nullptr; ++i)
        watcher(bytes + i, 1, bytes[i] != 0 && strchr(ANSWERS, bytes[i]) != nullptr);
}

// Drops what the receiver has sent since its last answer, right before the
// next packet or EOT goes: nothing sent earlier can answer it. After a try
// that timed out, its answer may still be on the way: first the line must
// be quiet for 100 ms (1 s at most). CAN CAN among what is dropped cancels
// the transfer as it would while waiting; returns 1 then.
static int drop_stale_input(bool after_time_out)
{
    unsigned char stale[64];
    int cans = 0;
    if (after_time_out) {
        long long limit = serial_clock_ms() + QUIET_LIMIT_MS;
        for (long long left; (left = limit - serial_clock_ms()) > 0 && !serial_stop_requested();) {
            int got = serial_read(stale, sizeof stale, shorter(left, QUIET_MS));
            if (got == 0)
                break;
            tell_stale(stale, got);
            if (second_can(stale, got, &cans)) {
                serial_write_byte(XMODEM_ACK);
                return 1;
            }
        }
    }
    // A line that keeps talking ends this at the stop, which the caller sees.
    for (int got; !serial_stop_requested() && (got = serial_read(stale, sizeof stale, 0)) > 0;) {
        tell_stale(stale, got);
        if (second_can(stale, got, &cans)) {
            serial_write_byte(XMODEM_ACK);
            return 1;
        }
    }
    // A CAN that came last may have its partner on the way.
    return cans == 1 && cancelled_by_receiver();
}

// Waits until the deadline for the answer to what was just sent. A byte
// that answers nothing (noise on the line, 0x00 included) is dropped and
// the wait goes on; only the deadline costs the try.
static Answer wait_for_answer(long long deadline)
{
    for (long long left; (left = deadline - serial_clock_ms()) > 0;) {
        switch (next_byte(static_cast<int>(left), ANSWERS)) {
        case XMODEM_ACK:
            return ANSWER_ACK;
        case XMODEM_NAK:
        case XMODEM_CRC_START:
            return ANSWER_REFUSED;
        case XMODEM_CAN:
            // A lone CAN costs the try, whatever follows it.
            return cancelled_by_receiver() ? ANSWER_CANCELLED : ANSWER_REFUSED;
        default:
            if (serial_lost())
                return ANSWER_LINE_LOST;
            if (serial_stop_requested())
                return ANSWER_STOPPED;
            break;
        }
    }
    return ANSWER_NONE;
}

// Puts the header and the block check around the field of `block` bytes
// already in the packet; returns the packet's length.
static int frame_packet(int block, unsigned char number, XmodemMode mode)
{
    const unsigned char *field = packet + PACKET_HEADER_SIZE;
    packet[0] = block == BLOCK_SIZE ? XMODEM_SOH : XMODEM_STX;
    packet[1] = number;
    packet[2] = static_cast<unsigned char>(255 - number);
    unsigned char *check = packet + PACKET_HEADER_SIZE + block;
    if (mode == MODE_CRC) {
        uint16_t crc = crc16_xmodem(field, block);
        check[0] = static_cast<unsigned char>(crc >> 8);
        check[1] = static_cast<unsigned char>(crc & 0xFF);
        return PACKET_HEADER_SIZE + block + 2;
    }
    unsigned char sum = 0;
    for (int i = 0; i < block; ++i)
        sum = static_cast<unsigned char>(sum + field[i]);
    check[0] = sum;
    return PACKET_HEADER_SIZE + block + 1;
}

// Builds the packet for the block at offset sent; returns its length, or 0
// when the data, filler included, has all gone. *count is how many of the
// data's bytes it carries.
static int build_packet(const unsigned char *data, int size, int sent, unsigned char number,
                        XmodemMode mode, const Rules &rules, int *count)
{
    *count = size - sent;
    if (*count < 0 || (rules.file && *count == 0))
        return 0;
    int block = rules.file && *count > LONG_BLOCK_SIZE - BLOCK_SIZE ? LONG_BLOCK_SIZE : BLOCK_SIZE;
    if (*count > block)
        *count = block;

    unsigned char *field = packet + PACKET_HEADER_SIZE;
    memset(field, rules.file ? XMODEM_FILLER : 0, block);
    if (*count > 0)
        memcpy(field, data + sent, *count);
    // The boot download's end: one filler byte, then zeros; a size that is
    // a multiple of the block size gets a block holding nothing but it.
    if (*count < block)
        field[*count] = XMODEM_FILLER;
    return frame_packet(block, number, mode);
}

// The share of the image that went before the block just acknowledged. In
// 64 bits, so that sent * 100 cannot overflow; an empty image has only its
// filler block, which completes it.
static int percent_sent(int sent, int size)
{
    return size > 0 ? static_cast<int>(static_cast<int64_t>(sent) * 100 / size) : 100;
}

// Who shows the progress of the transfer under way; nobody when nullptr.
static void (*show_progress)(int percent) = nullptr;

static void tell_progress(int percent)
{
    if (show_progress != nullptr)
        show_progress(percent);
}

// Sends a packet or the EOT until the receiver acknowledges it, at most
// `tries` times, waiting timeout_ms for each answer. Returns 0 once it is
// acknowledged, NOT_ACKNOWLEDGED after the last try, or the failure's
// result; a stop request cancels the transfer. The progress of the block
// before (shown_percent, if not -1) is told once this has gone out: the board
// should not wait for the console.
static int send_until_acknowledged(const unsigned char *bytes, int length, int tries,
                                   int timeout_ms, int shown_percent)
{
    int result = NOT_ACKNOWLEDGED;
    bool timed_out = false;
    for (int tried = 0; tried < tries && result == NOT_ACKNOWLEDGED; ++tried) {
        if (drop_stale_input(timed_out)) {
            result = XMODEM_ERR_CANCELLED;
            break;
        }
        if (serial_stop_requested()) {
            result = XMODEM_ERR_STOPPED;
            break;
        }
        serial_write(bytes, length);
        if (shown_percent >= 0)
            tell_progress(shown_percent);
        shown_percent = -1;
        Answer answer = wait_for_answer(serial_clock_ms() + timeout_ms);
        if (answer == ANSWER_ACK)
            result = 0;
        else if (answer == ANSWER_CANCELLED)
            result = XMODEM_ERR_CANCELLED;
        else if (answer == ANSWER_LINE_LOST)
            result = XMODEM_ERR_LINE_LOST;
        else if (answer == ANSWER_STOPPED)
            result = XMODEM_ERR_STOPPED;
        timed_out = answer == ANSWER_NONE;
    }
    // Without it the receiver would wait for the next packet for ever.
    if (result == XMODEM_ERR_STOPPED)
        send_cancel();
    if (shown_percent >= 0)
        tell_progress(shown_percent);
    return result;
}

// Sends the blocks of data from block number 1, then the EOT. Returns the
// bytes sent in blocks, or the failure's result.
static int send_blocks(const unsigned char *data, int size, XmodemMode mode, const Rules &rules)
{
    unsigned char number = 1;
    int sent = 0;
    int shown_percent = -1; // the progress of the block acknowledged last
    int count;
    tell_progress(0);
    for (int length; (length = build_packet(data, size, sent, number, mode, rules, &count)) > 0;) {
        int result = send_until_acknowledged(packet, length, rules.block_tries,
                                             rules.answer_timeout_ms, shown_percent);
        if (result == NOT_ACKNOWLEDGED) {
            send_cancel();
            return XMODEM_ERR_BLOCK_RETRIES;
        }
        if (result < 0)
            return result;
        // The boot download has always shown what went before the block.
        shown_percent = percent_sent(rules.file ? sent + count : sent, size);
        ++number;
        sent += packet[0] == XMODEM_STX ? LONG_BLOCK_SIZE : BLOCK_SIZE;
    }

    // A receiver that cancels here has refused the image.
    static const unsigned char end[] = {XMODEM_EOT};
    int result =
        send_until_acknowledged(end, sizeof end, EOT_TRIES, rules.eot_timeout_ms, shown_percent);
    if (result == NOT_ACKNOWLEDGED)
        return XMODEM_ERR_NO_EOT_ACK;
    return result < 0 ? result : sent;
}

// The boot download: the start, the blocks and the end. After a cancel the
// boot ROM may still be talking: it says nothing worth keeping.
static int send_image(const unsigned char *data, int size)
{
    XmodemMode mode;
    int result = wait_for_start(&mode, BOOT_RULES);
    if (result == 0)
        result = send_blocks(data, size, mode, BOOT_RULES);
    if (result == XMODEM_ERR_CANCELLED || result == XMODEM_ERR_NO_SYNC ||
        result == XMODEM_ERR_BLOCK_RETRIES)
        xmodem_flush_input();
    return result;
}

// A stop request also cuts short the flush after a cancel, and then ends
// the run rather than the failure.
static int as_stopped(int result)
{
    return result < 0 && serial_stop_requested() ? XMODEM_ERR_STOPPED : result;
}

int xmodem_send(const unsigned char *data, int size, void (*progress)(int percent))
{
    show_progress = progress;
    int result = as_stopped(send_image(data, size));
    show_progress = nullptr;
    return result;
}

// Sends YMODEM's block 0, the file's name and size (or, with name nullptr,
// the empty one that ends the batch), once the receiver asks for it.
static int send_block_zero(const char *name, int size, XmodemMode *mode)
{
    int result = wait_for_start(mode, FILE_RULES);
    if (result < 0)
        return result;
    unsigned char *field = packet + PACKET_HEADER_SIZE;
    char size_text[16];
    size_t size_length = static_cast<size_t>(snprintf(size_text, sizeof size_text, "%d", size));
    // A name, its 0, the size and a 0 after it: a file's name always fits
    // in the long block, whatever the path that led to it.
    size_t name_length = name != nullptr ? strlen(name) : 0;
    if (name_length + size_length + 2 > LONG_BLOCK_SIZE)
        name_length = LONG_BLOCK_SIZE - size_length - 2;
    int block = name_length + size_length + 2 > BLOCK_SIZE ? LONG_BLOCK_SIZE : BLOCK_SIZE;
    memset(field, 0, block);
    if (name != nullptr) {
        memcpy(field, name, name_length);
        memcpy(field + name_length + 1, size_text, size_length);
    }
    result = send_until_acknowledged(packet, frame_packet(block, 0, *mode), FILE_RULES.block_tries,
                                     FILE_RULES.answer_timeout_ms, -1);
    if (result == NOT_ACKNOWLEDGED) {
        send_cancel();
        return XMODEM_ERR_BLOCK_RETRIES;
    }
    return result;
}

static int send_file(FileProtocol protocol, const char *name, const unsigned char *data, int size)
{
    XmodemMode mode;
    int result = protocol == PROTOCOL_YMODEM ? send_block_zero(name, size, &mode)
                                             : wait_for_start(&mode, FILE_RULES);
    // After block 0 the receiver asks again, and may choose anew.
    if (result == 0 && protocol == PROTOCOL_YMODEM)
        result = wait_for_start(&mode, FILE_RULES);
    if (result == 0)
        result = send_blocks(data, size, mode, FILE_RULES);
    if (result >= 0 && protocol == PROTOCOL_YMODEM)
        result = send_block_zero(nullptr, 0, &mode);
    return result < 0 ? result : size;
}

int xmodem_send_file(FileProtocol protocol, const char *name, const unsigned char *data, int size,
                     void (*progress)(int percent))
{
    show_progress = progress;
    int result = as_stopped(send_file(protocol, name, data, size));
    show_progress = nullptr;
    return result;
}
