#include "app/loader_link.h"

#include "app/boot_header.h"
#include "app/heard.h"
#include "console/console.h"
#include "ramloader/protocol.h"
#include "serial/serial.h"
#include "xmodem/crc32.h"

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

enum {
    ROM_BAUD = 115200,
    GREETING_MS = 2000, // from the ROM's last ACK, and from a way back
    ANSWER_MS = 1000,
    PING_MS = 1000,
    HAIL_EVERY_MS = 300,
    END_MS = 10000, // the loader sums the whole image's data first
    GO_MS = 300,
    TRIES = 3,
    WINDOW = 16, // blocks in flight
    STALLS = 10, // times the blocks in flight go again without progress
    FRAME_OVERHEAD = FRAME_HEADER_SIZE + FRAME_CRC_SIZE,
};

// What the loader has sent that is not taken yet.
static std::vector<unsigned char> inbox;

struct Answer {
    int type;
    uint32_t value;
};

static bool line_broken()
{
    return serial_lost() || serial_stop_requested();
}

static LoaderEnd broken_end()
{
    return serial_lost() ? LOADER_PORT_LOST : LOADER_STOPPED;
}

// Reads what the line brings into the inbox, at most capacity bytes,
// waiting until the deadline at most for the first.
static void fill(long long deadline_ms, int capacity = 512)
{
    unsigned char buffer[512];
    long long left = deadline_ms - serial_clock_ms();
    int got = serial_read(buffer, capacity, left > 0 ? static_cast<int>(left) : 0);
    inbox.insert(inbox.end(), buffer, buffer + got);
}

static void append_le32(std::vector<unsigned char> *bytes, uint32_t value)
{
    bytes->resize(bytes->size() + 4);
    write_le32(bytes->data() + bytes->size() - 4, value);
}

static void send_frame(unsigned char type, uint32_t number, const unsigned char *payload,
                       int length)
{
    std::vector<unsigned char> frame = {
        FRAME_START,
        type,
        static_cast<unsigned char>(number),
        static_cast<unsigned char>(number >> 8),
        static_cast<unsigned char>(length),
        static_cast<unsigned char>(length >> 8),
    };
    unsigned char check = 0;
    for (size_t i = 1; i < frame.size(); ++i)
        check = static_cast<unsigned char>(check + frame[i]);
    frame.push_back(check ^ HEADER_CHECK_XOR);
    frame.insert(frame.end(), payload, payload + length);
    append_le32(&frame, crc32_ieee(0, frame.data() + 1, frame.size() - 1));
    serial_write(frame.data(), static_cast<int>(frame.size()));
}

// Takes the next whole answer out of the inbox, dropping what is none.
static bool take_answer(Answer *answer)
{
    while (!inbox.empty()) {
        if (inbox[0] != FRAME_START) {
            inbox.erase(inbox.begin());
            continue;
        }
        if (inbox.size() < ANSWER_SIZE)
            return false;
        unsigned char check = 0;
        for (int i = 1; i < ANSWER_SIZE - 1; ++i)
            check = static_cast<unsigned char>(check + inbox[i]);
        if ((check ^ HEADER_CHECK_XOR) != inbox[ANSWER_SIZE - 1]) {
            inbox.erase(inbox.begin());
            continue;
        }
        answer->type = inbox[1];
        answer->value = read_le32(inbox.data() + 2);
        inbox.erase(inbox.begin(), inbox.begin() + ANSWER_SIZE);
        return true;
    }
    return false;
}

// Waits until the deadline for an answer; bytes are read one at a time when
// what follows the answer is not the loader's (after the go byte).
static bool await_answer(long long deadline_ms, Answer *answer, bool bytewise = false)
{
    while (!take_answer(answer)) {
        if (serial_clock_ms() >= deadline_ms || line_broken())
            return false;
        fill(deadline_ms, bytewise ? 1 : 512);
    }
    return true;
}

// Sends a frame and waits for the answer of the kind wanted, a few times;
// a refusal ends the wait with it.
static bool ask(unsigned char type, const unsigned char *payload, int length, int wanted,
                long long wait_ms, Answer *answer)
{
    for (int tries = 0; tries < TRIES && !line_broken(); ++tries) {
        send_frame(type, 0, payload, length);
        long long deadline = serial_clock_ms() + wait_ms;
        while (await_answer(deadline, answer)) {
            if (answer->type == wanted || answer->type == ANSWER_REFUSED)
                return answer->type == wanted;
        }
    }
    answer->type = 0;
    return false;
}

// Whether the line is the loader's greeting; its figures then.
static bool is_greeting(const std::string &line, uint32_t *tclk, uint32_t *divisor)
{
    const size_t start = sizeof LOADER_GREETING - 1, between = sizeof LOADER_GREETING_DIVISOR - 1;
    if (line.compare(0, start, LOADER_GREETING) != 0)
        return false;
    size_t digits = strspn(line.c_str() + start, "0123456789");
    size_t second = start + digits + between;
    if (digits == 0 || digits > 10 ||
        line.compare(start + digits, between, LOADER_GREETING_DIVISOR) != 0)
        return false;
    size_t more = strspn(line.c_str() + second, "0123456789");
    if (more == 0 || more > 5 || line.compare(second + more, std::string::npos, "\r\n") != 0)
        return false;
    *tclk = static_cast<uint32_t>(strtoul(line.c_str() + start, nullptr, 10));
    *divisor = static_cast<uint32_t>(strtoul(line.c_str() + second, nullptr, 10));
    return *tclk > 0 && *divisor > 0;
}

// Waits until the deadline for the greeting; what else comes goes to the
// record of what was heard.
static bool await_greeting(long long deadline_ms, uint32_t *tclk, uint32_t *divisor)
{
    for (;;) {
        for (size_t end;
             (end = std::string(inbox.begin(), inbox.end()).find('\n')) != std::string::npos;) {
            std::string line(inbox.begin(), inbox.begin() + static_cast<long>(end) + 1);
            inbox.erase(inbox.begin(), inbox.begin() + static_cast<long>(end) + 1);
            bool greeting = is_greeting(line, tclk, divisor);
            heard_take(reinterpret_cast<const unsigned char *>(line.data()),
                       static_cast<int>(line.size()), greeting);
            if (greeting)
                return true;
        }
        if (serial_clock_ms() >= deadline_ms || line_broken()) {
            heard_take(inbox.data(), static_cast<int>(inbox.size()), false);
            inbox.clear();
            return false;
        }
        fill(deadline_ms);
    }
}

// The divisor of the fastest rate not above max_baud, 0 where none beats
// the ROM's; and the rate, to the baud.
static uint32_t fast_divisor(uint32_t tclk, uint32_t rom_divisor, int max_baud)
{
    uint64_t step = 16ull * static_cast<uint64_t>(max_baud);
    uint64_t divisor = (tclk + step - 1) / step;
    divisor = divisor > 0 ? divisor : 1;
    return divisor < rom_divisor ? static_cast<uint32_t>(divisor) : 0;
}

static int rate_of(uint32_t tclk, uint32_t divisor)
{
    return static_cast<int>((tclk + 8ull * divisor) / (16ull * divisor));
}

// After a switch that did not hold: back at the ROM's speed, the tool hails
// the loader, whose first byte a loader still at the fast rate hears as a
// break, until it greets again.
static bool come_back(uint32_t *tclk, uint32_t *divisor)
{
    std::string ignored;
    serial_set_speed(ROM_BAUD, &ignored);
    long long deadline = serial_clock_ms() + GREETING_MS;
    inbox.clear();
    while (serial_clock_ms() < deadline && !line_broken()) {
        send_frame(FRAME_HAIL, 0, nullptr, 0);
        long long next = serial_clock_ms() + HAIL_EVERY_MS;
        if (await_greeting(next < deadline ? next : deadline, tclk, divisor))
            return true;
    }
    return false;
}

// Switches both ends to the fastest rate the clock allows up to max_baud
// and proves it with a round trip; returns the rate the image goes at, the
// ROM's where the switch did not hold (said), or 0 when the loader was lost.
static int switch_speed(uint32_t tclk, uint32_t rom_divisor, int max_baud, std::string *why)
{
    uint32_t divisor = fast_divisor(tclk, rom_divisor, max_baud);
    if (divisor == 0)
        return ROM_BAUD;
    int rate = rate_of(tclk, divisor);
    const unsigned char asked[2] = {static_cast<unsigned char>(divisor),
                                    static_cast<unsigned char>(divisor >> 8)};
    Answer answer;
    if (!ask(FRAME_SWITCH, asked, sizeof asked, ANSWER_SWITCHING, ANSWER_MS, &answer) ||
        answer.value != divisor) {
        *why = "The loader did not take the switch to " + std::to_string(rate) + " baud";
        return 0;
    }
    std::string reason;
    int set = serial_set_speed(rate, &reason);
    if (set == SERIAL_STOPPED)
        return 0;
    if (set == SERIAL_READY) {
        static const unsigned char ping[FRAME_PING_SIZE] = PING_PAYLOAD;
        send_frame(FRAME_PING, 0, ping, FRAME_PING_SIZE);
        if (await_answer(serial_clock_ms() + PING_MS, &answer) && answer.type == ANSWER_PONG)
            return rate;
        reason = "The round trip at that speed did not come back";
    }
    if (line_broken())
        return 0;
    console_note("Could not switch the line to %d baud: %s. The image goes through the loader at "
                 "%d baud.\n",
                 rate, reason.c_str(), ROM_BAUD);
    uint32_t again_tclk, again_divisor;
    if (!come_back(&again_tclk, &again_divisor)) {
        *why = "The loader did not come back from " + std::to_string(rate) + " baud";
        return 0;
    }
    return ROM_BAUD;
}

// The image's bytes from its header's data on, in blocks, WINDOW of them in
// flight; a block refused or lost goes again with those after it.
static LoaderEnd send_image(const LoaderImage &loader, const unsigned char *image, int rate,
                            void (*progress)(int percent), std::string *why)
{
    const unsigned char *payload = image + loader.payload_offset;
    const uint32_t size = static_cast<uint32_t>(loader.payload_size);
    std::vector<unsigned char> load;
    for (uint32_t value : {loader.destination, size, loader.data_size, loader.exec_address})
        append_le32(&load, value);
    Answer answer;
    if (!ask(FRAME_LOAD, load.data(), static_cast<int>(load.size()), ANSWER_LOADING, ANSWER_MS,
             &answer)) {
        if (line_broken())
            return broken_end();
        *why = answer.type == ANSWER_REFUSED
                   ? "The loader refused the image's place in DRAM"
                   : "The loader did not answer at " + std::to_string(rate) + " baud";
        return LOADER_FAILED;
    }
    const uint32_t blocks = (size + FRAME_BLOCK_SIZE - 1) / FRAME_BLOCK_SIZE;
    const long long window_ms = WINDOW * (FRAME_BLOCK_SIZE + FRAME_OVERHEAD) * 10LL * 1000 / rate;
    uint32_t base = 0, next = 0;
    int stalls = 0;
    long long moved_at = serial_clock_ms();
    progress(0);
    while (base < blocks) {
        for (; next < blocks && next - base < WINDOW && !line_broken(); ++next) {
            const uint32_t block = FRAME_BLOCK_SIZE;
            uint32_t offset = next * block;
            uint32_t length = size - offset < block ? size - offset : block;
            send_frame(FRAME_DATA, next, payload + offset, static_cast<int>(length));
        }
        if (!await_answer(moved_at + ANSWER_MS + window_ms, &answer)) {
            if (line_broken())
                return broken_end();
            if (++stalls > STALLS) {
                *why = "The loader stopped answering at " + std::to_string(rate) + " baud";
                return LOADER_FAILED;
            }
            next = base; // what was in flight goes again
            moved_at = serial_clock_ms();
        } else if (answer.type == ANSWER_ACK && answer.value > base && answer.value <= next) {
            base = answer.value;
            stalls = 0;
            moved_at = serial_clock_ms();
            uint64_t percent = uint64_t{base} * FRAME_BLOCK_SIZE * 100 / size;
            progress(static_cast<int>(percent < 100 ? percent : 100));
        } else if (answer.type == ANSWER_NAK && answer.value >= base && answer.value < next) {
            base = next = answer.value;
            moved_at = serial_clock_ms();
        }
    }
    if (!ask(FRAME_END, nullptr, 0, ANSWER_DONE, END_MS, &answer) || answer.value != DONE_GOOD) {
        if (line_broken())
            return broken_end();
        *why = answer.type != ANSWER_DONE      ? "The loader did not answer the end of the image"
               : answer.value == DONE_CHECKSUM ? "The loader found the image's data checksum wrong"
                                               : "The loader misses blocks of the image";
        return LOADER_FAILED;
    }
    return LOADER_BOOTED;
}

// Back at the ROM's speed, the go byte until the loader says it goes.
static LoaderEnd go(int rate, std::string *why)
{
    std::string reason;
    if (rate != ROM_BAUD && serial_set_speed(ROM_BAUD, &reason) != SERIAL_READY) {
        if (line_broken())
            return broken_end();
        *why = "Could not switch the line back to " + std::to_string(ROM_BAUD) + " baud: " + reason;
        return LOADER_FAILED;
    }
    inbox.clear();
    for (int tries = 0; tries < TRIES && !line_broken(); ++tries) {
        serial_write_byte(GO_BYTE);
        Answer answer;
        // What follows the answer is the image's own: it stays on the line.
        while (await_answer(serial_clock_ms() + GO_MS, &answer, true)) {
            if (answer.type == ANSWER_GOING)
                return LOADER_BOOTED;
        }
    }
    if (line_broken())
        return broken_end();
    *why = "The loader did not take the go byte";
    return LOADER_FAILED;
}

LoaderEnd loader_boot(const LoaderImage &loader, const unsigned char *image, int max_baud,
                      void (*progress)(int percent), std::string *why)
{
    inbox.clear();
    heard_begin(HEARD_LOADER);
    uint32_t tclk, rom_divisor;
    if (!await_greeting(serial_clock_ms() + GREETING_MS, &tclk, &rom_divisor))
        return line_broken() ? broken_end() : LOADER_NOT_STARTED;
    int rate = switch_speed(tclk, rom_divisor, max_baud, why);
    if (rate == 0)
        return line_broken() ? broken_end() : LOADER_FAILED;
    console_print("\r%35s\rThe RAM loader runs; the image goes at %d baud.\n", "", rate);
    LoaderEnd end = send_image(loader, image, rate, progress, why);
    if (end == LOADER_BOOTED)
        return go(rate, why);
    // A try after this one starts at the boot ROM's speed.
    std::string ignored;
    if (end == LOADER_FAILED && rate != ROM_BAUD)
        serial_set_speed(ROM_BAUD, &ignored);
    return end;
}
