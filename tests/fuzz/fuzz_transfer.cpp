// Fuzzes the wake-up handshake and the XMODEM sender with arbitrary board
// answers and image sizes, and holds everything they did against the rules
// of the protocol.
//
// Input: three bytes of image size (taken modulo 320 KiB + 1), one byte of
// flags (bit 0: start with the wake-up handshake), then the board's answers:
// 0xFF is a read that times out, 0xFE X is the byte X, 0xFD X is X already
// queued, 0xFC D X is X arriving D x 10 ms into the read that waits for it,
// 0xFB takes the port away, and any other byte is itself.
#include "app/wake.h"
#include "tests/scripted_serial.h"
#include "tests/xmodem_reference.h"
#include "xmodem/xmodem.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>

namespace
{

const unsigned char EOT = 0x04, ACK = 0x06, NAK = 0x15, CAN = 0x18;
const size_t MAX_IMAGE = 320 * 1024;
const int NOTHING = -1;

void require(bool condition, const char *what)
{
    if (!condition) {
        fprintf(stderr, "broken: %s\n", what);
        abort();
    }
}

// Walks the log of line calls in the order the protocol allows them,
// keeping the virtual time at which the sender stands.
struct Walk {
    const std::vector<ScriptEvent> &events;
    size_t at;
    long long now_ms;
    bool lost; // the port was gone after the last call
};

const ScriptEvent &next_event(Walk &walk, const char *what)
{
    require(walk.at < walk.events.size() && walk.events[walk.at].at_ms == walk.now_ms, what);
    const ScriptEvent &event = walk.events[walk.at++];
    walk.now_ms = event.end_ms;
    walk.lost = event.lost;
    return event;
}

void expect_write(Walk &walk, const std::vector<unsigned char> &bytes, const char *what)
{
    const ScriptEvent &event = next_event(walk, what);
    require(event.write && event.bytes == bytes, what);
}

// The bytes of a read with the given time-out.
const std::vector<unsigned char> &expect_read(Walk &walk, long long timeout_ms)
{
    const ScriptEvent &event = next_event(walk, "a read where none belongs");
    require(!event.write && event.timeout_ms == timeout_ms, "a read with the wrong time-out");
    return event.bytes;
}

// The byte of a read that waits, or NOTHING.
int expect_byte(Walk &walk, long long timeout_ms)
{
    const std::vector<unsigned char> &bytes = expect_read(walk, timeout_ms);
    require(bytes.size() <= 1, "more than one byte for one");
    return bytes.empty() ? NOTHING : bytes[0];
}

void expect_end(const Walk &walk)
{
    require(walk.at == walk.events.size(), "line activity after the end");
}

// The flush that follows every cancel, and then nothing more: reads of
// 1.5 s (less near the 10 s limit) while bytes from 0x01 to 0x7F come.
void expect_flush_and_end(Walk &walk)
{
    const long long limit = walk.now_ms + 10000;
    while (walk.now_ms < limit) {
        int byte = expect_byte(walk, std::min(1500LL, limit - walk.now_ms));
        if (byte == NOTHING || static_cast<int8_t>(byte) <= 0)
            break;
    }
    expect_end(walk);
}

void expect_acknowledged_cancel(Walk &walk)
{
    expect_write(walk, {ACK}, "ACK for the receiver's cancel");
    expect_flush_and_end(walk);
}

// A CAN was read: returns whether a second one cancelled the transfer, in
// which case the acknowledgement and the flush must follow.
bool receiver_cancelled(Walk &walk)
{
    if (expect_byte(walk, 1000) != CAN)
        return false;
    expect_acknowledged_cancel(walk);
    return true;
}

void expect_give_up(Walk &walk)
{
    expect_write(walk, {CAN, CAN, CAN}, "CAN CAN CAN on giving up, in one write");
    expect_flush_and_end(walk);
}

// Counts CANs in a row among dropped bytes; true at the second.
bool second_can(const std::vector<unsigned char> &bytes, int *cans)
{
    for (unsigned char byte : bytes) {
        *cans = byte == CAN ? *cans + 1 : 0;
        if (*cans == 2)
            return true;
    }
    return false;
}

// Before a packet or an EOT: after a time-out, reads of 100 ms (less near
// the 1 s limit) until one gets nothing; then reads of what is waiting until
// one gets nothing. Returns true if the receiver cancelled meanwhile.
bool expect_stale_dropped(Walk &walk, bool after_time_out)
{
    int cans = 0;
    if (after_time_out) {
        const long long limit = walk.now_ms + 1000;
        while (walk.now_ms < limit) {
            const std::vector<unsigned char> &bytes =
                expect_read(walk, std::min(100LL, limit - walk.now_ms));
            if (bytes.empty())
                break;
            if (second_can(bytes, &cans)) {
                expect_acknowledged_cancel(walk);
                return true;
            }
        }
    }
    for (;;) {
        const std::vector<unsigned char> &bytes = expect_read(walk, 0);
        if (bytes.empty())
            break;
        if (second_can(bytes, &cans)) {
            expect_acknowledged_cancel(walk);
            return true;
        }
    }
    return cans == 1 && receiver_cancelled(walk);
}

enum Answer { ACKNOWLEDGED, REFUSED, TIMED_OUT, CANCELLED, LINE_GONE };

// The wait for an answer until the deadline: every other byte is noise.
Answer expect_answer(Walk &walk, long long deadline_ms)
{
    while (walk.now_ms < deadline_ms) {
        int byte = expect_byte(walk, deadline_ms - walk.now_ms);
        if (byte == ACK)
            return ACKNOWLEDGED;
        if (byte == NAK || byte == 'C')
            return REFUSED;
        if (byte == CAN)
            return receiver_cancelled(walk) ? CANCELLED : REFUSED;
        if (walk.lost)
            return LINE_GONE;
    }
    return TIMED_OUT;
}

// A packet or the EOT sent until it is acknowledged, at most `tries` times
// with timeout_ms for each answer: returns 0 once it is, 1 after the last
// try, or the failure's result.
int expect_sent_until_acknowledged(Walk &walk, const std::vector<unsigned char> &bytes, int tries,
                                   long long timeout_ms)
{
    bool timed_out = false;
    for (int tried = 0; tried < tries; ++tried) {
        if (expect_stale_dropped(walk, timed_out))
            return XMODEM_ERR_CANCELLED;
        expect_write(walk, bytes, "the packet or EOT, byte for byte, in one write");
        Answer answer = expect_answer(walk, walk.now_ms + timeout_ms);
        if (answer == ACKNOWLEDGED)
            return 0;
        if (answer == CANCELLED)
            return XMODEM_ERR_CANCELLED;
        if (answer == LINE_GONE) {
            expect_end(walk);
            return XMODEM_ERR_LINE_LOST;
        }
        timed_out = answer == TIMED_OUT;
    }
    return 1;
}

// Returns the result the sender must have returned.
int expected_transfer(Walk &walk, const unsigned char *image, size_t size)
{
    bool crc = false, started = false;
    for (int tries = 0; tries < 16 && !started; ++tries) {
        int answer = expect_byte(walk, 2000);
        started = answer == 'C' || answer == NAK;
        crc = answer == 'C';
        if (answer == CAN && receiver_cancelled(walk))
            return XMODEM_ERR_CANCELLED;
        if (!started && walk.lost) {
            expect_end(walk);
            return XMODEM_ERR_LINE_LOST;
        }
    }
    if (!started) {
        expect_give_up(walk);
        return XMODEM_ERR_NO_SYNC;
    }

    size_t blocks = size / 128 + 1;
    for (size_t block = 0; block < blocks; ++block) {
        std::vector<unsigned char> expected =
            packet(data_field(image, size, block * 128), static_cast<unsigned>(block + 1), crc);
        int result = expect_sent_until_acknowledged(walk, expected, 25, 1000);
        if (result == 1) {
            expect_give_up(walk);
            return XMODEM_ERR_BLOCK_RETRIES;
        }
        if (result < 0)
            return result;
    }
    int result = expect_sent_until_acknowledged(walk, {EOT}, 10, 2000);
    expect_end(walk);
    if (result == 1)
        return XMODEM_ERR_NO_EOT_ACK;
    return result < 0 ? result : static_cast<int>(128 * blocks);
}

// Returns whether the board answered; the port went away otherwise.
bool expect_wake_up(Walk &walk)
{
    const std::vector<unsigned char> pattern = {0xBB, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77};
    for (;;) {
        expect_write(walk, pattern, "the wake pattern, in one write");
        if (expect_byte(walk, 50) == NAK)
            return true;
        if (walk.lost)
            return false;
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    // The progress display is of no interest here, and costs time.
    if (freopen("/dev/null", "w", stdout) == nullptr)
        abort();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 4)
        return 0;
    size_t image_size = (data[0] | data[1] << 8 | data[2] << 16) % (MAX_IMAGE + 1);
    bool wake = data[3] & 1;
    std::vector<int> answers;
    bool wake_ends = false;
    for (size_t i = 4; i < size; ++i) {
        if (data[i] == 0xFF)
            answers.push_back(SILENCE);
        else if (data[i] == 0xFE && i + 1 < size)
            answers.push_back(data[++i]);
        else if (data[i] == 0xFD && i + 1 < size)
            answers.push_back(queued(data[++i]));
        else if (data[i] == 0xFB)
            answers.push_back(LINE_LOST);
        else if (data[i] == 0xFC && i + 2 < size) {
            answers.push_back(after_ms(data[i + 1] * 10, data[i + 2]));
            i += 2;
        } else
            answers.push_back(data[i]);
        // Without a NAK or the port's loss, the handshake would rightly wait
        // for ever.
        wake_ends = wake_ends || answers.back() == LINE_LOST || (answers.back() & 0xFF) == NAK;
    }

    // Exactly the image's bytes, so that reading past them is caught.
    std::unique_ptr<unsigned char[]> image(new unsigned char[image_size]);
    for (size_t i = 0; i < image_size; ++i)
        image[i] = static_cast<unsigned char>(i * 131 + image_size);

    script_reset(answers);
    wake = wake && wake_ends;
    int result = XMODEM_ERR_LINE_LOST;
    if (!wake || wake_board(0, nullptr) == WAKE_ANSWERED)
        result = xmodem_send(image.get(), static_cast<int>(image_size), nullptr);

    require(result >= 0 || result == -1 || result == -2 || result == -4 || result == -5 ||
                result == -6,
            "a result outside the documented ones");
    Walk walk = {script_record().events, 0, 0, false};
    if (wake && !expect_wake_up(walk)) {
        expect_end(walk);
        require(result == XMODEM_ERR_LINE_LOST, "a transfer on a port that went away");
        return 0;
    }
    require(result == expected_transfer(walk, image.get(), image_size),
            "a result that does not match what happened on the line");
    return 0;
}
