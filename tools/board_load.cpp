#include "tools/board_load.h"

#include "tools/board_line.h"
#include "xmodem/crc16.h"
#include "xmodem/crc32.h"
#include "xmodem/xmodem.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

enum {
    LONG_BLOCK = 1024,
    SHORT_BLOCK = 128,
    START_OFFERS = 60,
    OFFER_EVERY_MS = 1000,
    BYTE_TIMEOUT_MS = 1000,
    KEY_TIMEOUT_MS = 10000,
    ESCAPE = 0x1B,
};

// Prints the loader's request, waits for the key at the new speed; returns
// whether the tool's line is there.
static bool switch_speed(int baud, const char *key_name, int key)
{
    char request[96];
    snprintf(request, sizeof request, "## Switch baudrate to %d bps and press %s ...\r\n", baud,
             key_name);
    line_write_text(request);
    for (int byte; (byte = line_read(KEY_TIMEOUT_MS)) >= 0;) {
        if (byte != key)
            continue;
        if (line_arrival_speed() == baud)
            return true;
        printf("The key came with the line at %d baud, not %d.\n", line_arrival_speed(), baud);
        return false;
    }
    printf("No key came after the switch to %d baud.\n", baud);
    return false;
}

// Reads one packet after its first byte (SOH or STX); returns its number, or
// -1 when it is broken or incomplete. The field goes to *field.
static int read_packet(int first, bool crc, std::vector<unsigned char> *field)
{
    int size = first == XMODEM_STX ? LONG_BLOCK : SHORT_BLOCK;
    std::vector<unsigned char> packet(2 + size + (crc ? 2 : 1));
    for (unsigned char &byte : packet) {
        int got = line_read(BYTE_TIMEOUT_MS);
        if (got < 0)
            return -1;
        byte = static_cast<unsigned char>(got);
    }
    const unsigned char *data = packet.data() + 2;
    bool intact = packet[0] == static_cast<unsigned char>(255 - packet[1]);
    if (crc) {
        unsigned sum = crc16_xmodem(data, size);
        intact = intact && packet[2 + size] == (sum >> 8) && packet[3 + size] == (sum & 0xFF);
    } else {
        unsigned char sum = 0;
        for (int i = 0; i < size; ++i)
            sum = static_cast<unsigned char>(sum + data[i]);
        intact = intact && packet[2 + size] == sum;
    }
    field->assign(data, data + size);
    return intact ? packet[0] : -1;
}

// The speed that the file's data came at: its first packet, or its EOT.
static int data_speed = 0;
// Whether answers wait for the wire, and when the load's first packet came.
static bool pacing = false;
static long long first_packet_us = 0;

// Answers what came of `bytes` bytes from arrival_us on: on a paced line no
// sooner than a wire at the speed they came at could have carried them and
// the answer.
static void answer(unsigned char byte, long long arrival_us, int bytes)
{
    int baud = line_arrival_speed();
    if (pacing && baud > 0)
        line_sleep_until(arrival_us + (bytes + 1) * 10 * 1000000LL / baud);
    line_write(byte);
}

// Receives one XMODEM transfer, CRC-16 mode, into *data from block number
// `first`; *data gets block 0 alone when first is 0. Until the first packet
// it asks for it once a second, whatever else comes. Returns 1 at the EOT
// (before any block too: an empty file), 0 after a cancel, a silence or a
// closed line, with the reason in *why.
static int receive(int first, std::vector<unsigned char> *data, std::string *why)
{
    unsigned char expected = static_cast<unsigned char>(first);
    bool started = false;
    int cans = 0;
    int offers = 0;
    long long next_offer_us = line_clock_us();
    for (;;) {
        long long now_us = line_clock_us();
        if (!started && now_us >= next_offer_us) {
            if (offers == START_OFFERS) {
                *why = "no block came";
                return 0;
            }
            line_write(XMODEM_CRC_START);
            ++offers;
            next_offer_us = now_us + OFFER_EVERY_MS * 1000LL;
        }
        int byte = line_read(started ? KEY_TIMEOUT_MS
                                     : static_cast<int>((next_offer_us - now_us + 999) / 1000));
        long long arrival_us = line_clock_us();
        if (byte == LINE_CLOSED || (byte == LINE_SILENT && started)) {
            *why = byte == LINE_CLOSED ? "the line was closed" : "the sender fell silent";
            return 0;
        }
        cans = byte == XMODEM_CAN ? cans + 1 : 0;
        if (cans == 2) {
            *why = "the sender cancelled";
            return 0;
        }
        bool packet = byte == XMODEM_SOH || byte == XMODEM_STX;
        if (first != 0 && !started && (packet || byte == XMODEM_EOT))
            data_speed = line_arrival_speed();
        // Block 0 always comes; the data may be none.
        if (byte == XMODEM_EOT && (started || first != 0)) {
            answer(XMODEM_ACK, arrival_us, 1);
            return 1;
        }
        if (!packet)
            continue;
        started = true;
        if (first_packet_us == 0)
            first_packet_us = arrival_us;
        std::vector<unsigned char> field;
        int number = read_packet(byte, true, &field);
        if (number == expected) {
            data->insert(data->end(), field.begin(), field.end());
            ++expected;
        }
        int size = byte == XMODEM_STX ? LONG_BLOCK : SHORT_BLOCK;
        answer(number < 0 ? XMODEM_NAK : XMODEM_ACK, arrival_us, 3 + size + 2);
        if (first == 0 && number == 0)
            return 1; // block 0 alone
    }
    *why = "no block came";
    return 0;
}

// The file of a YMODEM batch: block 0 (its name and size), the data, and
// the empty block 0 that ends the batch.
static int receive_batch(std::vector<unsigned char> *data, std::string *name, std::string *why)
{
    std::vector<unsigned char> header;
    if (!receive(0, &header, why))
        return 0;
    *name = reinterpret_cast<const char *>(header.data());
    long size = atol(reinterpret_cast<const char *>(header.data()) + name->size() + 1);
    if (!receive(1, data, why))
        return 0;
    std::vector<unsigned char> end;
    if (!receive(0, &end, why))
        return 0;
    if (data->size() < static_cast<size_t>(size)) {
        *why = "the data was shorter than block 0 said";
        return 0;
    }
    data->resize(static_cast<size_t>(size));
    return 1;
}

void board_load(bool ymodem, int baud, bool paced)
{
    int found_baud = line_speed();
    data_speed = 0;
    pacing = paced;
    first_packet_us = 0;
    if (baud > 0 && !switch_speed(baud, "ENTER", '\r')) {
        line_write_text("## Load aborted.\r\n> ");
        return;
    }
    char ready[96];
    snprintf(ready, sizeof ready, "## Ready for binary (%s) download at %d bps...\r\n",
             ymodem ? "ymodem" : "xmodem", line_speed());
    line_write_text(ready);

    std::vector<unsigned char> data;
    std::string name, why;
    int loaded = ymodem ? receive_batch(&data, &name, &why) : receive(1, &data, &why);
    if (loaded) {
        printf("Transfer: %.3f s from the first packet to the end.\n",
               (line_clock_us() - first_packet_us) / 1e6);
        char total[96];
        snprintf(total, sizeof total, "## Total Size = 0x%08zx = %zu Bytes\r\n", data.size(),
                 data.size());
        line_write_text(total);
        printf("Loaded %zu bytes by %s%s%s%s, CRC-32 %08x, at %d baud.\n", data.size(),
               ymodem ? "YMODEM" : "XMODEM", ymodem ? " ('" : "", name.c_str(), ymodem ? "')" : "",
               crc32_ieee(0, data.data(), data.size()), data_speed);
    } else {
        line_write_text("## Load aborted.\r\n");
        printf("Load failed: %s.\n", why.c_str());
    }
    if (baud > 0)
        switch_speed(found_baud, "ESC", ESCAPE);
    line_write_text("> ");
    fflush(stdout);
}
