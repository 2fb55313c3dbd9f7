#include "tools/board_receiver.h"

#include "app/boot_header.h"
#include "ramloader/protocol.h"
#include "tools/board_line.h"
#include "tools/board_loader.h"
#include "xmodem/crc16.h"
#include "xmodem/xmodem.h"

#include <cstdio>
#include <cstring>

enum {
    LATE_MIN_MS = 1050, // past the sender's 1 s wait for an answer
    LATE_SPREAD_MS = 450,
    BLOCK_SIZE = 128,
    LINE_BAUD = 115200,
    START_INTERVAL_MS = 1000,
    START_REPEATS = 60,
    BYTE_TIMEOUT_MS = 1000,
    PACKET_TIMEOUT_MS = 10000,
    POWER_LOOK_MS = 10, // how often a board that is off looks for its power
};

static unsigned random_state = 1;

// True in about `share` of the calls; xorshift32, repeatable for a seed.
static bool chance(double share)
{
    random_state ^= random_state << 13;
    random_state ^= random_state >> 17;
    random_state ^= random_state << 5;
    return random_state < share * 4294967296.0;
}

static const unsigned char WAKE_PATTERN[] = {0xBB, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77};

// Feeds one byte to the search for the wake pattern; returns 1 when it
// completes the pattern.
static int completes_wake_pattern(int byte, unsigned *matched)
{
    if (byte == WAKE_PATTERN[*matched])
        ++*matched;
    else
        *matched = byte == WAKE_PATTERN[0] ? 1 : 0;
    if (*matched < sizeof WAKE_PATTERN)
        return 0;
    *matched = 0;
    return 1;
}

WakeHeard board_wait_for_wake(int after_ms, int window_ms)
{
    unsigned matched = 0;
    long long first_heard = -1;
    long long window_end = line_clock_us() + window_ms * 1000LL;
    for (;;) {
        long long left_ms = window_ms > 0 ? (window_end - line_clock_us()) / 1000
                                          : static_cast<long long>(PACKET_TIMEOUT_MS);
        if (left_ms <= 0)
            return BOARD_WINDOW_PASSED;
        int byte = line_read(static_cast<int>(left_ms));
        if (byte == LINE_CLOSED)
            return BOARD_LINE_CLOSED;
        if (byte >= 0 && first_heard < 0)
            first_heard = line_clock_us();
        if (completes_wake_pattern(byte, &matched) &&
            line_clock_us() - first_heard >= after_ms * 1000LL)
            break;
    }
    line_write(XMODEM_NAK);
    return BOARD_WOKEN;
}

int board_wait_for_power(const char *file)
{
    for (;;) {
        int byte = line_read(POWER_LOOK_MS);
        if (byte == LINE_CLOSED)
            return 0;
        if (byte >= 0)
            line_let_go(); // the tool is there: its leaving will show
        if (remove(file) == 0)
            return 1;
    }
}

long board_count_wake_patterns()
{
    unsigned matched = 0;
    long patterns = 0;
    for (int byte; (byte = line_read(PACKET_TIMEOUT_MS)) != LINE_CLOSED;) {
        if (byte == LINE_SILENT)
            continue;  // nobody there yet, or a tool that fell silent
        line_let_go(); // the tool is there: its leaving will show
        patterns += completes_wake_pattern(byte, &matched);
    }
    return patterns;
}

// Waits for the tool's first byte; returns 0 if the line closes first.
static int hear_the_tool()
{
    for (int byte; (byte = line_read(PACKET_TIMEOUT_MS)) != LINE_CLOSED;) {
        if (byte >= 0) {
            line_let_go(); // the tool is there: its leaving will show
            return 1;
        }
    }
    return 0;
}

long board_boot_from_flash()
{
    if (!hear_the_tool())
        return 0;
    line_write_text(BOARD_FLASH_BANNER);
    return board_count_wake_patterns();
}

long board_loop_back()
{
    long echoed = 0;
    if (!hear_the_tool())
        return 0;
    for (int byte; (byte = line_read(PACKET_TIMEOUT_MS)) != LINE_CLOSED;) {
        // What the tool does not read in time is lost, as a UART's overrun.
        if (byte >= 0 && line_can_write()) {
            line_write(static_cast<unsigned char>(byte));
            ++echoed;
        }
    }
    return echoed;
}

long board_chatter()
{
    static const char LINE[] = "[  12.345678] eth0: link up, 1000 Mbps, full duplex\r\n";
    long lines = 0;
    if (!hear_the_tool())
        return 0;
    // What the tool sends goes nowhere; the board writes whenever the line
    // takes more, and else waits a moment for the tool's bytes.
    for (int byte; (byte = line_read(0)) != LINE_CLOSED;) {
        if (byte >= 0)
            continue;
        if (line_can_write()) {
            line_write_text(LINE);
            ++lines;
        } else if (line_read(1) == LINE_CLOSED) {
            break;
        }
    }
    return lines;
}

// The boot ROM's look at the first block: a header with a good checksum
// that names another boot source turns the image away. Then the board boots
// from its flash, and stays deaf to the line. Returns whether it did.
static bool boot_rom_refuses(const unsigned char *first_block, Reception *reception)
{
    const char *source = boot_source_name(first_block[0]);
    if (source == nullptr || first_block[0] == BOOT_FROM_UART ||
        boot_header_checksum(first_block) != first_block[BOOT_HEADER_CHECKSUM_AT])
        return false;
    char failure[128];
    snprintf(failure, sizeof failure,
             "the boot ROM refused the image, whose header says %s (block ID 0x%02X), not UART, "
             "and booted from flash",
             source, first_block[0]);
    reception->failure = failure;
    reception->refused = true;
    line_write_text(BOARD_FLASH_BANNER);
    while (line_read(PACKET_TIMEOUT_MS) != LINE_CLOSED) {
    }
    return true;
}

// Answers a packet of `bytes` bytes whose first byte came in at `arrival_us`;
// a paced line answers no earlier than a real wire could carry them and the
// answer.
static void answer(const FaultPlan &plan, unsigned char byte, long long arrival_us, int bytes)
{
    if (plan.paced)
        line_sleep_until(arrival_us + (bytes + 1) * 10 * 1000000LL / LINE_BAUD);
    line_write(byte);
}

// Answers a packet as answer() does, unless the random faults interfere.
// Returns whether the answer went out.
static bool answer_packet(const FaultPlan &plan, Reception *reception, unsigned char byte,
                          long long arrival_us, int bytes)
{
    if (chance(plan.noise_share)) {
        // Anything but the answers the sender knows.
        static const unsigned char strays[] = {0x00, 0x01, 0x04, 0x11, 0x13, 0x41, 0x7F, 0xFF};
        line_write(strays[random_state % sizeof strays]);
        ++reception->strays;
    }
    if (byte == XMODEM_ACK && chance(plan.lose_share)) {
        ++reception->lost;
        return false;
    }
    // Drawn only when asked for, so that the other faults of a seed stay
    // where they were.
    if (byte == XMODEM_ACK && plan.late_share > 0 && chance(plan.late_share)) {
        ++reception->late;
        line_hold_output_until(arrival_us + (LATE_MIN_MS + random_state % LATE_SPREAD_MS) * 1000LL);
    }
    answer(plan, byte, arrival_us, bytes);
    return true;
}

// Offers the start character until the first packet begins; returns 1 with
// its SOH consumed.
static int offer_start(const FaultPlan &plan, Reception *reception)
{
    unsigned char start = plan.checksum_mode ? XMODEM_NAK : XMODEM_CRC_START;
    for (int offers = 0; offers < START_REPEATS; ++offers) {
        line_write(start);
        long long until = line_clock_us() + START_INTERVAL_MS * 1000LL;
        for (long long left = START_INTERVAL_MS; left > 0;
             left = (until - line_clock_us()) / 1000) {
            int byte = line_read(static_cast<int>(left));
            if (byte == XMODEM_SOH)
                return 1;
            if (byte == LINE_CLOSED) {
                reception->failure = "the line was closed before the first block";
                return 0;
            }
        }
    }
    reception->failure = "no block came in answer to the start character";
    return 0;
}

// Reads the rest of a packet after its SOH; returns its length, or 0 if the
// sender fell silent in the middle.
static int read_packet(unsigned char *packet, int length)
{
    for (int i = 1; i < length; ++i) {
        int byte = line_read(BYTE_TIMEOUT_MS);
        if (byte < 0)
            return 0;
        packet[i] = static_cast<unsigned char>(byte);
    }
    return length;
}

static bool packet_intact(const unsigned char *packet, bool checksum_mode)
{
    const unsigned char *field = packet + 3;
    if (packet[1] != static_cast<unsigned char>(255 - packet[2]))
        return false;
    if (checksum_mode) {
        unsigned char sum = 0;
        for (int i = 0; i < BLOCK_SIZE; ++i)
            sum = static_cast<unsigned char>(sum + field[i]);
        return sum == packet[3 + BLOCK_SIZE];
    }
    unsigned crc = crc16_xmodem(field, BLOCK_SIZE);
    return packet[3 + BLOCK_SIZE] == (crc >> 8) && packet[4 + BLOCK_SIZE] == (crc & 0xFF);
}

bool board_is_ram_loader(const std::vector<unsigned char> &data)
{
    BootHeader header;
    const size_t mark_size = sizeof LOADER_MARK;
    if (read_boot_header(data.data(), static_cast<long>(data.size()), &header) !=
            BOOT_HEADER_GOOD ||
        header.version != 0)
        return false;
    size_t at = header.data_offset + LOADER_MARK_AT;
    return at + mark_size <= data.size() && memcmp(data.data() + at, LOADER_MARK, mark_size) == 0;
}

// Acknowledges the EOT, and the loader starts talking in the same write; a
// RAM loader speaks for itself.
static void acknowledge_end(const FaultPlan &plan, long long arrival_us, bool ram_loader)
{
    std::string bytes = static_cast<char>(XMODEM_ACK) + (ram_loader ? "" : plan.banner);
    if (plan.paced)
        line_sleep_until(arrival_us + 2 * 10 * 1000000LL / LINE_BAUD);
    line_write_all(reinterpret_cast<const unsigned char *>(bytes.data()),
                   static_cast<int>(bytes.size()));
}

static void cancel(const FaultPlan &plan, long long arrival_us, int bytes)
{
    answer(plan, XMODEM_CAN, arrival_us, bytes);
    line_write(XMODEM_CAN);
}

void board_receive(const FaultPlan &plan, Reception *reception)
{
    *reception = Reception{};
    random_state = plan.seed != 0 ? plan.seed : 1;
    if (plan.silent) {
        reception->failure = "the board stayed silent after the wake-up";
        while (line_read(PACKET_TIMEOUT_MS) != LINE_CLOSED) {
        }
        return;
    }
    if (!offer_start(plan, reception))
        return;

    const int length = plan.checksum_mode ? 3 + BLOCK_SIZE + 1 : 3 + BLOCK_SIZE + 2;
    unsigned char packet[3 + BLOCK_SIZE + 2];
    unsigned char expected = 1;
    int tries = 0;
    int cans = 0;
    long long last_ack = -1;
    const long long first_packet = line_clock_us();
    for (int byte = XMODEM_SOH;; byte = line_read(PACKET_TIMEOUT_MS)) {
        long long arrival = line_clock_us();
        if (byte == XMODEM_SOH && last_ack >= 0)
            reception->reactions_us.push_back(arrival - last_ack);
        last_ack = -1;
        cans = byte == XMODEM_CAN ? cans + 1 : 0;
        if (byte == LINE_CLOSED || byte == LINE_SILENT) {
            if (reception->failure.empty())
                reception->failure =
                    byte == LINE_CLOSED ? "the line was closed" : "the sender fell silent";
            return;
        }
        if (byte == XMODEM_EOT) {
            if (plan.nak_eot) {
                reception->failure = "the board answered the EOT with NAK";
                answer(plan, XMODEM_NAK, arrival, 1);
                continue;
            }
            if (plan.ignore_eot) {
                reception->failure = "the board left the EOT unanswered";
                continue;
            }
            acknowledge_end(plan, arrival, board_is_ram_loader(reception->data));
            reception->completed = true;
            reception->transfer_us = line_clock_us() - first_packet;
            return;
        }
        if (cans == 2) {
            reception->failure = "the sender cancelled";
            return;
        }
        if (byte != XMODEM_SOH)
            continue; // a stray byte between packets

        packet[0] = XMODEM_SOH;
        ++tries;
        int complete = read_packet(packet, length);
        if (complete && chance(plan.corrupt_share)) {
            packet[1 + random_state % (length - 1)] ^= 1 << (random_state >> 8) % 8;
            ++reception->corrupted;
        }
        if (!complete || !packet_intact(packet, plan.checksum_mode)) {
            ++reception->naks;
            answer_packet(plan, reception, XMODEM_NAK, arrival, length);
            continue;
        }
        // Our ACK was lost and the sender repeats the block: take it once.
        if (reception->blocks > 0 && packet[1] == static_cast<unsigned char>(expected - 1)) {
            ++reception->duplicates;
            if (answer_packet(plan, reception, XMODEM_ACK, arrival, length))
                last_ack = line_clock_us();
            continue;
        }
        int block = reception->blocks + 1;
        if (block == plan.vanish_block) {
            reception->failure = "the board vanished";
            reception->vanished = true;
            return;
        }
        if (packet[1] != expected || block == plan.cancel_block) {
            cancel(plan, arrival, length);
            reception->failure = packet[1] != expected ? "a block came out of sequence"
                                                       : "the board cancelled the transfer";
            return;
        }
        if (block == plan.nak_block && tries <= plan.nak_tries) {
            ++reception->naks;
            answer_packet(plan, reception, XMODEM_NAK, arrival, length);
            continue;
        }
        if (block == plan.can_once_block && tries == 1) {
            answer(plan, XMODEM_CAN, arrival, length);
            continue;
        }
        if (block == 1 && boot_rom_refuses(packet + 3, reception))
            return;
        reception->data.insert(reception->data.end(), packet + 3, packet + 3 + BLOCK_SIZE);
        reception->blocks = block;
        ++expected;
        tries = 0;
        if (answer_packet(plan, reception, XMODEM_ACK, arrival, length))
            last_ack = line_clock_us();
    }
}
