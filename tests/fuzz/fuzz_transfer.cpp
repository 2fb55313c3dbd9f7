// Fuzzes the wake-up handshake and the XMODEM sender with arbitrary board
// answers and image sizes, and holds everything they did against the rules
// of the protocol.
//
// Input: three bytes of image size (taken modulo 320 KiB + 1), one byte of
// flags (bit 0: start with the wake-up handshake), then the board's answers:
// 0xFF is a read that times out, 0xFE X is the byte X, any other byte is
// itself.
#include "app/wake.h"
#include "tests/scripted_serial.h"
#include "tests/xmodem_reference.h"
#include "xmodem/xmodem.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>

namespace
{

const unsigned char EOT = 0x04, ACK = 0x06, NAK = 0x15, CAN = 0x18;
const size_t MAX_IMAGE = 320 * 1024;

void require(bool condition, const char *what)
{
    if (!condition) {
        fprintf(stderr, "broken: %s\n", what);
        abort();
    }
}

// Walks the log of line events in the order the protocol allows them.
struct Walk {
    const std::vector<ScriptEvent> &events;
    size_t at;
};

void expect_write(Walk &walk, unsigned char byte, const char *what)
{
    require(walk.at < walk.events.size() && walk.events[walk.at].read_timeout_ms == 0 &&
                walk.events[walk.at].byte == byte,
            what);
    ++walk.at;
}

unsigned char expect_read(Walk &walk, int timeout_ms)
{
    require(walk.at < walk.events.size() && walk.events[walk.at].read_timeout_ms == timeout_ms,
            "a read with the wrong time-out, or none");
    return walk.events[walk.at++].byte;
}

// The flush that follows every cancel, and then nothing more.
void expect_flush_and_end(Walk &walk)
{
    while (static_cast<int8_t>(expect_read(walk, 1500)) > 0) {
    }
    require(walk.at == walk.events.size(), "line activity after the flush");
}

// A CAN was read: returns whether a second one cancelled the transfer, in
// which case the acknowledgement and the flush must follow.
bool receiver_cancelled(Walk &walk)
{
    if (expect_read(walk, 1000) != CAN)
        return false;
    expect_write(walk, ACK, "ACK for the receiver's cancel");
    expect_flush_and_end(walk);
    return true;
}

void expect_give_up(Walk &walk)
{
    for (int i = 0; i < 3; ++i)
        expect_write(walk, CAN, "CAN CAN CAN on giving up");
    expect_flush_and_end(walk);
}

// Returns the result the sender must have returned.
int expected_transfer(Walk &walk, const unsigned char *image, size_t size)
{
    bool crc = false, started = false;
    for (int tries = 0; tries < 16 && !started; ++tries) {
        unsigned char answer = expect_read(walk, 2000);
        started = answer == 'C' || answer == NAK;
        crc = answer == 'C';
        if (answer == CAN && receiver_cancelled(walk))
            return XMODEM_ERR_CANCELLED;
    }
    if (!started) {
        expect_give_up(walk);
        return XMODEM_ERR_NO_SYNC;
    }

    size_t blocks = size / 128 + 1;
    for (size_t block = 0; block < blocks; ++block) {
        std::vector<unsigned char> expected =
            packet(data_field(image, size, block * 128), static_cast<unsigned>(block + 1), crc);
        bool acked = false;
        for (int tries = 0; tries < 25 && !acked; ++tries) {
            for (unsigned char byte : expected)
                expect_write(walk, byte, "the packet, byte for byte");
            unsigned char answer = expect_read(walk, 1000);
            acked = answer == ACK;
            if (answer == CAN && receiver_cancelled(walk))
                return XMODEM_ERR_CANCELLED;
        }
        if (!acked) {
            expect_give_up(walk);
            return XMODEM_ERR_BLOCK_RETRIES;
        }
    }
    for (int tries = 0; tries < 10; ++tries) {
        expect_write(walk, EOT, "EOT");
        if (expect_read(walk, 2000) == ACK) {
            require(walk.at == walk.events.size(), "line activity after the EOT's ACK");
            return static_cast<int>(128 * blocks);
        }
    }
    require(walk.at == walk.events.size(), "line activity after the last EOT");
    return XMODEM_ERR_NO_EOT_ACK;
}

void expect_wake_up(Walk &walk)
{
    static const unsigned char pattern[] = {0xBB, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77};
    do {
        for (unsigned char byte : pattern)
            expect_write(walk, byte, "the wake pattern");
    } while (expect_read(walk, 50) != NAK);
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
    bool has_nak = false;
    for (size_t i = 4; i < size; ++i) {
        if (data[i] == 0xFF)
            answers.push_back(SILENCE);
        else if (data[i] == 0xFE && i + 1 < size)
            answers.push_back(data[++i]);
        else
            answers.push_back(data[i]);
        has_nak = has_nak || answers.back() == NAK;
    }

    // Exactly the image's bytes, so that reading past them is caught.
    std::unique_ptr<unsigned char[]> image(new unsigned char[image_size]);
    for (size_t i = 0; i < image_size; ++i)
        image[i] = static_cast<unsigned char>(i * 131 + image_size);

    script_reset(answers);
    // Without a NAK anywhere, the handshake would rightly wait for ever.
    if (wake && has_nak)
        wake_board();
    int result = xmodem_send(image.get(), static_cast<int>(image_size));

    require(result >= 0 || result == -1 || result == -2 || result == -4 || result == -5,
            "a result outside the documented ones");
    Walk walk = {script_record().events, 0};
    if (wake && has_nak)
        expect_wake_up(walk);
    require(result == expected_transfer(walk, image.get(), image_size),
            "a result that does not match what happened on the line");
    return 0;
}
