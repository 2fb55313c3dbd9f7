#include "tools/board_loader.h"

#include "tools/board_line.h"
#include "tools/board_load.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

enum { IDLE_MS = 10000, ERASE_STEP_MS = 100 };

const char BOARD_LOADER_BANNER[] = "\r\ndramlift-board loader: the image runs from DRAM.\r\n"
                                   "Type 'erase' to erase the flash.\r\n> ";

const char BOARD_FLASH_BANNER[] =
    "\r\n\r\ndramlift-board: its own loader, booted from its flash.\r\n"
    "Hit any key to stop autoboot:  0\r\nflash> ";

static void erase_flash()
{
    static const char *const steps[] = {"\r\nErasing flash...  25%", "\r\nErasing flash...  50%",
                                        "\r\nErasing flash...  75%", "\r\nErasing flash... 100%"};
    for (const char *step : steps) {
        line_sleep_until(line_clock_us() + ERASE_STEP_MS * 1000LL);
        line_write_text(step);
    }
    line_write_text("\r\nFlash erased.\r\n> ");
}

// Does what a line typed at the prompt asks: "erase", or "loadx" and
// "loady" with an address (taken and ignored) and a speed.
static void run_command(const std::string &command, bool paced)
{
    char name[8];
    unsigned long address = 0;
    int baud = 0;
    if (command == "erase")
        erase_flash();
    else if (sscanf(command.c_str(), "%7s %lx %d", name, &address, &baud) >= 1 &&
             (strcmp(name, "loadx") == 0 || strcmp(name, "loady") == 0))
        board_load(name[4] == 'y', baud, paced);
}

long board_run_loader(const std::string &typed_path, bool paced)
{
    char line[64];
    size_t length = 0;
    long received = 0;
    FILE *typed = typed_path.empty() ? nullptr : fopen(typed_path.c_str(), "wb");
    for (int byte; (byte = line_read(IDLE_MS)) != LINE_CLOSED;) {
        if (byte == LINE_SILENT)
            continue;
        ++received;
        if (typed != nullptr) {
            fputc(byte, typed);
            fflush(typed); // a board that is switched off has said it all
        }
        line_write(static_cast<unsigned char>(byte));
        if (byte == '\r' || byte == '\n') {
            run_command(std::string(line, length), paced);
            length = 0;
        } else if (length < sizeof line) {
            line[length++] = static_cast<char>(byte);
        }
    }
    if (typed != nullptr)
        fclose(typed);
    return received;
}
