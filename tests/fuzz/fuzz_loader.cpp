// The RAM loader on the emulated core, told to take an image and then fed
// whatever the input holds, at the boot ROM's speed: whatever the line
// sends, it writes nowhere but in its own span (its code and stack) and in
// the range of an image that a whole, checked load frame on the line named.
#include "ramloader/protocol.h"
#include "ramloader/ram_loader.h"
#include "tools/board_core.h"
#include "tools/board_line.h"
#include "xmodem/crc32.h"

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <vector>

namespace
{

const uint32_t LOADER_AT = 0x5FD000, IMAGE_AT = 0x600000, IMAGE_SIZE = 0x10000;
const int ROM_BAUD = 115200;

std::vector<unsigned char> line; // what the tool sends, once the loader has greeted
size_t taken;
bool greeted;

void put_le32(std::vector<unsigned char> *bytes, uint32_t value)
{
    for (int i = 0; i < 4; ++i)
        bytes->push_back(static_cast<unsigned char>(value >> (8 * i)));
}

// The load frame for the image's range, as the tool sends it.
std::vector<unsigned char> load_frame()
{
    std::vector<unsigned char> payload;
    for (uint32_t value : {IMAGE_AT, IMAGE_SIZE, IMAGE_SIZE, IMAGE_AT})
        put_le32(&payload, value);
    std::vector<unsigned char> frame = {
        FRAME_START, FRAME_LOAD, 0, 0, static_cast<unsigned char>(payload.size()), 0};
    frame.push_back(static_cast<unsigned char>(FRAME_LOAD + payload.size()) ^ HEADER_CHECK_XOR);
    frame.insert(frame.end(), payload.begin(), payload.end());
    put_le32(&frame, crc32_ieee(0, frame.data() + 1, frame.size() - 1));
    return frame;
}

uint32_t le32(const unsigned char *bytes)
{
    return bytes[0] | bytes[1] << 8 | bytes[2] << 16 | static_cast<uint32_t>(bytes[3]) << 24;
}

struct Range {
    uint32_t first, end;
};

// The ranges that the line's whole, checked load frames name.
std::vector<Range> loads_on_line()
{
    std::vector<Range> ranges;
    const size_t frame_size = FRAME_HEADER_SIZE + 16 + FRAME_CRC_SIZE;
    for (size_t at = 0; at + frame_size <= line.size(); ++at) {
        const unsigned char *frame = line.data() + at;
        if (frame[0] == FRAME_START && frame[1] == FRAME_LOAD && frame[4] == 16 && frame[5] == 0 &&
            le32(frame + FRAME_HEADER_SIZE + 16) ==
                crc32_ieee(0, frame + 1, FRAME_HEADER_SIZE - 1 + 16))
            ranges.push_back(
                {le32(frame + FRAME_HEADER_SIZE),
                 le32(frame + FRAME_HEADER_SIZE) + le32(frame + FRAME_HEADER_SIZE + 4)});
    }
    return ranges;
}

} // namespace

// The emulator's end of the line, played from the input: every byte at the
// ROM's speed once the loader has greeted, as the tool waits for that, then
// a line that the tool has closed.
int line_read(int)
{
    if (!greeted)
        return LINE_SILENT;
    return taken < line.size() ? line[taken++] : LINE_CLOSED;
}

int line_arrival_speed()
{
    return ROM_BAUD;
}

int line_speed()
{
    return ROM_BAUD;
}

void line_write(unsigned char byte)
{
    greeted = greeted || byte == '\n';
}

void line_hold_output_until(long long) {}

long long line_clock_us()
{
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec * 1000000LL + now.tv_nsec / 1000;
}

void line_sleep_until(long long) {}

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    // The core's findings are for the board's log, not the fuzzer's.
    if (freopen("/dev/null", "w", stdout) == nullptr)
        abort();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    line = load_frame();
    line.insert(line.end(), data, data + size);
    taken = 0;
    greeted = false;
    CoreStart start = {std::vector<unsigned char>(RAM_LOADER, RAM_LOADER + RAM_LOADER_SIZE),
                       LOADER_AT, LOADER_AT};
    const CoreExpected image = {{}, IMAGE_AT, IMAGE_AT, IMAGE_SIZE};
    const UartSetup uart = {200000000, 109, false, 0, 0, 0};
    core_run(start, uart, &image);
    // The loader's own span, its code then its stack, and the images named.
    std::vector<Range> allowed = loads_on_line();
    allowed.push_back({LOADER_AT, LOADER_AT + (RAM_LOADER_SIZE + 7) / 8 * 8 + LOADER_STACK_SIZE});
    for (const CoreWrites &stretch : core_writes_outside()) {
        bool inside = false;
        for (const Range &range : allowed)
            inside = inside || (stretch.first >= range.first && stretch.last < range.end);
        if (!inside) {
            fprintf(stderr, "The loader wrote 0x%08X to 0x%08X\n", stretch.first, stretch.last);
            abort();
        }
    }
    return 0;
}
