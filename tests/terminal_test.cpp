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
const unsigned char ESCAPE = 0x1C;

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

// Waits for the tool to end by itself, 10 s at most: one that does not is
// killed, so that a failing test cannot hang.
ChildResult finish_within(Child *tool)
{
    double deadline = now_seconds() + 10;
    siginfo_t ended = {};
    while (ended.si_pid != tool->pid && now_seconds() < deadline) {
        waitid(P_PID, static_cast<id_t>(tool->pid), &ended, WEXITED | WNOHANG | WNOWAIT);
        if (ended.si_pid != tool->pid)
            usleep(20 * 1000);
    }
    if (ended.si_pid != tool->pid) {
        ADD_FAILURE() << "the tool did not end";
        kill(tool->pid, SIGKILL);
    }
    return finish_child(tool);
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

Session start_session(const std::string &image)
{
    Session s;
    s.board = start_board({});
    std::string device;
    s.master = open_pty(&device);
    s.screen = open(device.c_str(), O_RDWR | O_NOCTTY);
    tcgetattr(s.screen, &s.found);
    s.tool = start_child({DRAMLIFT_EXE, "-t", "-p", s.board.device, image}, {}, s.screen, s.screen);
    s.shown = read_until(s.master, BANNER);
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
        if (value == ESCAPE)
            typed += static_cast<char>(ESCAPE);
    }
    send(s.master, typed);
    std::string echoed = read_until(s.master, all.substr(200));
    EXPECT_EQ(echoed, all);

    // Ctrl-\ and another key send both; Ctrl-\ then c leaves.
    send(s.master, std::string(1, ESCAPE) + "x");
    EXPECT_EQ(read_until(s.master, "x"), std::string(1, ESCAPE) + "x");
    send(s.master, std::string(1, ESCAPE) + "c");
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
        EXPECT_EQ(run.status, 0) << signal;
        EXPECT_EQ(run.err, terminal_notice(s.board.device));
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
    EXPECT_EQ(run.status, 0);
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
