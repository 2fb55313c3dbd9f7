/* The RAM loader: takes the image from the tool over UART0, faster than the
 * boot ROM can, writes it where the ROM's own download would have, and
 * jumps to it. It has no clock: every way back is driven by what it
 * receives. It reads the UART as bytes arrive and never does more between
 * two bytes than the receive FIFO's 16 bytes allow at the fastest rate.
 * Everything it keeps is on its stack: the tool may place it anywhere. */
#include "protocol.h"

#include <stddef.h>
#include <stdint.h>

#define UART0 0xD0012000u
#define SAMPLE_AT_RESET 0xD0010030u
#define SAR_TCLK_166 (1u << 21)

enum {
    RBR = 0x00, /* also THR, and DLL while LCR's DLAB is set */
    DLM = 0x04, /* IER while DLAB is clear */
    FCR = 0x08,
    LCR = 0x0C,
    LSR = 0x14,
    LCR_8N1 = 0x03,
    LCR_DLAB = 0x80,
    FCR_FIFOS_RESET = 0x07,
    LSR_DATA = 0x01,
    LSR_OVERRUN = 0x02,
    LSR_PARITY = 0x04,
    LSR_FRAMING = 0x08,
    LSR_BREAK = 0x10,
    LSR_THR_EMPTY = 0x20,
    LSR_ALL_SENT = 0x40,
    LSR_LINE_ERRORS = LSR_PARITY | LSR_FRAMING | LSR_BREAK,
    TX_FIFO = 16,
    TX_QUEUE = 64,
    SMALL_PAYLOAD = 16,
};

/* Where the loader stands. */
enum {
    AT_ROM_SPEED, /* greeted; frames at the ROM's divisor */
    SWITCHED,     /* at a new divisor, nothing but the ping's bytes will do */
    FAST,         /* the ping came: frames at the new divisor */
    AWAITING_GO,  /* the image is in; back at the ROM's divisor for the go byte */
};

/* Where a frame being received stands. */
enum { HUNTING, IN_HEADER, IN_PAYLOAD, IN_CRC };

struct loader {
    uint32_t crc_table[256];
    uint32_t tclk;
    uint32_t rom_divisor;
    uint32_t own_first, own_end; /* all the loader uses: image and stack */
    int state;
    /* The ping's frame, byte for byte, and how much of it has come. */
    unsigned char ping[FRAME_HEADER_SIZE + FRAME_PING_SIZE + FRAME_CRC_SIZE];
    unsigned ping_matched;
    /* Answers on their way out. */
    unsigned char tx[TX_QUEUE];
    unsigned tx_head, tx_count;
    /* The frame coming in. */
    int part;
    unsigned char header[FRAME_HEADER_SIZE];
    unsigned got;    /* of the part under way */
    unsigned length; /* of the payload */
    uint32_t crc;
    unsigned char small[SMALL_PAYLOAD]; /* the payload of a frame that is no data */
    unsigned char *into;                /* where a data frame's bytes go; 0: nowhere */
    unsigned char crc_got[FRAME_CRC_SIZE];
    /* The image. */
    uint32_t dest, size, data_size, exec;
    uint32_t blocks, expected, naked; /* naked: the block last asked for again */
    int image_known, image_started;
};

/* The compiler may call these for a loop that fills or copies memory. */
void *memset(void *to, int value, size_t count)
{
    unsigned char *bytes = to;
    while (count-- > 0)
        *bytes++ = (unsigned char)value;
    return to;
}

void *memcpy(void *to, const void *from, size_t count)
{
    unsigned char *out = to;
    const unsigned char *in = from;
    while (count-- > 0)
        *out++ = *in++;
    return to;
}

static uint32_t reg_read(uint32_t offset)
{
    return *(volatile uint32_t *)(UART0 + offset);
}

static void reg_write(uint32_t offset, uint32_t value)
{
    *(volatile uint32_t *)(UART0 + offset) = value;
}

static uint32_t le32(const unsigned char *bytes)
{
    return bytes[0] | bytes[1] << 8 | bytes[2] << 16 | (uint32_t)bytes[3] << 24;
}

static void make_crc_table(struct loader *l)
{
    for (uint32_t i = 0; i < 256; ++i) {
        uint32_t crc = i;
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 1) != 0 ? (crc >> 1) ^ 0xEDB88320u : crc >> 1;
        l->crc_table[i] = crc;
    }
}

/* The CRC-32 register before its final inversion, one byte further. */
static uint32_t crc_step(const struct loader *l, uint32_t crc, unsigned char byte)
{
    return (crc >> 8) ^ l->crc_table[(crc ^ byte) & 0xFF];
}

/* Hands queued answers to the transmitter while it has room: all it takes
 * at once, and never a wait. */
static void transmit(struct loader *l)
{
    if (l->tx_count == 0 || (reg_read(LSR) & LSR_THR_EMPTY) == 0)
        return;
    for (int room = TX_FIFO; room > 0 && l->tx_count > 0; --room) {
        reg_write(RBR, l->tx[l->tx_head]);
        l->tx_head = (l->tx_head + 1) % TX_QUEUE;
        --l->tx_count;
    }
}

static void queue_byte(struct loader *l, unsigned char byte)
{
    if (l->tx_count < TX_QUEUE) {
        l->tx[(l->tx_head + l->tx_count) % TX_QUEUE] = byte;
        ++l->tx_count;
    }
}

static void answer(struct loader *l, unsigned char type, uint32_t value)
{
    unsigned char check = type;
    queue_byte(l, FRAME_START);
    queue_byte(l, type);
    for (int i = 0; i < 4; ++i) {
        unsigned char byte = (unsigned char)(value >> (8 * i));
        queue_byte(l, byte);
        check = (unsigned char)(check + byte);
    }
    queue_byte(l, check ^ HEADER_CHECK_XOR);
    transmit(l);
}

/* Sends everything queued and waits until the last bit has left the line:
 * only then may the divisor change. Nothing is coming meanwhile. */
static void finish_sending(struct loader *l)
{
    while (l->tx_count > 0)
        transmit(l);
    while ((reg_read(LSR) & LSR_ALL_SENT) == 0) {
    }
}

static void set_divisor(uint32_t divisor)
{
    reg_write(LCR, LCR_DLAB | LCR_8N1);
    reg_write(RBR, divisor & 0xFF);
    reg_write(DLM, (divisor >> 8) & 0xFF);
    reg_write(LCR, LCR_8N1);
}

/* The core has no divide instruction: the digits come by subtraction. */
static void queue_decimal(struct loader *l, uint32_t value)
{
    static const uint32_t powers[] = {1000000000u, 100000000u, 10000000u, 1000000u, 100000u,
                                      10000u,      1000u,      100u,      10u,      1u};
    int started = 0;
    for (size_t i = 0; i < sizeof powers / sizeof powers[0]; ++i) {
        unsigned char digit = '0';
        while (value >= powers[i]) {
            value -= powers[i];
            ++digit;
        }
        started = started || digit != '0' || powers[i] == 1;
        if (started)
            queue_byte(l, digit);
    }
}

static void queue_text(struct loader *l, const char *text)
{
    while (*text != '\0')
        queue_byte(l, (unsigned char)*text++);
}

/* Back at the ROM's divisor, all of a frame under way forgotten: the
 * greeting tells the tool where the loader stands. */
static void greet(struct loader *l)
{
    set_divisor(l->rom_divisor);
    l->state = AT_ROM_SPEED;
    l->part = HUNTING;
    l->image_known = l->image_started = 0;
    l->expected = l->naked = 0;
    queue_text(l, LOADER_GREETING);
    queue_decimal(l, l->tclk);
    queue_text(l, LOADER_GREETING_DIVISOR);
    queue_decimal(l, l->rom_divisor);
    queue_text(l, "\r\n");
    transmit(l);
}

static void make_ping(struct loader *l)
{
    static const unsigned char payload[FRAME_PING_SIZE] = PING_PAYLOAD;
    unsigned char *frame = l->ping;
    frame[0] = FRAME_START;
    frame[1] = FRAME_PING;
    frame[2] = frame[3] = 0;
    frame[4] = FRAME_PING_SIZE;
    frame[5] = 0;
    frame[6] = (unsigned char)(frame[1] + frame[4]) ^ HEADER_CHECK_XOR;
    uint32_t crc = 0xFFFFFFFFu;
    for (int i = 1; i < FRAME_HEADER_SIZE; ++i)
        crc = crc_step(l, crc, frame[i]);
    for (int i = 0; i < FRAME_PING_SIZE; ++i) {
        frame[FRAME_HEADER_SIZE + i] = payload[i];
        crc = crc_step(l, crc, payload[i]);
    }
    crc = ~crc;
    for (int i = 0; i < FRAME_CRC_SIZE; ++i)
        frame[FRAME_HEADER_SIZE + FRAME_PING_SIZE + i] = (unsigned char)(crc >> (8 * i));
}

/* Whether [first, first + size) keeps the clearance from everything the
 * loader uses, and does not wrap. */
static int range_clear(const struct loader *l, uint32_t first, uint32_t size)
{
    uint32_t end = first + size;
    if (end < first || size == 0)
        return 0;
    return end + LOADER_CLEARANCE <= l->own_first || first >= l->own_end + LOADER_CLEARANCE;
}

/* The data's last 4 bytes are the 32-bit sum of its little-endian words
 * before them, a last short word filled with zeros. */
static int data_checksum_good(const struct loader *l)
{
    const unsigned char *data = (const unsigned char *)l->dest;
    uint32_t words = l->data_size - 4;
    uint32_t sum = 0;
    uint32_t i = 0;
    for (; i + 4 <= words; i += 4)
        sum += le32(data + i);
    uint32_t last = 0;
    for (uint32_t shift = 0; i < words; ++i, shift += 8)
        last |= (uint32_t)data[i] << shift;
    return sum + last == le32(data + words);
}

static void take_load(struct loader *l)
{
    uint32_t dest = le32(l->small), size = le32(l->small + 4);
    uint32_t data_size = le32(l->small + 8), exec = le32(l->small + 12);
    int same = l->image_known && dest == l->dest && size == l->size &&
               data_size == l->data_size && exec == l->exec;
    if (l->image_started && !same) {
        answer(l, ANSWER_REFUSED, REFUSED_STATE);
        return;
    }
    if (data_size < 4 || data_size > size || !range_clear(l, dest, size)) {
        answer(l, ANSWER_REFUSED, REFUSED_RANGE);
        return;
    }
    l->dest = dest;
    l->size = size;
    l->data_size = data_size;
    l->exec = exec;
    l->blocks = (size + FRAME_BLOCK_SIZE - 1) / FRAME_BLOCK_SIZE;
    l->image_known = 1;
    answer(l, ANSWER_LOADING, size);
}

static void take_end(struct loader *l)
{
    if (!l->image_known || l->expected < l->blocks) {
        answer(l, ANSWER_DONE, DONE_INCOMPLETE);
        return;
    }
    if (!data_checksum_good(l)) {
        answer(l, ANSWER_DONE, DONE_CHECKSUM);
        return;
    }
    answer(l, ANSWER_DONE, DONE_GOOD);
    finish_sending(l);
    set_divisor(l->rom_divisor);
    l->state = AWAITING_GO;
}

static void take_switch(struct loader *l)
{
    uint32_t divisor = l->small[0] | l->small[1] << 8;
    if (divisor == 0 || l->state != AT_ROM_SPEED || l->image_started) {
        answer(l, ANSWER_REFUSED, REFUSED_STATE);
        return;
    }
    answer(l, ANSWER_SWITCHING, divisor);
    finish_sending(l);
    set_divisor(divisor);
    l->state = SWITCHED;
    l->ping_matched = 0;
}

/* Asks for the block expected again, once until it comes. */
static void ask_again(struct loader *l)
{
    if (l->naked != l->expected + 1) {
        answer(l, ANSWER_NAK, l->expected);
        l->naked = l->expected + 1;
    }
}

/* A frame has come whole and checked. */
static void take_frame(struct loader *l)
{
    switch (l->header[1]) {
    case FRAME_SWITCH:
        take_switch(l);
        break;
    case FRAME_LOAD:
        take_load(l);
        break;
    case FRAME_END:
        take_end(l);
        break;
    case FRAME_HAIL:
        greet(l);
        break;
    case FRAME_DATA:
        if (l->into != 0) {
            l->image_started = 1;
            ++l->expected;
        } else if ((uint32_t)(l->header[2] | l->header[3] << 8) > l->expected) {
            ask_again(l); /* one before it went missing */
            break;
        }
        answer(l, ANSWER_ACK, l->expected);
        break;
    default: /* a ping out of turn: nothing to do */
        break;
    }
}

/* Whether the header just read can start a frame, and where its payload
 * goes: a data frame's into the image, only if it is the block expected and
 * lies wholly within the image; any other frame's into the loader. */
static int header_good(struct loader *l)
{
    const unsigned char *h = l->header;
    unsigned char check = (unsigned char)(h[1] + h[2] + h[3] + h[4] + h[5]) ^ HEADER_CHECK_XOR;
    uint32_t number = h[2] | h[3] << 8;
    l->length = h[4] | h[5] << 8;
    l->into = 0;
    if (check != h[6])
        return 0;
    if (h[1] != FRAME_DATA)
        return l->length <= SMALL_PAYLOAD;
    if (l->length == 0 || l->length > FRAME_BLOCK_SIZE)
        return 0;
    if (l->image_known && number == l->expected && number < l->blocks) {
        uint32_t offset = number * FRAME_BLOCK_SIZE;
        uint32_t left = l->size - offset;
        if (l->length == (left < FRAME_BLOCK_SIZE ? left : FRAME_BLOCK_SIZE))
            l->into = (unsigned char *)(l->dest + offset);
    }
    return 1;
}

/* One byte of a frame. */
static void receive_frame_byte(struct loader *l, unsigned char byte)
{
    switch (l->part) {
    case HUNTING:
        if (byte == FRAME_START) {
            l->header[0] = byte;
            l->got = 1;
            l->part = IN_HEADER;
        }
        return;
    case IN_HEADER:
        l->header[l->got++] = byte;
        if (l->got < FRAME_HEADER_SIZE)
            return;
        if (!header_good(l)) {
            l->part = HUNTING;
            return;
        }
        l->crc = 0xFFFFFFFFu;
        for (int i = 1; i < FRAME_HEADER_SIZE; ++i)
            l->crc = crc_step(l, l->crc, l->header[i]);
        l->got = 0;
        l->part = l->length > 0 ? IN_PAYLOAD : IN_CRC;
        return;
    case IN_PAYLOAD:
        if (l->into != 0)
            l->into[l->got] = byte;
        else if (l->header[1] != FRAME_DATA)
            l->small[l->got] = byte;
        l->crc = crc_step(l, l->crc, byte);
        if (++l->got == l->length) {
            l->got = 0;
            l->part = IN_CRC;
        }
        return;
    default: /* IN_CRC */
        l->crc_got[l->got++] = byte;
        if (l->got < FRAME_CRC_SIZE)
            return;
        l->part = HUNTING;
        if (le32(l->crc_got) == ~l->crc)
            take_frame(l);
        else if (l->header[1] == FRAME_DATA)
            ask_again(l);
        return;
    }
}

/* Right after a switch: the ping's bytes, exactly, or back to the ROM's
 * divisor. A framing error is the tool's byte at another speed. */
static void receive_ping_byte(struct loader *l, unsigned char byte, uint32_t errors)
{
    if (errors != 0 || byte != l->ping[l->ping_matched]) {
        greet(l);
        return;
    }
    if (++l->ping_matched == sizeof l->ping) {
        l->state = FAST;
        answer(l, ANSWER_PONG, 0);
    }
}

/* Hands the board to the image, as the ROM would: SVC mode, IRQ and FIQ
 * masked (as ever since the loader started), the MMU as it is; the data
 * cache cleaned, the write buffer drained and the instruction cache
 * emptied, so that what was written is what runs. */
static void __attribute__((noreturn)) jump(uint32_t exec)
{
    __asm__ volatile("1: mrc p15, 0, apsr_nzcv, c7, c14, 3\n" /* test, clean, invalidate D */
                     "   bne 1b\n"
                     "   mov r1, #0\n"
                     "   mcr p15, 0, r1, c7, c10, 4\n" /* drain the write buffer */
                     "   mcr p15, 0, r1, c7, c5, 0\n"  /* invalidate the I cache */
                     "   bx %0\n"
                     :
                     : "r"(exec)
                     : "r1", "memory", "cc");
    __builtin_unreachable();
}

void __attribute__((noreturn)) loader_main(uint32_t own_first, uint32_t own_end)
{
    struct loader l;
    memset(&l, 0, sizeof l);
    l.own_first = own_first;
    l.own_end = own_end;
    l.tclk = (*(volatile uint32_t *)SAMPLE_AT_RESET & SAR_TCLK_166) != 0 ? 166666667u
                                                                         : 200000000u;
    reg_write(LCR, LCR_DLAB | LCR_8N1);
    l.rom_divisor = (reg_read(RBR) & 0xFF) | (reg_read(DLM) & 0xFF) << 8;
    reg_write(LCR, LCR_8N1);
    reg_write(FCR, FCR_FIFOS_RESET);
    make_crc_table(&l);
    make_ping(&l);
    greet(&l);
    for (;;) {
        transmit(&l);
        uint32_t status = reg_read(LSR);
        if ((status & LSR_DATA) == 0)
            continue;
        unsigned char byte = (unsigned char)reg_read(RBR);
        uint32_t errors = status & LSR_LINE_ERRORS;
        if (l.state == SWITCHED) {
            receive_ping_byte(&l, byte, errors);
        } else if (l.state == AWAITING_GO) {
            if (byte == GO_BYTE && errors == 0) {
                answer(&l, ANSWER_GOING, 0);
                finish_sending(&l);
                jump(l.exec);
            }
        } else if (l.state == FAST && (errors & LSR_BREAK) != 0) {
            greet(&l); /* the tool went back to the ROM's speed */
        } else {
            receive_frame_byte(&l, byte);
        }
    }
}
