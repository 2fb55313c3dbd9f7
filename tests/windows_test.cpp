// The Windows executable under Wine, in a private Wine prefix whose COM
// ports are links to the board emulator's pseudo-terminals.
#include "tests/support.h"

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <tuple>
#include <unistd.h>

namespace
{

std::string prefix;

std::vector<std::string> wine_env()
{
    return {"WINEPREFIX=" + prefix, "WINEDEBUG=-all"};
}

class WinePrefix : public testing::Environment
{
  public:
    void SetUp() override
    {
        prefix = scratch_dir();
        // A server of its own, started first and with its output discarded: a
        // server that a test's wine started would write a dump of its state
        // into that test's stderr, and would hold the test's pipes open.
        ASSERT_EQ(run_child({"sh", "-c",
                             "(wineboot -i && wineserver -w && wineserver -p) >/dev/null 2>&1"},
                            wine_env())
                      .status,
                  0);
        // A new prefix links com1 and on to the machine's own ports: no
        // test may ever reach one.
        ASSERT_EQ(
            run_child({"sh", "-c", "rm -f \"$WINEPREFIX\"/dosdevices/com*"}, wine_env()).status, 0);
        // The ports the registry lists, which the messages name: two of our
        // own, in place of those Wine found on the machine.
        const std::string map = "HKLM\\HARDWARE\\DEVICEMAP\\SERIALCOMM";
        ASSERT_EQ(run_child({"sh", "-c",
                             "wine reg delete '" + map + "' /va /f && wine reg add '" + map +
                                 "' /v Serial11 /d COM12 /f && wine reg add '" + map +
                                 "' /v Serial2 /d COM3 /f"},
                            wine_env())
                      .status,
                  0);
    }
    void TearDown() override
    {
        run_child({"wineserver", "-k"}, wine_env());
        run_child({"rm", "-rf", prefix});
    }
};

const testing::Environment *const wine = testing::AddGlobalTestEnvironment(new WinePrefix);

// The console of a Windows program ends its lines with CR LF.
std::string crlf(const std::string &text)
{
    std::string converted;
    for (char c : text) {
        if (c == '\n')
            converted += '\r';
        converted += c;
    }
    return converted;
}

ChildResult dramlift_exe(const std::vector<std::string> &args,
                         const std::vector<std::string> &env = {})
{
    std::vector<std::string> argv = {"wine", DRAMLIFT_WINDOWS_EXE};
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<std::string> full_env = wine_env();
    full_env.insert(full_env.end(), env.begin(), env.end());
    return run_child(argv, full_env);
}

// Links COM<number> of the prefix to the board's device.
void attach(const Board &board, int number)
{
    std::string link = prefix + "/dosdevices/com" + std::to_string(number);
    unlink(link.c_str());
    ASSERT_EQ(symlink(board.device.c_str(), link.c_str()), 0);
}

// The exit code of a process that Ctrl-C ended; Wine's own status is its
// low byte.
const unsigned STATUS_CONTROL_C_EXIT = 0xC000013A;

// Why a COM port that is not there cannot be opened, as Wine words it, and
// the ports the registry lists.
const std::string NOT_THERE = "  File not found.\n  Serial ports here: COM3, COM12.\n";

const std::string WAITING = "Waiting for the board to wake up...";
const std::string BLANK35 = "\r                                   \r";
const std::string BLANK31 = "\r                               \r";

} // namespace

TEST(Windows, CommandLineFollowsTheSameConventions)
{
    ChildResult help = dramlift_exe({"-h"});
    EXPECT_EQ(help.status, 1);
    EXPECT_EQ(help.err, crlf(USAGE));

    ChildResult version = dramlift_exe({"--version"});
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out, "dramlift 1.1\r\n");

    const std::string listed = "  Serial ports here: COM3, COM12.\n";
    const std::string no_value =
        "  -p takes a port number, COM<n>, a device path, rfc2217:// or socket://.\n" + listed;
    const std::string below_1 = "  Port numbers start at 1.\n" + listed;
    struct Row {
        std::vector<std::string> args;
        std::string name, reason;
    };
    const Row ports[] = {
        {{"-e", "image.bin", "-p", "9"}, "COM9", NOT_THERE},
        {{"-p", "2", "-p", "9", "image.bin"}, "COM9", NOT_THERE},
        {{"-ep9", "image.bin"}, "COM9", NOT_THERE},
        {{"-p", "abc", "image.bin"}, "COM0", no_value},
        {{"-p", "-h", "image.bin"}, "COM0", no_value},
        {{"-p", "-1", "image.bin"}, "COM-1", below_1},
        {{"-p", "COM0", "image.bin"}, "COM0", below_1},
        {{"-p", "COM9", "image.bin"}, "COM9", NOT_THERE},
        {{"-pcom9", "image.bin"}, "COM9", NOT_THERE},
    };
    for (const Row &row : ports) {
        ChildResult run = dramlift_exe(row.args);
        EXPECT_EQ(run.status, 1) << row.name;
        EXPECT_EQ(run.out, "");
        EXPECT_EQ(run.err, crlf("Could not open serial port " + row.name + ".\n" + row.reason));
    }
    for (const std::vector<std::string> &args : std::vector<std::vector<std::string>>{
             {"-x", "image.bin"}, {"image.bin", "-p"}, {"a.bin", "b.bin"}, {}}) {
        ChildResult run = dramlift_exe(args);
        EXPECT_EQ(run.status, 1);
        EXPECT_EQ(run.err, crlf(USAGE));
    }
    EXPECT_EQ(dramlift_exe({"image.bin", "-p", "9"}, {"POSIXLY_CORRECT=1"}).err, crlf(USAGE));
}

TEST(Windows, DownloadsInBothModesThroughComPorts)
{
    // COM10 and above only open through the device namespace.
    for (int port : {3, 12}) {
        for (bool checksum : {false, true}) {
            SCOPED_TRACE("COM" + std::to_string(port) + (checksum ? " checksum" : " CRC"));
            std::string dir = scratch_dir();
            std::vector<unsigned char> bytes = uart_image(pattern_bytes(248, 30 + port));
            write_file(dir + "/boot.bin", bytes);
            std::vector<std::string> board_args = {"-o", dir + "/got.bin"};
            if (checksum)
                board_args.push_back("--checksum");
            Board board = start_board(board_args);
            attach(board, port);
            // The path as typed, in Windows form, comes back in the message.
            std::string path = "Z:" + dir + "/boot.bin";
            ChildResult run = dramlift_exe({"-e", "-p", std::to_string(port), path});
            ChildResult received = finish_board(&board);

            EXPECT_EQ(run.status, 0);
            EXPECT_EQ(run.err, "");
            EXPECT_EQ(run.out, WAITING + BLANK35 +
                                   "Downloading boot code...(  0%)\b\b\b\b\b 50%)\b\b\b\b\b100%)" +
                                   BLANK31 + crlf("Successfully downloaded '" + path + "'.\n"));
            EXPECT_EQ(received.status, 0) << received.out;
            bytes.insert(bytes.end(), {0xA7, 0x3E, 0x37, 0x18, 0x01, 0, 0, 0});
            EXPECT_EQ(read_file(dir + "/got.bin"), bytes);
        }
    }

    // Through the RAM loader (-b): the COM port goes to the loader's rate by
    // the DCB's baud rate. Wine sets a rate that termios names (500000 baud,
    // 200 MHz over 16 times 25) on a pseudo-terminal, but none other.
    std::string dir = scratch_dir();
    std::vector<unsigned char> bytes = uart_image(pattern_bytes(30000, 35));
    write_file(dir + "/boot.bin", bytes);
    bytes.insert(bytes.end(), {0xA7, 0x3E, 0x37, 0x18, 0, 0, 0, 0});
    Board board = start_board({"--expect", write_file(dir + "/expect.bin", bytes)});
    attach(board, 3);
    ChildResult run = dramlift_exe({"-q", "-b", "500000", "-p", "3", "Z:" + dir + "/boot.bin"});
    ChildResult received = finish_board(&board);
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.out.find(crlf("The RAM loader runs; the image goes at 500000 baud.\n")),
              std::string::npos)
        << run.out;
    EXPECT_EQ(received.status, 0) << received.out;
    EXPECT_NE(received.out.find("holds the image and its trailer"), std::string::npos);
}

TEST(Windows, DownloadsThroughAPortServer)
{
    if (run_child({"sh", "-c", "command -v ser2net"}).status != 0)
        GTEST_SKIP() << "ser2net is not installed";
    std::string dir = scratch_dir();
    std::vector<unsigned char> bytes = pattern_bytes(3000, 44);
    std::fill(bytes.begin() + 128, bytes.begin() + 256, 0xFF);
    bytes = uart_image(bytes);
    std::string path = "Z:" + write_file(dir + "/boot.bin", bytes);
    Board board = start_board({"-o", dir + "/got.bin"});
    PortServer server = start_ser2net(board.device, true);
    ChildResult run = dramlift_exe({"-p", server.url, path});
    stop_ser2net(&server);
    ChildResult received = finish_board(&board);
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(received.status, 0) << received.out;
    bytes.insert(bytes.end(), {0xA7, 0x3E, 0x37, 0x18, 0, 0, 0, 0});
    EXPECT_TRUE(read_file(dir + "/got.bin") == bytes);
}

TEST(Windows, ResetCommandRunsThroughCmdAtEveryTry)
{
    // A board that the command switches on, and that cancels its first
    // download.
    std::string dir = scratch_dir();
    std::string path = "Z:" + write_file(dir + "/boot.bin", uart_image(pattern_bytes(1000, 45)));
    std::string power = "Z:" + dir + "/power";
    std::replace(power.begin(), power.end(), '/', '\\');
    Board board = start_board({"--power-file", dir + "/power", "--fail-first", "1"});
    attach(board, 4);
    ChildResult run = dramlift_exe(
        {"-q", "-n", "2", "-w", "5", "-r",
         "echo try %DRAMLIFT_TRY% on %DRAMLIFT_PORT% & echo on> " + power, "-p", "4", path});
    finish_board(&board);
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.err.find(crlf("try 1 on COM4 \n")), std::string::npos) << run.err;
    EXPECT_NE(run.err.find(crlf("try 2 on COM4 \n")), std::string::npos) << run.err;
    EXPECT_NE(run.out.find(crlf("Trying again (2 of 2).\n")), std::string::npos);
}

TEST(Windows, TransferFailuresEndWithStatusOne)
{
    std::string path = write_file(scratch_dir() + "/boot.bin", uart_image(pattern_bytes(2000, 40)));
    for (const auto &[fault, code, meaning] :
         std::vector<std::tuple<std::string, int, std::string>>{
             {"--nak-eot", -5, "The end of the transfer was not acknowledged."},
             {"--cancel-at", -1, "The board cancelled the transfer."}}) {
        std::vector<std::string> board_args = {fault};
        if (code == -1)
            board_args.push_back("1");
        Board board = start_board(board_args);
        attach(board, 4);
        ChildResult run = dramlift_exe({"-p", "4", path});
        finish_board(&board);
        EXPECT_EQ(run.status, 1) << fault;
        EXPECT_EQ(run.err, crlf("Xmodem download failed: " + std::to_string(code) + ".\n  " +
                                meaning + "\n"));
    }

    // The board goes mid-transfer, its end of the line with it.
    Board board = start_board({"--vanish-at", "5"});
    attach(board, 4);
    ChildResult lost = dramlift_exe({"-p", "4", path});
    finish_board(&board);
    EXPECT_EQ(lost.status, 1);
    EXPECT_EQ(lost.err, crlf("Lost serial port COM4.\n"));

    // Ctrl-C mid-transfer (Wine passes SIGINT on as one), and while the
    // tool waits in a COM read for the answer to its EOT: the board hears
    // the cancel, and the process ends as one that Ctrl-C ended. So it does
    // while the tool waits for a board whose text never stops.
    std::string big =
        "Z:" + write_file(scratch_dir() + "/big.bin", uart_image(pattern_bytes(60000, 42)));
    for (const char *phase : {"--paced", "--ignore-eot", "--chatter"}) {
        SCOPED_TRACE(phase);
        bool transferring = std::string(phase) != "--chatter";
        board = start_board({phase});
        attach(board, 4);
        Child tool = start_child({"wine", DRAMLIFT_WINDOWS_EXE, "-p", "4", big}, wine_env());
        usleep(3000 * 1000);
        double interrupted = now_seconds();
        kill(tool.pid, SIGINT);
        ChildResult stopped = finish_within(&tool, 5);
        EXPECT_LE(now_seconds() - interrupted, 1.0);
        EXPECT_EQ(stopped.status, static_cast<int>(STATUS_CONTROL_C_EXIT & 0xFF));
        const std::string ends = transferring ? "%)\r\n" : "...\r\n";
        ASSERT_GE(stopped.out.size(), ends.size());
        EXPECT_EQ(stopped.out.substr(stopped.out.size() - ends.size()), ends);
        EXPECT_EQ(stopped.err, "");
        EXPECT_EQ(finish_board(&board).out.find("Transfer incomplete: the sender cancelled.") !=
                      std::string::npos,
                  transferring);
    }

    // A port whose line cannot be set up: here, one that is no terminal.
    std::string link = prefix + "/dosdevices/com7";
    ASSERT_EQ(symlink("/dev/null", link.c_str()), 0);
    ChildResult unconfigurable = dramlift_exe({"-p", "7", path});
    EXPECT_EQ(unconfigurable.status, 1);
    EXPECT_EQ(unconfigurable.out, "");
    EXPECT_EQ(unconfigurable.err,
              crlf("Could not configure serial port COM7.\n  Invalid handle.\n  Serial ports here: "
                   "COM3, COM12.\n"));
}

TEST(Windows, TerminalTakesPipedKeysUntilTheEscapeKeysOrEndsByCtrlC)
{
    std::string path =
        "Z:" + write_file(scratch_dir() + "/boot.bin", uart_image(pattern_bytes(700, 41)));
    const std::string erased = "Flash erased.\r\n> ";
    for (bool escape : {true, false}) {
        SCOPED_TRACE(escape ? "leaving by the escape keys" : "leaving by Ctrl-C");
        Board board = start_board({});
        attach(board, 4);
        int keys[2], screen[2];
        ASSERT_EQ(pipe(keys), 0);
        ASSERT_EQ(pipe(screen), 0);
        Child tool = start_child({"wine", DRAMLIFT_WINDOWS_EXE, "-t", "-p", "4", path}, wine_env(),
                                 keys[0], screen[1]);
        close(keys[0]);
        close(screen[1]);
        ASSERT_EQ(write(keys[1], "erase\r", 6), 6);
        if (!escape)
            close(keys[1]); // the end of the keys does not end the terminal
        std::string shown = read_until(screen[0], erased, 30);
        EXPECT_NE(shown.find("\r\n> erase\r\r\nErasing flash...  25%"), std::string::npos) << shown;
        if (escape) {
            ASSERT_EQ(write(keys[1],
                            "\x1c"
                            "c",
                            2),
                      2);
            close(keys[1]);
        } else {
            usleep(300 * 1000);
            kill(tool.pid, SIGINT); // Wine passes it on as Ctrl-C to the console
        }
        ChildResult run = finish_child(&tool);
        close(screen[0]);
        finish_board(&board);
        EXPECT_EQ(run.status, escape ? 0 : static_cast<int>(STATUS_CONTROL_C_EXIT & 0xFF));
        EXPECT_EQ(run.err, crlf("Terminal on COM4; leave with Ctrl-\\ then c.\n"));
    }
}

TEST(Windows, ConsoleKeysReachTheBoardAsAVtTerminalSendsThem)
{
    // Wine gives a program whose terminal is a pty a real console: the keys
    // typed there reach it as key events, the arrows and the like with no
    // character. Wine's console cannot deliver Ctrl-\ as a key from a pty,
    // so the board going away ends the terminal.
    std::string dir = scratch_dir();
    std::string path = "Z:" + write_file(dir + "/boot.bin", uart_image(pattern_bytes(500, 43)));
    Board board = start_board({"--typed", dir + "/typed.bin"});
    attach(board, 4);
    std::string device;
    int master = open_pty(&device);
    int terminal = open(device.c_str(), O_RDWR | O_NOCTTY);
    Child tool = start_child({"wine", DRAMLIFT_WINDOWS_EXE, "-t", "-p", "4", path}, wine_env(),
                             terminal, terminal);
    close(terminal);
    // Wine draws the console anew, so the board's banner is not found as
    // text there: the board tells when the download is done.
    ASSERT_NE(read_until(board.out_fd, "Boot trailer", 30).find("Boot trailer"), std::string::npos);
    usleep(1000 * 1000);
    const std::vector<std::string> keys = {"ab",       "\x1b[A", "\x1b[B", "\x1b[C",
                                           "\x1b[D",   "\x1b[H", "\x1b[F", "\x1b[3~",
                                           "\x1b[15~", "\x1b",   "\x7f",   "\x1bx"};
    std::string expected;
    for (const std::string &key : keys) {
        ASSERT_EQ(write(master, key.data(), key.size()), static_cast<ssize_t>(key.size()));
        expected += key;
        usleep(300 * 1000); // a lone ESC is told from a sequence by the pause after it
    }
    std::vector<unsigned char> typed;
    for (int tenths = 0; tenths < 100 && typed.size() < expected.size(); ++tenths) {
        usleep(100 * 1000);
        typed = read_file(dir + "/typed.bin");
    }
    usleep(300 * 1000); // nothing more follows
    typed = read_file(dir + "/typed.bin");
    EXPECT_EQ(std::string(typed.begin(), typed.end()), expected);

    kill(board.pid, SIGKILL);
    ChildResult run = finish_child(&tool);
    close(master);
    finish_board(&board);
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("Lost serial port COM4."), std::string::npos) << run.err;
}

TEST(Windows, TerminalSendsAFileAtTheSpeedTheLoaderAsks)
{
    std::string dir = scratch_dir();
    std::string path = "Z:" + write_file(dir + "/boot.bin", uart_image(pattern_bytes(300, 42)));
    std::string file = "Z:" + write_file(dir + "/fw.bin", pattern_bytes(5000, 43));
    std::string script = "loady 0 921600\r\034y" + file + "\n";
    int keys = open(write_file(dir + "/keys", {script.begin(), script.end()}).c_str(), O_RDONLY);
    Board board = start_board({});
    attach(board, 4);
    Child tool = start_child({"wine", DRAMLIFT_WINDOWS_EXE, "-q", "-t", "-x", "3", "-p", "4", path},
                             wine_env(), keys);
    close(keys);
    ChildResult run = finish_child(&tool);
    ChildResult loader = finish_board(&board);
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.err.find(crlf("Line now at 921600 baud.\n")), std::string::npos) << run.err;
    EXPECT_NE(run.err.find("Sent '" + file + "': 5000 bytes in "), std::string::npos) << run.err;
    EXPECT_NE(loader.out.find("Loaded 5000 bytes by YMODEM ('fw.bin')"), std::string::npos)
        << loader.out;
    EXPECT_NE(loader.out.find("at 921600 baud."), std::string::npos) << loader.out;
}
