#include "tools/board_uart.h"

#include "tools/board_line.h"

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <deque>

enum {
    RBR = 0x00, // THR, DLL
    IER = 0x04, // DLM
    IIR = 0x08, // FCR
    LCR = 0x0C,
    MCR = 0x10,
    LSR = 0x14,
    LCR_DLAB = 0x80,
    FCR_RESET_RX = 0x02,
    FCR_RESET_TX = 0x04,
    IIR_FIFOS_NOTHING_PENDING = 0xC1,
    LSR_DATA = 0x01,
    LSR_OVERRUN = 0x02,
    LSR_FRAMING = 0x08,
    LSR_BREAK = 0x10,
    LSR_THR_EMPTY = 0x20,
    LSR_ALL_SENT = 0x40,
    LSR_FIFO_ERROR = 0x80,
    FIFO_SIZE = 16,
    BITS_PER_BYTE = 10, // start, 8 data, stop
    IDLE_WAIT_MS = 1,   // on the line, when nothing at all is due
    SYNC_EVERY = 4096,  // advances between looks at the wall clock
    AHEAD = 512,        // bytes taken off the line ahead of their arrival
};

// A share of the UART's rate that the tool's end may be off by.
static const double TOLERANCE = 0.025;

struct RxByte {
    unsigned char value;
    int line_speed; // the tool's end's, as it came
    // cppcheck-suppress unusedStructMember ; read off the queue's front
    long long at_ns;     // when its stop bit is in
    unsigned char flags; // LSR's error bits that come with it
};

static UartSetup setup;
static uint64_t instructions;
static long long skipped_ns; // time the core spent waiting, not counted in instructions
static long long started_us; // on the wall clock
static uint64_t advances;
static unsigned lcr, ier, mcr, divisor;
static std::deque<RxByte> arriving; // read off the line, not yet in the FIFO
static std::deque<RxByte> fifo;
static long long last_arrival_ns;
static bool overrun;
static long long tx_last_start_ns, tx_last_end_ns;
static std::deque<long long> tx_starts; // of the bytes still in the transmit FIFO
static bool switched;
static long after_switch;
// What the time away from the ROM's divisor carried.
static long long fast_from_ns, fast_to_ns;
static long fast_bytes, overruns, garbled_bytes;
static bool closed;
static bool idle_since_closed; // the core waited with nothing due, the line closed
static unsigned noise = 1;

void uart_start(const UartSetup &with)
{
    setup = with;
    instructions = 0;
    skipped_ns = 0;
    started_us = line_clock_us();
    advances = 0;
    lcr = 0x03;
    ier = mcr = 0;
    divisor = static_cast<unsigned>(setup.rom_divisor);
    arriving.clear();
    fifo.clear();
    last_arrival_ns = 0;
    overrun = false;
    tx_last_start_ns = tx_last_end_ns = 0;
    tx_starts.clear();
    switched = false;
    after_switch = 0;
    fast_from_ns = fast_to_ns = 0;
    fast_bytes = overruns = garbled_bytes = 0;
    closed = idle_since_closed = false;
}

long long uart_now_ns()
{
    return static_cast<long long>(instructions * 1000 / UART_INSTRUCTIONS_PER_US) + skipped_ns;
}

int uart_divisor()
{
    return static_cast<int>(divisor);
}

int uart_rate()
{
    return divisor > 0 ? static_cast<int>(setup.tclk / (16L * divisor)) : 0;
}

bool uart_line_closed()
{
    return closed && idle_since_closed;
}

static long long byte_ns(int baud)
{
    return baud > 0 ? BITS_PER_BYTE * 1000000000LL / baud : 0;
}

// Whether bytes at the tool's end's speed cross the wire to the UART.
static bool crosses(int line_speed)
{
    int rate = uart_rate();
    if (setup.line_limit > 0 && rate > setup.line_limit)
        return false;
    double off = line_speed > 0 ? (line_speed - rate) / static_cast<double>(rate) : 0;
    return off <= TOLERANCE && off >= -TOLERANCE;
}

static unsigned char garbled()
{
    noise = noise * 1103515245u + 12345u;
    return static_cast<unsigned char>(noise >> 16);
}

// On a paced line the core's time does not run ahead of the wall clock.
static void keep_pace()
{
    if (!setup.paced)
        return;
    long long ahead_us = uart_now_ns() / 1000 - (line_clock_us() - started_us);
    if (ahead_us > 1000)
        line_sleep_until(line_clock_us() + ahead_us);
}

void uart_advance(uint64_t count)
{
    instructions += count;
    if (++advances % SYNC_EVERY == 0)
        keep_pace();
}

// Takes what the tool has sent off the line, each byte arriving one byte's
// time after the one before at the speed it came at, and never before now.
static void take_from_line()
{
    while (arriving.size() < AHEAD) {
        int byte = line_read(0);
        if (byte == LINE_CLOSED)
            closed = true;
        if (byte < 0)
            return;
        int speed = line_arrival_speed();
        long long at =
            std::max(last_arrival_ns + byte_ns(speed > 0 ? speed : uart_rate()), uart_now_ns());
        // The first of a burst may answer what the board sent: it comes no
        // sooner than that has left the wire.
        if (arriving.empty())
            at = std::max(at, tx_last_end_ns + byte_ns(speed > 0 ? speed : uart_rate()));
        arriving.push_back({static_cast<unsigned char>(byte), speed, at, 0});
        last_arrival_ns = at;
    }
}

// Moves what has arrived by now into the FIFO, as the UART heard it.
static void settle()
{
    take_from_line();
    long long now = uart_now_ns();
    while (!arriving.empty() && arriving.front().at_ns <= now) {
        RxByte byte = arriving.front();
        arriving.pop_front();
        if (!crosses(byte.line_speed)) {
            ++garbled_bytes;
            // A slower tool's start bit outlasts the whole byte: a break.
            bool slower = byte.line_speed < uart_rate();
            byte.value = slower ? 0 : garbled();
            byte.flags = slower ? LSR_FRAMING | LSR_BREAK : LSR_FRAMING;
        }
        if (switched && setup.corrupt_byte > 0 && ++after_switch == setup.corrupt_byte)
            byte.value ^= 0x04;
        if (divisor != static_cast<unsigned>(setup.rom_divisor))
            ++fast_bytes;
        if (fifo.size() < FIFO_SIZE) {
            fifo.push_back(byte);
        } else {
            overrun = true;
            ++overruns;
        }
    }
    while (!tx_starts.empty() && tx_starts.front() <= now)
        tx_starts.pop_front();
}

// The core polls a status with nothing in the FIFO: it would spin until the
// next byte arrives or the transmitter moves on, so its time goes there at
// once; with nothing due at all, it waits on the line for a moment.
static void skip_idle_time()
{
    long long now = uart_now_ns();
    long long next = -1;
    if (!arriving.empty())
        next = arriving.front().at_ns;
    for (long long due : {tx_starts.empty() ? -1 : tx_starts.front(), tx_last_end_ns}) {
        if (due > now && (next < 0 || due < next))
            next = due;
    }
    if (next > now) {
        skipped_ns += next - now;
    } else if (closed) {
        idle_since_closed = true;
    } else {
        long long waited = line_clock_us();
        int byte = line_read(IDLE_WAIT_MS);
        skipped_ns += (line_clock_us() - waited) * 1000;
        closed = byte == LINE_CLOSED;
        if (byte >= 0) {
            int speed = line_arrival_speed();
            long long at =
                std::max(uart_now_ns(), tx_last_end_ns + byte_ns(speed > 0 ? speed : uart_rate()));
            arriving.push_back({static_cast<unsigned char>(byte), speed, at, 0});
            last_arrival_ns = at;
        }
    }
    keep_pace();
    settle();
}

static uint32_t line_status()
{
    settle();
    if (fifo.empty())
        skip_idle_time();
    uint32_t status = 0;
    long long now = uart_now_ns();
    if (!fifo.empty())
        status |= LSR_DATA | fifo.front().flags;
    for (const RxByte &byte : fifo) {
        if (byte.flags != 0)
            status |= LSR_FIFO_ERROR;
    }
    if (overrun)
        status |= LSR_OVERRUN;
    overrun = false;
    if (tx_starts.empty())
        status |= LSR_THR_EMPTY;
    if (now >= tx_last_end_ns)
        status |= LSR_ALL_SENT;
    return status;
}

// A byte for the tool: out once the transmitter has sent it, and later by
// the turnaround on a paced line.
static void transmit(unsigned char value)
{
    if (tx_starts.size() >= FIFO_SIZE)
        return; // lost, as on a full FIFO
    long long start = std::max(uart_now_ns(), tx_last_end_ns);
    tx_last_start_ns = start;
    tx_last_end_ns = start + byte_ns(uart_rate());
    tx_starts.push_back(start);
    unsigned char heard = crosses(line_speed()) ? value : garbled();
    if (setup.paced)
        line_hold_output_until(started_us + tx_last_end_ns / 1000 + setup.turnaround_ms * 1000LL);
    line_write(heard);
}

uint32_t uart_read(uint32_t offset)
{
    switch (offset) {
    case RBR:
        if (lcr & LCR_DLAB)
            return divisor & 0xFF;
        settle();
        if (fifo.empty())
            return 0;
        {
            unsigned char value = fifo.front().value;
            fifo.pop_front();
            return value;
        }
    case IER:
        return lcr & LCR_DLAB ? divisor >> 8 : ier;
    case IIR:
        return IIR_FIFOS_NOTHING_PENDING;
    case LCR:
        return lcr;
    case MCR:
        return mcr;
    default: // LSR
        return line_status();
    }
}

static void set_divisor(unsigned value)
{
    settle(); // what arrived so far came at the old rate
    unsigned rom = static_cast<unsigned>(setup.rom_divisor);
    if (divisor == rom && value != rom)
        fast_from_ns = uart_now_ns();
    if (divisor != rom && value == rom)
        fast_to_ns = uart_now_ns();
    divisor = value;
    switched = switched || divisor != rom;
}

void uart_report()
{
    if (switched && fast_to_ns > fast_from_ns)
        printf("Away from the ROM's divisor: %ld bytes from the tool in %.3f s.\n", fast_bytes,
               (fast_to_ns - fast_from_ns) / 1e9);
    printf("UART0: %ld bytes lost to overruns, %ld garbled by a rate off the UART's.\n", overruns,
           garbled_bytes);
}

void uart_write(uint32_t offset, uint32_t value)
{
    switch (offset) {
    case RBR:
        if (lcr & LCR_DLAB)
            set_divisor((divisor & 0xFF00) | (value & 0xFF));
        else
            transmit(static_cast<unsigned char>(value));
        break;
    case IER:
        if (lcr & LCR_DLAB)
            set_divisor((divisor & 0xFF) | (value & 0xFF) << 8);
        else
            ier = value & 0xFF;
        break;
    case IIR: // FCR
        settle();
        if (value & FCR_RESET_RX)
            fifo.clear();
        if (value & FCR_RESET_TX)
            tx_starts.clear();
        break;
    case LCR:
        lcr = value & 0xFF;
        break;
    case MCR:
        mcr = value & 0xFF;
        break;
    default: // LSR: read only
        break;
    }
}
