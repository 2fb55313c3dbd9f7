#include "xmodem/xmodem.h"

#include "serial/serial.h"
#include "xmodem/crc16.h"

#include <cstdint>
#include <cstdio>
#include <cstring>

enum {
    BLOCK_SIZE = 128,
    PACKET_HEADER_SIZE = 3,
    START_TRIES = 16,
    BLOCK_TRIES = 25,
    EOT_TRIES = 10,
    START_TIMEOUT_MS = 2000,
    ANSWER_TIMEOUT_MS = 1000,
    SECOND_CAN_TIMEOUT_MS = 1000,
    EOT_TIMEOUT_MS = 2000,
    FLUSH_TIMEOUT_MS = 1500,
};

enum XmodemMode { MODE_CRC, MODE_CHECKSUM };

// SOH, number, complement, data and at most two check bytes.
static unsigned char packet[PACKET_HEADER_SIZE + BLOCK_SIZE + 2];

void xmodem_flush_input()
{
    // A byte above 0x7F counts as negative and, like a 0x00, ends the flush.
    while (static_cast<int8_t>(serial_read_byte(FLUSH_TIMEOUT_MS)) > 0) {
    }
}

void xmodem_give_up()
{
    static const unsigned char cancel[] = {XMODEM_CAN, XMODEM_CAN, XMODEM_CAN};
    serial_write(cancel, sizeof cancel);
    xmodem_flush_input();
}

// Called after one CAN: a second one right behind it cancels the transfer.
static int cancelled_by_receiver()
{
    if (serial_read_byte(SECOND_CAN_TIMEOUT_MS) != XMODEM_CAN)
        return 0;
    serial_write_byte(XMODEM_ACK);
    xmodem_flush_input();
    return 1;
}

// Waits for the receiver to choose the block check: 'C' asks for CRC-16,
// NAK for the checksum. Returns 0 once it has, or the failure's result.
static int wait_for_start(XmodemMode *mode)
{
    for (int tries = 0; tries < START_TRIES; ++tries) {
        unsigned char answer = serial_read_byte(START_TIMEOUT_MS);
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
    }
    xmodem_give_up();
    return XMODEM_ERR_NO_SYNC;
}

// Builds the packet for the block at offset sent; returns its length, or 0
// when the data, filler included, has all gone.
static int build_packet(const unsigned char *data, int size, int sent, unsigned char number,
                        XmodemMode mode)
{
    int count = size - sent;
    if (count < 0)
        return 0;
    if (count > BLOCK_SIZE)
        count = BLOCK_SIZE;

    unsigned char *field = packet + PACKET_HEADER_SIZE;
    memset(field, 0, BLOCK_SIZE);
    if (count > 0)
        memcpy(field, data + sent, count);
    // One filler byte marks the end; a size that is a multiple of the block
    // size gets a block holding nothing but it.
    if (count < BLOCK_SIZE)
        field[count] = XMODEM_FILLER;

    packet[0] = XMODEM_SOH;
    packet[1] = number;
    packet[2] = static_cast<unsigned char>(255 - number);
    if (mode == MODE_CRC) {
        uint16_t crc = crc16_xmodem(field, BLOCK_SIZE);
        packet[PACKET_HEADER_SIZE + BLOCK_SIZE] = static_cast<unsigned char>(crc >> 8);
        packet[PACKET_HEADER_SIZE + BLOCK_SIZE + 1] = static_cast<unsigned char>(crc & 0xFF);
        return PACKET_HEADER_SIZE + BLOCK_SIZE + 2;
    }
    unsigned char sum = 0;
    for (int i = 0; i < BLOCK_SIZE; ++i)
        sum = static_cast<unsigned char>(sum + field[i]);
    packet[PACKET_HEADER_SIZE + BLOCK_SIZE] = sum;
    return PACKET_HEADER_SIZE + BLOCK_SIZE + 1;
}

// Sends the packet until it is acknowledged. Returns 0, or the failure's result.
static int send_packet(int length)
{
    for (int tries = 0; tries < BLOCK_TRIES; ++tries) {
        serial_write(packet, length);
        unsigned char answer = serial_read_byte(ANSWER_TIMEOUT_MS);
        if (answer == XMODEM_ACK)
            return 0;
        if (answer == XMODEM_CAN && cancelled_by_receiver())
            return XMODEM_ERR_CANCELLED;
    }
    xmodem_give_up();
    return XMODEM_ERR_BLOCK_RETRIES;
}

static int send_end_of_transmission()
{
    unsigned char answer = 0;
    for (int tries = 0; tries < EOT_TRIES && answer != XMODEM_ACK; ++tries) {
        serial_write_byte(XMODEM_EOT);
        answer = serial_read_byte(EOT_TIMEOUT_MS);
    }
    return answer == XMODEM_ACK;
}

// The share of the image that went before the block just acknowledged. In
// 64 bits, so that sent * 100 cannot overflow; an empty image has only its
// filler block, which completes it.
static int percent_sent(int sent, int size)
{
    return size > 0 ? static_cast<int>(static_cast<int64_t>(sent) * 100 / size) : 100;
}

// Steps back over the last percentage and writes the new one, in one write:
// a console that is written character by character costs a call each.
static void show_progress(int percent)
{
    char update[16];
    int length = snprintf(update, sizeof update, "\b\b\b\b\b%3d%%)", percent);
    fwrite(update, 1, static_cast<size_t>(length), stdout);
}

int xmodem_send(const unsigned char *data, int size)
{
    XmodemMode mode;
    int result = wait_for_start(&mode);
    if (result < 0)
        return result;

    // Blank the waiting notice, then show the percentage in place.
    fputs("\r                                   \r"
          "Downloading boot code...(  0%)",
          stdout);

    unsigned char number = 1;
    int sent = 0;
    for (int length; (length = build_packet(data, size, sent, number, mode)) > 0;) {
        result = send_packet(length);
        if (result < 0)
            return result;
        show_progress(percent_sent(sent, size));
        ++number;
        sent += BLOCK_SIZE;
    }

    if (!send_end_of_transmission())
        return XMODEM_ERR_NO_EOT_ACK;
    return sent;
}
