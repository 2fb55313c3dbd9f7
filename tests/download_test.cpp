// Whole downloads over a pseudo-terminal: the built tool against the board
// emulator, and against lrzsz's rx, a receiver written elsewhere.
#include "tests/support.h"

#include <algorithm>
#include <csignal>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <termios.h>
#include <unistd.h>

namespace
{

const std::string WAITING = "Waiting for the board to wake up...";
const std::string BLANK35 = "\r                                   \r";
const std::string BLANK31 = "\r                               \r";

struct Download {
    ChildResult tool;
    ChildResult board;
};

Download download(const std::vector<std::string> &board_args,
                  const std::vector<std::string> &tool_args)
{
    Board board = start_board(board_args);
    std::vector<std::string> argv = {DRAMLIFT_EXE, "-p", board.device};
    argv.insert(argv.end(), tool_args.begin(), tool_args.end());
    Download result;
    result.tool = run_child(argv);
    result.board = finish_board(&board);
    return result;
}

// The progress line up to and including the acknowledgement of `acked`
// blocks: each new percentage once.
std::string progress(size_t image_size, size_t acked)
{
    std::string text = BLANK35 + "Downloading boot code...(  0%)";
    for (size_t block = 0, shown = 0; block < acked; ++block) {
        size_t percent = block * 128 * 100 / image_size;
        char update[16];
        snprintf(update, sizeof update, "\b\b\b\b\b%3d%%)", static_cast<int>(percent));
        text += percent != shown ? update : "";
        shown = percent;
    }
    return text;
}

std::vector<unsigned char> with_trailer(std::vector<unsigned char> bytes, bool erase)
{
    bytes.insert(bytes.end(), {0xA7, 0x3E, 0x37, 0x18, static_cast<unsigned char>(erase), 0, 0, 0});
    return bytes;
}

// Whether the process has the file open.
bool holds(pid_t pid, const std::string &file)
{
    for (int fd = 0; fd < 64; ++fd) {
        char target[256];
        std::string entry = "/proc/" + std::to_string(pid) + "/fd/" + std::to_string(fd);
        ssize_t length = readlink(entry.c_str(), target, sizeof target - 1);
        if (length > 0 && file == std::string(target, static_cast<size_t>(length)))
            return true;
    }
    return false;
}

// Points the link at the target in one step.
void relink(const std::string &link, const std::string &target)
{
    std::string fresh = link + ".new";
    remove(fresh.c_str());
    ASSERT_EQ(symlink(target.c_str(), fresh.c_str()), 0);
    ASSERT_EQ(rename(fresh.c_str(), link.c_str()), 0);
}

bool have_program(const char *name)
{
    return run_child({"sh", "-c", std::string("command -v ") + name}).status == 0;
}

} // namespace

TEST(Download, DeliversTheImageInEitherModeWithAndWithoutErase)
{
    struct Case {
        size_t file_size;
        bool checksum;
        bool erase;
    };
    // 248 bytes make a 256-byte image, which ends with a filler-only block.
    for (const Case &c : {Case{300, false, true}, Case{248, true, false}, Case{0, false, false},
                          Case{40000, true, true}}) {
        SCOPED_TRACE(std::to_string(c.file_size) + (c.checksum ? " checksum" : " CRC"));
        std::string dir = scratch_dir();
        std::vector<unsigned char> bytes = uart_image(pattern_bytes(c.file_size, 20));
        std::string path = write_file(dir + "/boot.bin", bytes);
        std::vector<std::string> board_args = {"-o", dir + "/received.bin"};
        if (c.checksum)
            board_args.push_back("--checksum");
        std::vector<std::string> tool_args = {path};
        if (c.erase)
            tool_args.insert(tool_args.begin(), "-e");

        Download d = download(board_args, tool_args);
        size_t image_size = c.file_size + 8;
        EXPECT_EQ(d.tool.status, 0);
        // An empty file has no boot header to look at: the tool says so, and sends it.
        EXPECT_EQ(d.tool.err, c.file_size > 0 ? ""
                                              : "Note: '" + path +
                                                    "' has no boot image header; the board's boot "
                                                    "ROM may not run it.\n");
        EXPECT_EQ(d.tool.out, WAITING + progress(image_size, image_size / 128 + 1) + BLANK31 +
                                  "Successfully downloaded '" + path + "'.\n");
        EXPECT_EQ(d.board.status, 0) << d.board.out;
        EXPECT_NE(d.board.out.find(c.erase ? "erase flag set" : "erase flag clear"),
                  std::string::npos);
        EXPECT_EQ(read_file(dir + "/received.bin"), with_trailer(bytes, c.erase));
    }

    // An emulator with --repeat takes one download after another on the same
    // device, each reported in turn, until it is stopped.
    std::string path =
        write_file(scratch_dir() + "/one-block.bin", uart_image(pattern_bytes(100, 21)));
    Board board = start_board({"--repeat"});
    for (int run = 0; run < 2; ++run)
        EXPECT_EQ(run_child({DRAMLIFT_EXE, "-q", "-p", board.device, path}).status, 0);
    kill(board.pid, SIGTERM);
    std::string reports = finish_board(&board).out;
    const std::string one_block = "Received 1 block in CRC-16 mode; answered 0 packets with NAK.";
    EXPECT_NE(reports.find(one_block), reports.rfind(one_block)) << reports;
    EXPECT_NE(reports.find("Waiting on " + board.device + " for the next download."),
              std::string::npos);
}

TEST(Download, RecoversFromRefusedPacketsAndALoneCancel)
{
    std::string dir = scratch_dir();
    std::vector<unsigned char> bytes = uart_image(pattern_bytes(1000, 21));
    std::string path = write_file(dir + "/boot.bin", bytes);
    Download d =
        download({"--nak-block", "3:24", "--can-once", "5", "-o", dir + "/got.bin"}, {path});
    EXPECT_EQ(d.tool.status, 0);
    EXPECT_EQ(d.tool.err, "");
    EXPECT_EQ(d.board.status, 0);
    EXPECT_NE(d.board.out.find("answered 24 packets with NAK"), std::string::npos);
    EXPECT_EQ(read_file(dir + "/got.bin"), with_trailer(bytes, false));
}

TEST(Download, TransferFailuresReportTheirCodeAndFail)
{
    std::string path = write_file(scratch_dir() + "/boot.bin", uart_image(pattern_bytes(1000, 22)));
    const size_t image_size = 1008;
    struct Case {
        std::vector<std::string> board_args;
        size_t acked;
        int code;
        std::string meaning;
    };
    for (const Case &c :
         {Case{{"--cancel-at", "2"}, 1, -1, "The board cancelled the transfer."},
          Case{{"--nak-block", "4:25"}, 3, -4, "A block was refused 25 times."},
          Case{{"--nak-eot"}, 8, -5, "The end of the transfer was not acknowledged."}}) {
        SCOPED_TRACE(c.code);
        Download d = download(c.board_args, {path});
        EXPECT_EQ(d.tool.status, 1);
        EXPECT_EQ(d.tool.out, WAITING + progress(image_size, c.acked) + BLANK31);
        EXPECT_EQ(d.tool.err,
                  "Xmodem download failed: " + std::to_string(c.code) + ".\n  " + c.meaning + "\n");
        EXPECT_EQ(d.board.status, 1);
    }
}

TEST(Download, GoesOnWhenTheReaderOfItsOutputLeaves)
{
    // dramlift ... | head -c 60: the progress has nowhere to go, the board
    // still gets the whole image.
    std::string dir = scratch_dir();
    std::vector<unsigned char> bytes = uart_image(pattern_bytes(30000, 25));
    std::string path = write_file(dir + "/boot.bin", bytes);
    Board board = start_board({"--paced", "-o", dir + "/got.bin"});
    int screen[2];
    ASSERT_EQ(pipe(screen), 0);
    Child tool = start_child({DRAMLIFT_EXE, "-p", board.device, path}, {}, -1, screen[1]);
    close(screen[1]);
    EXPECT_NE(read_until(screen[0], "Downloading").find("Downloading"), std::string::npos);
    close(screen[0]);
    ChildResult run = finish_child(&tool);
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(finish_board(&board).status, 0);
    EXPECT_EQ(read_file(dir + "/got.bin"), with_trailer(bytes, false));
}

TEST(Download, SilentBoardEndsTheStartPhaseAfter32Seconds)
{
    std::string path = write_file(scratch_dir() + "/boot.bin", uart_image(pattern_bytes(40, 23)));
    time_t start = time(nullptr);
    Download d = download({"--silent"}, {path});
    time_t elapsed = time(nullptr) - start;
    EXPECT_EQ(d.tool.status, 1);
    EXPECT_EQ(d.tool.out, WAITING + BLANK31);
    EXPECT_EQ(d.tool.err, "Xmodem download failed: -2.\n  The board never asked for the first "
                          "block.\n  After its answer to the wake pattern the board sent nothing "
                          "more.\n");
    EXPECT_GE(elapsed, 33);
    EXPECT_LE(elapsed, 40);
}

TEST(Download, LrzszRxReceivesTheFileTrailerAndFiller)
{
    if (!have_program("rx"))
        GTEST_SKIP() << "lrzsz's rx is not installed";
    for (bool crc : {true, false}) {
        SCOPED_TRACE(crc ? "CRC" : "checksum");
        std::string dir = scratch_dir();
        std::vector<unsigned char> bytes = uart_image(pattern_bytes(1000, 24));
        std::string path = write_file(dir + "/boot.bin", bytes);
        // rx writes only below its working directory.
        std::vector<std::string> receiver = {
            "--", "sh", "-c", "cd " + dir + " && exec rx -q " + (crc ? "-c" : "") + " rx.bin"};

        Download d = download(receiver, {"-e", path});
        EXPECT_EQ(d.tool.status, 0) << d.tool.err;
        EXPECT_EQ(d.board.status, 0);
        EXPECT_NE(d.board.out.find(crc ? "asked for CRC-16" : "asked for checksum"),
                  std::string::npos);
        // rx keeps whole blocks: the image, then the filler of one 0x1A and zeros.
        std::vector<unsigned char> expected = with_trailer(bytes, true);
        expected.push_back(0x1A);
        expected.resize(1024, 0x00);
        EXPECT_EQ(read_file(dir + "/rx.bin"), expected);
    }
}

TEST(Download, ImagesAreLookedAtBeforeTheFirstByte)
{
    std::string dir = scratch_dir();
    const std::vector<unsigned char> data = pattern_bytes(1000, 26);
    const uint32_t fits = 1000 - 32;
    const std::vector<unsigned char> nand = with_boot_header(data, 0x8B, fits);
    std::vector<unsigned char> nand_as_uart = nand;
    nand_as_uart[0] = 0x69;
    nand_as_uart[31] = static_cast<unsigned char>(nand[31] - 0x8B + 0x69);
    const std::string build = "  The board boots only UART images this way: build one for UART, "
                              "or send this one with -u.\n";
    struct Row {
        const char *what;
        std::vector<unsigned char> file;
        bool as_uart;
        std::string err;                 // after "'<path>'"
        std::vector<unsigned char> sent; // empty: nothing may reach the board
    };
    const std::string no_header =
        " has no boot image header; the board's boot ROM may not run it.\n";
    const Row rows[] = {
        {"UART", with_boot_header(data, 0x69, fits), false, "", with_boot_header(data, 0x69, fits)},
        {"UART, -u", with_boot_header(data, 0x69, fits), true, "",
         with_boot_header(data, 0x69, fits)},
        {"NAND", nand, false, ": it is a NAND boot image.\n" + build, {}},
        {"SPI",
         with_boot_header(data, 0x5A, fits),
         false,
         ": it is a SPI flash boot image.\n" + build,
         {}},
        {"NAND, -u", nand, true,
         " as a UART boot image: block ID 0x8B (NAND) made 0x69, the header checksum made good, "
         "all else unchanged.\n",
         nand_as_uart},
        {"SATA, -u",
         with_boot_header(data, 0x78, 100),
         true,
         ": it is a SATA boot image.\n  -u cannot send it as a UART image: its data's offset "
         "counts disk sectors, not bytes.\n",
         {}},
        {"cut short",
         with_boot_header(data, 0x69, 4000),
         false,
         ": it is cut short.\n  Its boot header says that its data ends at byte 4032; the file "
         "holds 1000 bytes.\n",
         {}},
        {"version 1, with a block ID of its own",
         with_boot_header(data, 0xAE, fits, 1),
         false,
         ": it is a boot image for a later SoC (header version 1).\n  The 88F6281's boot ROM "
         "cannot run it: build the image for this board.\n",
         {}},
        {"raw", data, false, no_header, data},
        {"bad checksum", with_boot_header(data, 0x69, fits, 0, false), false, no_header,
         with_boot_header(data, 0x69, fits, 0, false)},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.what);
        std::string path = write_file(dir + "/image.bin", row.file);
        std::vector<std::string> tool_args = {path};
        if (row.as_uart)
            tool_args.insert(tool_args.begin(), "-u");
        bool refused = row.sent.empty();
        std::string said = row.err.empty() ? "" : "'" + path + "'" + row.err;
        if (!said.empty())
            said.insert(0, refused ? "Could not use file " : row.as_uart ? "Sending " : "Note: ");
        if (refused) {
            // A bare line: not one byte may reach it.
            std::string device;
            int master = open_pty(&device);
            tool_args.insert(tool_args.begin(), {"-w", "1", "-p", device});
            tool_args.insert(tool_args.begin(), DRAMLIFT_EXE);
            ChildResult run = run_child(tool_args);
            EXPECT_EQ(run.status, 1);
            EXPECT_EQ(run.err, said);
            EXPECT_EQ(read_until(master, "?", 0.2), "");
            close(master);
            continue;
        }
        Download d = download({"-o", dir + "/got.bin"}, tool_args);
        EXPECT_EQ(d.tool.status, 0);
        EXPECT_EQ(d.tool.err, said);
        EXPECT_EQ(read_file(dir + "/got.bin"), with_trailer(row.sent, false));
    }
}

TEST(Download, FastBootsGoThroughTheRamLoader)
{
    if (run_child({DRAMLIFT_BOARD_EXE, "--version"}).out.find("ARM926") == std::string::npos)
        GTEST_SKIP() << "the board emulator was built without Unicorn: no core for the loader";
    std::string dir = scratch_dir();
    const std::string power = dir + "/power";
    const std::string fast = "The RAM loader runs; the image goes at 1250000 baud.\n";
    const std::string exact = "holds the image and its trailer";
    struct Row {
        const char *what;
        std::vector<unsigned char> file;
        std::vector<std::string> board_args, tool_args;
        std::vector<std::string> out_has, err_has, board_has;
        int board_status = 0;
    };
    const std::vector<unsigned char> small = uart_image(pattern_bytes(1000, 90));
    const Row rows[] = {
        {"a UART image of nothing but its data checksum, at 200 MHz",
         with_boot_header(std::vector<unsigned char>(36), 0x69, 4),
         {},
         {"-b", "1250000"},
         {fast, "Successfully downloaded"},
         {},
         {exact, "Jumped in SVC mode, IRQ and FIQ masked, MMU off: good.",
          "UART0 back at the boot ROM's divisor 109: good.", "clear of the image's"}},
        {"1000 bytes at 166 MHz, at the fastest rate its divisors make",
         small,
         {"--tclk", "166"},
         {"-b", "1250000"},
         {"goes at 1157407 baud.\n"},
         {},
         {exact, "divisor 90: good."}},
        {"8 MiB with the erase flag",
         uart_image(pattern_bytes(8 << 20, 91)),
         {},
         {"-e", "-b", "1250000"},
         {fast},
         {},
         {exact, "8388584 bytes: good."}},
        {"a byte corrupted once in the fast phase: its block goes again",
         uart_image(pattern_bytes(50000, 92)),
         {"--corrupt-fast", "20000"},
         {"-b", "1250000"},
         {fast},
         {},
         {exact}},
        {"the terminal after it: the image's first words come whole, at 115200 baud",
         small,
         {},
         {"-b", "1250000", "-t", "-x", "1"},
         {fast, "Successfully downloaded", "\r\ndramlift-board loader: the image runs from DRAM."},
         {"Terminal on "},
         {exact}},
        {"a line that does not carry the new rate: back to 115200 baud",
         small,
         {"--line-limit", "115200"},
         {"-b", "1250000"},
         {"The RAM loader runs; the image goes at 115200 baud.\n"},
         {"Could not switch the line to 1250000 baud: The round trip at that speed did not come "
          "back. The image goes through the loader at 115200 baud.\n"},
         {exact, "garbled by a rate off the UART's"}},
        {"a board whose ROM does not start the loader: the next try goes the ROM's way",
         small,
         {"--power-file", power, "--hang-first", "1"},
         {"-b", "1250000", "-n", "2", "-r", "touch " + power},
         {"Trying again (2 of 2), the boot ROM's way at 115200 baud.\n", "Successfully"},
         {"The board did not start the loader.\n  After the loader's download the board sent "
          "nothing more.\n"},
         {"The boot ROM did not start the RAM loader", "Boot trailer: valid"}},
        {"a file without a boot header goes the ROM's way",
         pattern_bytes(700, 93),
         {},
         {"-b", "1250000"},
         {"Successfully"},
         {"boots the boot ROM's way at 115200 baud, -b notwithstanding: the RAM loader takes "
          "only UART images whose header and data checksum are good.\n"},
         {"Boot header: none."}},
        {"a data checksum that does not match: the ROM, not the loader, judges it",
         with_boot_header(pattern_bytes(700, 94), 0x69, 668, 0, true, false),
         {},
         {"-b", "1250000"},
         {"Successfully"},
         {"Note: the checksum at the end of the data of '", "-b notwithstanding"},
         {"Data checksum: WRONG: the boot ROM runs nothing."},
         1},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.what);
        bool erase =
            std::find(row.tool_args.begin(), row.tool_args.end(), "-e") != row.tool_args.end();
        std::string path = write_file(dir + "/boot.bin", row.file);
        std::vector<std::string> board_args = row.board_args;
        board_args.insert(
            board_args.end(),
            {"--expect", write_file(dir + "/expect.bin", with_trailer(row.file, erase))});
        std::vector<std::string> tool_args = row.tool_args;
        tool_args.insert(tool_args.begin(), "-q");
        tool_args.push_back(path);
        remove(power.c_str());
        Download d = download(board_args, tool_args);
        EXPECT_EQ(d.tool.status, 0) << d.tool.err;
        for (const std::string &text : row.out_has)
            EXPECT_NE(d.tool.out.find(text), std::string::npos) << d.tool.out;
        for (const std::string &text : row.err_has)
            EXPECT_NE(d.tool.err.find(text), std::string::npos) << d.tool.err;
        if (row.err_has.empty()) {
            EXPECT_EQ(d.tool.err, "");
        }
        EXPECT_EQ(d.board.status, row.board_status) << d.board.out;
        EXPECT_EQ(d.board.out.find("WRONG"),
                  row.board_status == 0 ? std::string::npos : d.board.out.find("WRONG"));
        for (const std::string &text : row.board_has)
            EXPECT_NE(d.board.out.find(text), std::string::npos) << d.board.out;
    }

    // Stops in the loader's download (its ACKs late), while the switch is
    // proved (by a line that cannot carry it) and mid-image: each ends the
    // run by its signal within half a second, the line as it was found.
    std::string path = write_file(dir + "/boot.bin", uart_image(pattern_bytes(300000, 95)));
    struct Stop {
        const char *when;
        std::vector<std::string> board_args;
        double after_s;
    };
    for (const Stop &stop : {Stop{"in the loader's download", {"--paced", "--late", "1"}, 1.0},
                             Stop{"at the switch", {"--paced", "--line-limit", "115200"}, 1.0},
                             Stop{"mid-image", {"--paced"}, 2.0}}) {
        SCOPED_TRACE(stop.when);
        Board board = start_board(stop.board_args);
        int watcher = open(board.device.c_str(), O_RDWR | O_NOCTTY);
        termios found;
        ASSERT_EQ(tcgetattr(watcher, &found), 0);
        Child tool = start_child({DRAMLIFT_EXE, "-q", "-b", "1250000", "-p", board.device, path});
        usleep(static_cast<useconds_t>(stop.after_s * 1e6));
        double at = now_seconds();
        kill(tool.pid, SIGTERM);
        ChildResult run = finish_within(&tool, 5);
        EXPECT_LT(now_seconds() - at, 0.5);
        EXPECT_EQ(run.status, 128 + SIGTERM);
        EXPECT_EQ(run.err, "");
        termios left;
        EXPECT_EQ(tcgetattr(watcher, &left), 0);
        EXPECT_TRUE(same_settings(left, found));
        close(watcher);
        finish_board(&board);
    }
}

TEST(Download, BoardsThatTakeNoImageAreDescribed)
{
    std::string dir = scratch_dir();
    const std::vector<unsigned char> data = uart_image(pattern_bytes(1000, 27));
    const std::string said = "  The board sent text instead: it runs something of its own, most "
                             "likely from its flash. Reset it while the tool waits. It said: "
                             "\"flash>\"\n";
    struct Row {
        std::vector<std::string> board_args, tool_args;
        std::string err;
    };
    const Row rows[] = {
        {{"--from-flash"}, {"-w", "3"}, "The board did not answer within 3 s.\n" + said},
        {{"--looped"},
         {"-w", "2"},
         "The board did not answer within 2 s.\n  Everything the tool sends comes back: the line "
         "is looped (TX joined to RX), or the board is in its boot ROM's debug console.\n"},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.board_args[0]);
        std::vector<std::string> tool_args = row.tool_args;
        tool_args.push_back(write_file(dir + "/boot.bin", data));
        Download d = download(row.board_args, tool_args);
        EXPECT_EQ(d.tool.status, 1);
        EXPECT_EQ(d.tool.err, row.err);
    }
}

TEST(Download, UnattendedBootsPowerTheBoardAndTryAgain)
{
    std::string dir = scratch_dir();
    std::string path = write_file(dir + "/boot.bin", uart_image(pattern_bytes(1000, 28)));
    const std::string power = dir + "/power";
    const std::string powered = "touch " + power;
    const std::string pid_file = dir + "/command.pid";
    const std::string ended_file = dir + "/command.ended";
    const std::string leaving = "\034c";
    struct Row {
        const char *what;
        std::vector<std::string> board_args, tool_args;
        int status;
        std::vector<std::string> err_has, out_has, board_has;
        bool powered_first = false;  // the board switched on before the tool came
        int stop = 0;                // a signal 1 s into the run
        bool child_end_held = false; // started with SIGCHLD blocked, as some callers do
        double at_most_s = 0;        // how long the run may take; 0: not looked at
        std::string keys = "";       // the terminal's input; none when empty
        bool own_terminal = false;   // the tool's terminal its controlling one, as from a shell
        bool grace_measured = false; // from the success message to the command's end
        double at_least_s = 0;       // how long it must take, for a terminal that goes on
    };
    const Row rows[] = {
        {"a board off until the reset command powers it",
         {"--power-file", power},
         {"-w", "5", "-r", powered},
         0,
         {},
         {"Successfully downloaded"},
         {"Powered on.", "Boot trailer: valid"}},
        {"the same board switched on before the tool came",
         {"--power-file", power, "--window", "50"},
         {"-w", "2"},
         1,
         {"The board did not answer within 2 s."},
         {},
         {"No wake pattern within 50 ms: booted from flash."},
         true},
        {"a reset command that fails, the tool started with SIGCHLD blocked",
         {"--off"},
         {"-w", "3", "-r", "exit 3"},
         1,
         {"The reset command failed with status 3.\n"},
         {"Waiting for the board to wake up...\n"},
         {},
         false,
         0,
         true,
         1.0},
        {"a reset command ended by a signal",
         {"--off"},
         {"-r", "kill -9 $$"},
         1,
         {"The reset command was ended by signal 9.\n"},
         {},
         {},
         false,
         0,
         false,
         1.0},
        {"a reset command that asks for the terminal fails at once",
         {"--off"},
         {"-w", "3", "-r", "read answer < /dev/tty"},
         1,
         {"The reset command failed with status 2.\n"},
         {},
         {},
         false,
         0,
         false,
         1.0,
         "",
         true},
        {"the reset command's output, on standard error alone",
         {"--power-file", power},
         {"-r", "echo said-on-stdout; echo said-on-stderr >&2; " + powered},
         0,
         {"said-on-stdout\n", "said-on-stderr\n"},
         {},
         {}},
        {"three tries against a board that cancels its first two, each try told its number",
         {"--fail-first", "2"},
         {"-n", "3", "-r", "echo try $DRAMLIFT_TRY on $DRAMLIFT_PORT"},
         0,
         {"try 1 on /dev/", "try 2 on /dev/", "try 3 on /dev/", "The board cancelled"},
         {"Trying again (2 of 3).\n", "Trying again (3 of 3).\n", "Successfully downloaded"},
         {"Boot trailer: valid"}},
        {"two tries that both fail",
         {"--fail-first", "2"},
         {"-n", "2"},
         1,
         {"Xmodem download failed: -1.\n  The board cancelled the transfer.\n"},
         {"Trying again (2 of 2).\n"},
         {}},
        {"a reset command that outlives the boot, ended 10 s after it",
         {"--power-file", power},
         {"-r", "echo $$ > " + pid_file + "; trap 'date +%s.%N > " + ended_file + "; exit' TERM; " +
                    powered + "; sleep 60 & wait"},
         0,
         {"The reset command was still running 10 s after the boot: it and what it started "
          "were ended.\n"},
         {},
         {},
         false,
         0,
         false,
         0,
         "",
         false,
         true},
        {"what a reset command that ended left running is ended with the run",
         {"--power-file", power},
         {"-r", "echo $$ > " + pid_file + "; " + powered + "; sleep 60 &"},
         0,
         {},
         {"Successfully downloaded"},
         {},
         false,
         0,
         false,
         2.0},
        {"a reset command that fails beside the terminal is said there, and fails the run",
         {"--power-file", power},
         {"-t", "-x", "2", "-r", powered + "; sleep 1; exit 4"},
         1,
         {"then c.\n\nThe reset command failed with status 4.\n"},
         {"Successfully downloaded"},
         {"Loader received 0 bytes."},
         false,
         0,
         false,
         3.0,
         "",
         false,
         false,
         2.0},
        {"leaving the terminal ends the reset command at once",
         {"--power-file", power},
         {"-t", "-r", "echo $$ > " + pid_file + "; " + powered + "; sleep 60"},
         0,
         {"The reset command was still running as the terminal was left: it and what it "
          "started were ended.\n"},
         {"Successfully downloaded"},
         {},
         false,
         0,
         false,
         1.5,
         leaving},
        {"a stop while the reset command runs",
         {"--off"},
         {"-r", "echo $$ > " + pid_file + "; sleep 60"},
         128 + SIGTERM,
         {},
         {},
         {},
         false,
         SIGTERM,
         false,
         1.5},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.what);
        remove(pid_file.c_str());
        Board board = start_board(row.board_args);
        if (row.powered_first) {
            write_file(power, {});
            usleep(300 * 1000);
        }
        std::vector<std::string> argv = {DRAMLIFT_EXE, "-q", "-p", board.device};
        argv.insert(argv.end(), row.tool_args.begin(), row.tool_args.end());
        argv.push_back(path);
        int input = -1, screen[2] = {-1, -1}, terminal = -1;
        if (row.own_terminal) {
            std::string device;
            terminal = open_pty(&device);
            input = open(device.c_str(), O_RDWR | O_NOCTTY);
            argv.insert(argv.begin(), {"setsid", "--ctty"});
        } else if (!row.keys.empty()) {
            int keys[2];
            ASSERT_EQ(pipe(keys), 0);
            ASSERT_EQ(write(keys[1], row.keys.data(), row.keys.size()),
                      static_cast<ssize_t>(row.keys.size()));
            close(keys[1]);
            input = keys[0];
        }
        if (row.grace_measured) {
            ASSERT_EQ(pipe(screen), 0);
        }
        double started = now_seconds();
        sigset_t held, found;
        sigemptyset(&held);
        if (row.child_end_held)
            sigaddset(&held, SIGCHLD);
        sigprocmask(SIG_BLOCK, &held, &found); // the tool inherits it
        Child tool = start_child(argv, {}, input, screen[1]);
        sigprocmask(SIG_SETMASK, &found, nullptr);
        if (input >= 0)
            close(input);
        double booted_at = 0; // on the clock of `date`
        if (row.grace_measured) {
            close(screen[1]);
            read_until(screen[0], "Successfully downloaded", 20);
            timespec now;
            clock_gettime(CLOCK_REALTIME, &now);
            booted_at = now.tv_sec + now.tv_nsec / 1e9;
            read_until(screen[0], "never comes", 15);
            close(screen[0]);
        }
        if (row.stop != 0) {
            usleep(1000 * 1000);
            kill(tool.pid, row.stop);
        }
        ChildResult run = finish_child(&tool);
        double took = now_seconds() - started;
        if (terminal >= 0)
            close(terminal);
        ChildResult board_run = finish_board(&board);
        EXPECT_EQ(run.status, row.status) << run.err;
        for (const std::string &text : row.err_has)
            EXPECT_NE(run.err.find(text), std::string::npos) << run.err;
        for (const std::string &text : row.out_has)
            EXPECT_NE(run.out.find(text), std::string::npos) << run.out;
        for (const std::string &text : row.board_has)
            EXPECT_NE(board_run.out.find(text), std::string::npos) << board_run.out;
        EXPECT_EQ(run.out.find("said-on"), std::string::npos);
        // A command that fails ends the run at once; one that outlives the
        // boot gets 10 s; a stop or leaving the terminal ends it with the
        // tool.
        if (row.at_most_s > 0) {
            EXPECT_LT(took, row.at_most_s);
        }
        EXPECT_GE(took, row.at_least_s);
        if (row.grace_measured) {
            std::vector<unsigned char> ended = read_file(ended_file);
            EXPECT_NEAR(atof(std::string(ended.begin(), ended.end()).c_str()) - booted_at, 10.0,
                        0.5);
        }
        // Nothing of it is left, once the system has reaped what it had to.
        std::vector<unsigned char> pid = read_file(pid_file);
        if (!pid.empty()) {
            pid_t group = atoi(std::string(pid.begin(), pid.end()).c_str());
            for (int tenths = 0; tenths < 20 && kill(-group, 0) == 0; ++tenths)
                usleep(100 * 1000);
            EXPECT_NE(kill(-group, 0), 0);
        }
    }

    // A USB adapter that goes away during a try, the board's power cycle say,
    // and comes back under the same name (a link, as udev makes): with tries
    // left the tool waits for it. One that stays away ends the run.
    const std::string link = dir + "/ttyUSB-board";
    for (bool comes_back : {true, false}) {
        SCOPED_TRACE(comes_back ? "comes back" : "stays away");
        Board vanishing = start_board({"--off"});
        remove(link.c_str());
        ASSERT_EQ(symlink(vanishing.device.c_str(), link.c_str()), 0);
        Child tool = start_child({DRAMLIFT_EXE, "-q", "-n", "2", "-p", link, path});
        // Once the tool holds the device, the name leads nowhere before the
        // adapter goes: a pseudo-terminal's number is soon another test's.
        for (int tenths = 0; tenths < 50 && !holds(tool.pid, vanishing.device); ++tenths)
            usleep(100 * 1000);
        relink(link, dir + "/gone");
        double started = now_seconds();
        kill(vanishing.pid, SIGKILL);
        finish_board(&vanishing);
        Board back{};
        if (comes_back) {
            back = start_board({});
            relink(link, back.device);
        }
        ChildResult run = finish_child(&tool);
        double took = now_seconds() - started;
        const std::string lost =
            "Lost serial port " + link + "; waiting up to 5 s for it to come back.\n";
        if (comes_back) {
            EXPECT_EQ(run.status, 0);
            EXPECT_EQ(run.err, lost);
            EXPECT_NE(run.out.find("Trying again (2 of 2).\n"), std::string::npos) << run.out;
            EXPECT_NE(finish_board(&back).out.find("Boot trailer: valid"), std::string::npos);
        } else {
            EXPECT_EQ(run.status, 1);
            EXPECT_EQ(run.err, lost + "Serial port " + link + " did not come back.\n");
            // The 5 s after the adapter went.
            EXPECT_GE(took, 5.0);
            EXPECT_LT(took, 7.0);
        }
    }
}
