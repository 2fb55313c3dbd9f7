// A real U-Boot as the loader behind the board: Debian's u-boot-qemu in
// qemu-system-x86_64, its serial line handed over by the board emulator
// once the boot download is done. The terminal's keys come from a pipe,
// paced by what U-Boot prints, as a script that waits for its prompt would.
#include "tests/support.h"

#include <gtest/gtest.h>
#include <unistd.h>

namespace
{

const char UBOOT_ROM[] = "/usr/lib/u-boot/qemu-x86_64/u-boot.rom";
const char PROMPT[] = "\r\n=> "; // at a line start: "==> " is in crc32's answer

void type(int keys, const std::string &text)
{
    ASSERT_EQ(write(keys, text.data(), text.size()), static_cast<ssize_t>(text.size()));
}

} // namespace

TEST(RealUBoot, LoadsWhatTheTerminalSendsAndFollowsItsSpeedSwitch)
{
    if (access(UBOOT_ROM, R_OK) != 0 ||
        run_child({"sh", "-c", "command -v qemu-system-x86_64"}).status != 0)
        GTEST_SKIP() << "u-boot-qemu or qemu-system-x86 is not installed";
    std::string dir = scratch_dir();
    std::string image = write_file(dir + "/boot.bin", uart_image(pattern_bytes(300, 80)));
    std::vector<unsigned char> file = pattern_bytes(64 * 1024 + 33, 81);
    std::string path = write_file(dir + "/fw.bin", file);
    char size[16], crc[16];
    snprintf(size, sizeof size, "%zx", file.size());
    snprintf(crc, sizeof crc, "==> %08x", crc32_of(file));

    Board board = start_board({"--then-command", "--", "qemu-system-x86_64", "-bios", UBOOT_ROM,
                               "-nic", "none", "-display", "none", "-monitor", "none", "-serial",
                               "stdio", "-m", "256"});
    int keys[2], screen[2];
    ASSERT_EQ(pipe(keys), 0);
    ASSERT_EQ(pipe(screen), 0);
    Child tool = start_child({DRAMLIFT_EXE, "-q", "-t", "-x", "5", "-p", board.device, image}, {},
                             keys[0], screen[1]);
    close(keys[0]);
    close(screen[1]);
    read_until(screen[0], "autoboot", 60);
    type(keys[1], "\r"); // stops it
    read_until(screen[0], PROMPT);

    // U-Boot's loadx drops the 0x1A filler of the last block, as loady keeps
    // the size that block 0 gave.
    const std::string exact = "= " + std::to_string(file.size()) + " Bytes";
    // The speed switch is followed however the load command came: typed,
    // recalled from the history (two lines back: the crc32 came between),
    // its speed from a variable, or run from a script.
    const std::string back = "Switch baudrate to 115200 bps and press ESC";
    const std::pair<std::string, std::string> loads[] = {
        {"loadx 0x1000000\r\034x", exact},
        {"loady 0x1000000\r\034y", exact},
        {"loady 0x1000000 921600\r\034y", back},
        {"\x1b[A\x1b[A\r\034y", back},
        {"setenv fast 921600; loady 0x1000000 ${fast}\r\034y", back},
        {"setenv upd 'loady 0x1000000 921600'; run upd\r\034y", back},
    };
    for (const auto &[keys_typed, said] : loads) {
        SCOPED_TRACE(keys_typed);
        type(keys[1], keys_typed + path + "\n");
        // QEMU's serial line on a loaded machine takes up to four times
        // the wire's time.
        std::string shown = read_until(screen[0], PROMPT, 120);
        EXPECT_NE(shown.find(said), std::string::npos) << shown;
        type(keys[1], "crc32 0x1000000 " + std::string(size) + "\r");
        shown = read_until(screen[0], PROMPT);
        EXPECT_NE(shown.find(crc), std::string::npos) << shown;
    }
    // The prompt answers after the switch back.
    type(keys[1], "echo still here\r");
    EXPECT_NE(read_until(screen[0], "still here" + std::string(PROMPT)).find(PROMPT),
              std::string::npos);

    close(keys[1]);
    ChildResult run = finish_child(&tool);
    close(screen[0]);
    ChildResult loader = finish_board(&board);
    EXPECT_EQ(run.status, 0) << run.err;
    const std::string sent = "Sent '" + path + "': " + std::to_string(file.size()) + " bytes";
    size_t first = run.err.find(sent);
    EXPECT_NE(first, std::string::npos) << run.err;
    // Each switch there and back, four times.
    size_t switches = 0;
    for (size_t at = 0; (at = run.err.find("Line now at 921600 baud.\n", at)) != std::string::npos;
         ++at)
        ++switches;
    EXPECT_EQ(switches, 4u) << run.err;
    EXPECT_NE(run.err.find("Line now at 115200 baud.\n"), std::string::npos) << run.err;
    EXPECT_EQ(run.err.find("not followed"), std::string::npos) << run.err;
    // The file went at 921600 baud, and the line came back.
    size_t up = loader.out.find("Line now at 921600 baud");
    size_t down = loader.out.find("Line now at 115200 baud", up);
    ASSERT_NE(down, std::string::npos) << loader.out;
    long at_speed = atol(loader.out.c_str() + loader.out.find("after ", down) + 6);
    EXPECT_GT(at_speed, static_cast<long>(file.size())) << loader.out;
}
