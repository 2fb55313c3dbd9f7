#include "tools/board_start.h"

#include "app/boot_header.h"
#include "tools/board_core.h"

#include <cstdio>

enum { ROM_BAUD = 115200, XMODEM_BLOCK = 128 };

// The image that the loader is to leave, as the ROM's own download of the
// file would: from its header's data on, at its destination. Returns 0 when
// the file is no UART image.
static int read_expected(const char *path, CoreExpected *expected)
{
    FILE *file = fopen(path, "rb");
    if (file == nullptr)
        return 0;
    std::vector<unsigned char> bytes;
    for (int byte; (byte = fgetc(file)) != EOF;)
        bytes.push_back(static_cast<unsigned char>(byte));
    fclose(file);
    BootHeader header;
    if (read_boot_header(bytes.data(), static_cast<long>(bytes.size()), &header) ==
        BOOT_HEADER_NONE)
        return 0;
    expected->bytes.assign(bytes.begin() + header.data_offset, bytes.end());
    expected->destination = header.load_address;
    expected->exec_address = header.exec_address;
    expected->room = static_cast<uint32_t>((bytes.size() / XMODEM_BLOCK + 1) * XMODEM_BLOCK -
                                           header.data_offset);
    return 1;
}

int board_start_ram_loader(const StartPlan &plan, const std::vector<unsigned char> &data,
                           int number)
{
    if (number <= plan.hang_first) {
        printf("The boot ROM did not start the RAM loader: the board hangs until its power "
               "comes again.\n");
        return 0;
    }
    if (!core_available()) {
        printf("This emulator was built without Unicorn: it cannot run the RAM loader.\n");
        return 0;
    }
    BootHeader header;
    read_boot_header(data.data(), static_cast<long>(data.size()), &header);
    CoreStart start = {std::vector<unsigned char>(data.begin() + header.data_offset, data.end()),
                       header.load_address, header.exec_address};
    CoreExpected expected;
    if (plan.expect != nullptr && !read_expected(plan.expect, &expected)) {
        printf("The image to expect, '%s', could not be read as a UART image.\n", plan.expect);
        return 0;
    }
    const UartSetup uart = {
        plan.tclk,       static_cast<int>((plan.tclk + 8L * ROM_BAUD) / (16L * ROM_BAUD)),
        plan.paced,      plan.turnaround_ms,
        plan.line_limit, plan.corrupt_byte};
    int booted = core_run(start, uart, plan.expect != nullptr ? &expected : nullptr);
    fflush(stdout);
    return booted;
}
