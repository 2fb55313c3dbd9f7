// The terminal after the download (-t): the built tool as a child process
// whose standard input and output are a pseudo-terminal (or pipes), the
// board emulator's loader on the line.
#include "tests/support.h"

#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <gtest/gtest.h>
#include <sstream>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

namespace
{

const std::string BANNER = "\r\ndramlift-board loader: the image runs from DRAM.\r\n"
                           "Type 'erase' to erase the flash.\r\n> ";
const unsigned char COMMAND_KEY = 0x1C; // Ctrl-\ : the key after it is for the tool

void send(int fd, const std::string &keys)
{
    ASSERT_EQ(write(fd, keys.data(), keys.size()), static_cast<ssize_t>(keys.size()));
}

// CPU time the process has used so far, in clock ticks.
long cpu_ticks(pid_t pid)
{
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    std::getline(stat, line);
    std::istringstream fields(line.substr(line.rfind(')') + 2));
    std::string field;
    long utime = 0, stime = 0;
    for (int i = 3; i <= 15 && fields >> field; ++i) {
        if (i == 14)
            utime = std::stol(field);
        if (i == 15)
            stime = std::stol(field);
    }
    return utime + stime;
}

// The tool with -t on a terminal of its own, after a download to the board.
struct Session {
    Board board;
    int master;
    int screen; // the tool's end of its terminal, kept by the test to look at it
    termios found;
    Child tool;
    std::string shown; // what the terminal showed up to the loader's prompt
};

Session start_session(const std::string &image, const std::vector<std::string> &board_args = {},
                      const std::string &banner = BANNER)
{
    Session s;
    s.board = start_board(board_args);
    std::string device;
    s.master = open_pty(&device);
    s.screen = open(device.c_str(), O_RDWR | O_NOCTTY);
    tcgetattr(s.screen, &s.found);
    s.tool = start_child({DRAMLIFT_EXE, "-t", "-p", s.board.device, image}, {}, s.screen, s.screen);
    s.shown = read_until(s.master, banner);
    return s;
}

// Ends the session's tool (it has been told how); returns its result and
// checks that it left its terminal exactly as it found it.
ChildResult end_session(Session *s)
{
    ChildResult run = finish_within(&s->tool);
    termios left;
    EXPECT_EQ(tcgetattr(s->screen, &left), 0);
    EXPECT_TRUE(same_settings(left, s->found));
    close(s->screen);
    close(s->master);
    finish_board(&s->board);
    return run;
}

std::string terminal_notice(const std::string &device)
{
    return "Terminal on " + device + "; leave with Ctrl-\\ then c.\n";
}

} // namespace

TEST(Terminal, BannerKeysAndEveryByteValuePassBothWaysUntilTheEscapeKeys)
{
    std::string path = write_file(scratch_dir() + "/boot.bin", uart_image(pattern_bytes(3000, 60)));
    Session s = start_session(path);
    // The banner came right behind the final ACK, whole, after the report.
    EXPECT_NE(s.shown.find("Successfully downloaded '" + path + "'.\r\n" + BANNER),
              std::string::npos)
        << s.shown;

    // Waiting for the board or the keys costs no CPU time to speak of.
    long ticks = cpu_ticks(s.tool.pid);
    usleep(2000 * 1000);
    EXPECT_LE(cpu_ticks(s.tool.pid) - ticks, 2 * sysconf(_SC_CLK_TCK) / 100); // 1 % of 2 s

    // Every byte value goes to the board and comes back in its echo, Ctrl-C
    // and Ctrl-Z among them; Ctrl-\ twice sends one.
    std::string all, typed;
    for (int value = 0; value < 256; ++value) {
        all += static_cast<char>(value);
        typed += static_cast<char>(value);
        if (value == COMMAND_KEY)
            typed += static_cast<char>(COMMAND_KEY);
    }
    send(s.master, typed);
    std::string echoed = read_until(s.master, all.substr(200));
    EXPECT_EQ(echoed, all);

    // Ctrl-\ and a key that means nothing send both; Ctrl-\ then c leaves.
    send(s.master, std::string(1, COMMAND_KEY) + "z");
    EXPECT_EQ(read_until(s.master, "z"), std::string(1, COMMAND_KEY) + "z");
    send(s.master, std::string(1, COMMAND_KEY) + "c");
    ChildResult run = end_session(&s);
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.err, terminal_notice(s.board.device));
}

TEST(Terminal, LeavesTheTerminalAsFoundOnEveryWayOut)
{
    std::string path = write_file(scratch_dir() + "/boot.bin", uart_image(pattern_bytes(500, 61)));
    for (int signal : {SIGTERM, SIGHUP, SIGINT}) {
        Session s = start_session(path);
        ASSERT_NE(s.shown.find(BANNER), std::string::npos);
        kill(s.tool.pid, signal);
        ChildResult run = end_session(&s);
        EXPECT_EQ(run.status, 128 + signal);
        EXPECT_EQ(run.err, terminal_notice(s.board.device));
    }

    // A stop while the loader's request still comes switches nothing.
    Session switching = start_session(
        path,
        {"--then-command", "--", "sh", "-c",
         "printf 'ready> '; head -c 15 >/dev/null; printf '## Switch baudrate to 921600 bps and "
         "press ENTER'; while printf .; do sleep 0.05; done"},
        "ready> ");
    send(switching.master, "loady 0 921600\r");
    usleep(500 * 1000);
    kill(switching.tool.pid, SIGINT);
    ChildResult stopped = end_session(&switching);
    EXPECT_EQ(stopped.status, 128 + SIGINT);
    EXPECT_EQ(stopped.err, terminal_notice(switching.board.device));

    // During a transfer the keys mean what they mean in the terminal: two
    // Ctrl-\ and a c leave nothing. Ctrl-\ then c cancels, the receiver hears
    // CAN CAN CAN, and the keys before go nowhere. A signal does the same,
    // and ends the run as it asks.
    std::string got = scratch_dir() + "/got";
    std::string file = write_file(scratch_dir() + "/fw.bin", pattern_bytes(100000, 64));
    for (int signal : {0, SIGTERM}) {
        SCOPED_TRACE(signal);
        Session upload = start_session(
            path,
            {"--then-command", "--", "sh", "-c",
             "printf 'ready> '; while printf C; do sleep 1; done & exec cat > " + got},
            "ready> ");
        send(upload.master, "\034y" + file + "\r");
        usleep(2500 * 1000); // the receiver has asked, and the first blocks have gone
        send(upload.master, "zz\034\034c");
        usleep(300 * 1000);
        EXPECT_EQ(waitpid(upload.tool.pid, nullptr, WNOHANG), 0);
        if (signal != 0)
            kill(upload.tool.pid, signal);
        else
            send(upload.master, "\034c");
        ChildResult cancelled = end_session(&upload);
        EXPECT_EQ(cancelled.status, signal != 0 ? 128 + signal : 0);
        EXPECT_EQ(cancelled.err.find("Could not send '" + file +
                                     "': the transfer was cancelled from the keyboard.") !=
                      std::string::npos,
                  signal == 0)
            << cancelled.err;
        std::vector<unsigned char> received = read_file(got);
        std::string sent(received.begin(), received.end());
        EXPECT_EQ(sent.substr(sent.size() < 3 ? 0 : sent.size() - 3), "\x18\x18\x18");
        EXPECT_EQ(sent.find("zz"), std::string::npos);
    }

    // The port goes away: the board's end of the line closes.
    Session s = start_session(path);
    ASSERT_NE(s.shown.find(BANNER), std::string::npos);
    kill(s.board.pid, SIGKILL);
    double lost_at = now_seconds();
    ChildResult run = end_session(&s);
    EXPECT_LE(now_seconds() - lost_at, 2.0);
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err,
              terminal_notice(s.board.device) + "Lost serial port " + s.board.device + ".\n");
}

TEST(Terminal, PipedCommandsGoToTheBoardAndItsOutputIsShownUntilASignal)
{
    // dramlift -t boot.bin < commands | tee board.log
    std::string path = write_file(scratch_dir() + "/boot.bin", uart_image(pattern_bytes(500, 62)));
    Board board = start_board({});
    int commands[2], screen[2];
    ASSERT_EQ(pipe(commands), 0);
    ASSERT_EQ(pipe(screen), 0);
    Child tool =
        start_child({DRAMLIFT_EXE, "-t", "-p", board.device, path}, {}, commands[0], screen[1]);
    close(commands[0]);
    close(screen[1]);
    send(commands[1], "erase\r");
    close(commands[1]); // the end of the input does not end the terminal

    std::string shown = read_until(screen[0], "Flash erased.\r\n> ");
    EXPECT_NE(shown.find(BANNER + "erase\r\r\nErasing flash...  25%"), std::string::npos) << shown;
    EXPECT_NE(shown.find("Flash erased.\r\n> "), std::string::npos) << shown;
    usleep(300 * 1000);
    EXPECT_EQ(waitpid(tool.pid, nullptr, WNOHANG), 0); // still showing the board
    kill(tool.pid, SIGTERM);
    ChildResult run = finish_within(&tool);
    close(screen[0]);
    finish_board(&board);
    EXPECT_EQ(run.status, 128 + SIGTERM);
    EXPECT_EQ(run.err, terminal_notice(board.device));

    // With standard output closed, the port must not take its place: the
    // board would get the progress, and with -t its own output back. The
    // escape keys waiting on the input end the terminal as soon as it starts.
    for (const char *terminal : {"-e", "-t"}) {
        board = start_board({});
        run = run_child({"sh", "-c", "printf '\\034c' | exec \"$0\" \"$@\" >&-", DRAMLIFT_EXE,
                         terminal, "-p", board.device, path});
        EXPECT_EQ(run.status, 0) << terminal;
        ChildResult received = finish_board(&board);
        EXPECT_NE(received.out.find("Loader received 0 bytes."), std::string::npos) << received.out;
    }
}

namespace
{

std::string hex8(unsigned value)
{
    char text[9];
    snprintf(text, sizeof text, "%08x", value);
    return text;
}

// dramlift -t -x 2 with the script as its input, against a board started
// with board_args; returns the tool's result, and the board's in *board_run.
ChildResult scripted_session(const std::vector<std::string> &board_args, const std::string &script,
                             ChildResult *board_run)
{
    std::string dir = scratch_dir();
    std::string image = write_file(dir + "/boot.bin", uart_image(pattern_bytes(300, 63)));
    std::string input = write_file(dir + "/script", {script.begin(), script.end()});
    Board board = start_board(board_args);
    int in = open(input.c_str(), O_RDONLY);
    Child tool =
        start_child({DRAMLIFT_EXE, "-q", "-t", "-x", "2", "-p", board.device, image}, {}, in);
    close(in);
    ChildResult run = finish_child(&tool);
    *board_run = finish_board(&board);
    return run;
}

} // namespace

TEST(Terminal, FilesGoFromTheTerminalByXmodemAndYmodem)
{
    // Every byte value, and a tail that needs short blocks.
    std::vector<unsigned char> file;
    for (int i = 0; i < 256 * 41 + 77; ++i)
        file.push_back(static_cast<unsigned char>(i * 7 + i / 256));
    std::string dir = scratch_dir();
    std::string path = write_file(dir + "/every-byte.bin", file);
    std::vector<unsigned char> padded = file;
    padded.resize((file.size() + 127) / 128 * 128, 0x1A);
    const std::string size = std::to_string(file.size());
    const std::string sent = "Sent '" + path + "': " + size + " bytes in ";
    // lrzsz's receivers write where they run; the loader stays until the
    // tool leaves.
    const std::string received = dir + "/received";
    auto in_received = [&](const std::string &receiver) {
        return "mkdir -p " + received + " && cd " + received + " && " + receiver +
               " 2>/dev/null; exec cat";
    };
    char total[64];
    snprintf(total, sizeof total, "## Total Size = 0x%08zx = %zu Bytes", file.size(), file.size());
    // The loader's words after a load command of 15 bytes, "loady 0 921600\r".
    auto after_load_command = [](const std::string &words) {
        return "head -c 15 >/dev/null; printf '" + words + "'";
    };
    const std::string up = "## Switch baudrate to 921600 bps and press ENTER ...";
    // A path whose line end is the last byte of the input's first read.
    const std::string split_path =
        dir + std::string(256 - 11 - dir.size() - 14, '/') + "every-byte.bin";
    const std::string empty = write_file(dir + "/empty.bin", {});

    struct Row {
        const char *what;
        std::vector<std::string> board;
        std::string script;
        std::vector<std::string> err_has, out_has, board_has;
        std::string err_lacks = "";
    };
    const Row rows[] = {
        {"loady with the speed switch there and back",
         {},
         "loady 0 921600\r\034y" + path + "\n",
         {"Line now at 921600 baud.\n", sent, "Line now at 115200 baud.\n"},
         {total, "ESC ...\r\n> \n"},
         {"Loaded " + size + " bytes by YMODEM ('every-byte.bin'), CRC-32 " + hex8(crc32_of(file)) +
          ", at 921600 baud."}},
        {"loadx, the file padded to its last 128-byte block, then the rest of the input",
         {},
         "loadx 0\r\034x" + path + "\r\nerase\r",
         {sent},
         {"Bytes\r\n> erase\r", "Flash erased."},
         {"Loaded " + std::to_string(padded.size()) + " bytes by XMODEM, CRC-32 " +
          hex8(crc32_of(padded)) + ", at 115200 baud."}},
        {"a file that cannot be opened, Escape at the prompt, the keys listed",
         {"--typed", dir + "/typed"},
         "\034y/nonexistent/fw.bin\n\034yabc\177\033zz\r\034h",
         {"Could not send '/nonexistent/fw.bin': No such file or directory.\n",
          "File to send by YMODEM: abc\b \b\n",
          "Keys after Ctrl-\\:\n  c        leave the terminal\n"},
         {"zz\r"},
         {"Loader received 3 bytes."}},
        {"a receiver that cancels after the switch: what it says next is shown and followed",
         {"--then-command", "--", "sh", "-c",
          // Asks again each second, as receivers do: the tool may have shown a
          // first 'C' as the board's text before its keys were read.
          after_load_command(up) +
              "; head -c 1 >/dev/null; (while printf C; do sleep 1; done) & head -c 1000 "
              ">/dev/null; kill $!; printf '\\30\\30## Load aborted.\\r\\n## Switch baudrate "
              "to 115200 bps and press ESC ...'; exec cat"},
         "loady 0 921600\r\034x" + path + "\n",
         {"Line now at 921600 baud.\n",
          "Could not send '" + path + "': the receiver cancelled the transfer.\n",
          "Line now at 115200 baud.\n"},
         {"## Load aborted.\r\n"},
         {"Line now at 115200 baud, after "}},
        {"a speed that no termios constant names",
         {"--then-command", "--", "sh", "-c",
          after_load_command("## Switch baudrate to 250000 bps and press ENTER ...") +
              "; exec cat"},
         "loady 0 250000\rstill here\r",
         {"\nLine now at 250000 baud.\n"},
         {"still here\r"},
         {"Line now at 250000 baud, after "}},
        {"a line left at the loader's speed goes back as it was found",
         {"--then-command", "--", "sh", "-c", after_load_command(up) + "; exec cat"},
         "loady 0 921600\r",
         {"\nLine now at 921600 baud.\n"},
         {},
         {"after 1 bytes from the tool at 921600."}},
        {"the same text amid the loader's other output changes nothing, and says so",
         {"--then-command", "--", "sh", "-c",
          after_load_command("log 1\\r\\n" + up + "\\r\\nlog 2\\r\\n") + "; exec cat"},
         "loady 0 921600\r",
         {"\nThe loader's request to switch to 921600 baud was not followed: more output "
          "followed it.\n"},
         {up + "\r\nlog 2\r\n"},
         {},
         "Line now"},
        {"a path whose line end ends a read",
         {"--typed", dir + "/typed"},
         "loadx 0\r\034x" + split_path + "\r\nerase\r",
         {"Sent '" + split_path + "'"},
         {"Flash erased."},
         {"Loader received 14 bytes."}},
        {"an empty file, at a speed that few adapters take",
         {},
         "loady 0 1500000\r\034y" + empty + "\n",
         {"Sent '" + empty + "': 0 bytes in "},
         {},
         {"Loaded 0 bytes by YMODEM ('empty.bin'), CRC-32 00000000, at 1500000 baud."}},
        {"a loader that hears junk while it asks for the first block",
         {},
         "loadx 0\r" + std::string(100, 'j') + "\034x" + path + "\n",
         {sent},
         {},
         {"Loaded " + std::to_string(padded.size()) + " bytes by XMODEM"}},
        {"lrzsz's rb: the name and the exact size",
         {"--then-command", "--", "sh", "-c", in_received("rb")},
         "\034y" + path + "\n",
         {sent},
         {},
         {}},
        {"lrzsz's rx in checksum mode",
         {"--then-command", "--", "sh", "-c", in_received("rx got.bin")},
         "\034x" + path + "\n",
         {sent},
         {},
         {}},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.what);
        ChildResult board;
        ChildResult run = scripted_session(row.board, row.script, &board);
        EXPECT_EQ(run.status, 0) << run.err;
        for (const std::string &text : row.err_has)
            EXPECT_NE(run.err.find(text), std::string::npos) << run.err;
        for (const std::string &text : row.out_has)
            EXPECT_NE(run.out.find(text), std::string::npos) << run.out;
        for (const std::string &text : row.board_has)
            EXPECT_NE(board.out.find(text), std::string::npos) << board.out;
        if (!row.err_lacks.empty()) {
            EXPECT_EQ(run.err.find(row.err_lacks), std::string::npos) << run.err;
        }
    }
    EXPECT_TRUE(read_file(received + "/every-byte.bin") == file);
    EXPECT_TRUE(read_file(received + "/got.bin") == padded);
}
