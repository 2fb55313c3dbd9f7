#include "tests/support.h"

#include "xmodem/crc32.h"

#include <arpa/inet.h>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <ftw.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

const std::string USAGE =
    "Usage: dramlift [-b <baud>] [-e] [-h] [-n <tries>] [-p <port>] [-q] [-r <command>]\n"
    "                [-t] [-u] [-w <seconds>] [-x <seconds>] <filename>\n"
    "\n"
    "Version: 1.1, 30 January 2014\n"
    "\n"
    "Downloads and runs a bootloader in the DRAM of a Marvell 88F6281-based unit.\n"
    "\n"
    "  -b <baud>     Boot through a small RAM loader that takes the image at up to\n"
    "                that many baud (115200 to 16000000), the fastest rate the\n"
    "                board's clock makes; back to 115200 where the line cannot.\n"
    "\n"
    "  -e            Force bootloader to erase entire flash as it starts. \n"
    "\n"
    "  -h            Print this usage message.\n"
    "\n"
    "  -n <tries>    Try the whole boot that many times (default 1): after a\n"
    "                transfer that fails, -w running out, or the port going away\n"
    "                (it has 5 s to come back), wake the board anew.\n"
    "\n"
    "  -p <port>     Use the specified serial port (default is \"1\").  Valid\n"
    "                values are 1 (COM1), 2 (COM2), etc.\n"
    "\n"
    "  -q            Show no progress on standard output, for logs.\n"
    "\n"
    "  -r <command>  Reset or power the board with the command, run through the\n"
    "                shell as the wake pattern starts to go out, at every try.\n"
    "                It may run on for 10 s after the boot, beside -t; if it\n"
    "                fails, so does the run, even after a good download.\n"
    "\n"
    "  -t            Stay on the line as a terminal after the download; leave it\n"
    "                with Ctrl-\\ followed by c. Ctrl-\\ then x or y sends a file\n"
    "                by XMODEM-1K or YMODEM; Ctrl-\\ then h lists the keys.\n"
    "\n"
    "  -u            Send a NAND or SPI flash boot image as a UART image: its\n"
    "                block ID and header checksum made so, all else unchanged.\n"
    "\n"
    "  -w <seconds>  Give up when the board has not answered within that many\n"
    "                seconds (default: wait as long as it takes; with -n above 1,\n"
    "                30 s each try).\n"
    "\n"
    "  -x <seconds>  With -t: leave the terminal once nothing has passed either\n"
    "                way for that many seconds.\n"
    "\n"
    "  <port> is a port number (1 is COM1, or /dev/ttyS0 on Linux), COM<n>,\n"
    "  a device path such as /dev/ttyUSB0, or a port on a port server:\n"
    "  rfc2217://HOST:PORT or socket://HOST:PORT.\n"
    "\n";

static int exit_status(int status)
{
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

static void exec_child(const std::vector<std::string> &argv, const std::vector<std::string> &env)
{
    // As from a terminal, whatever the test runner ignores.
    signal(SIGINT, SIG_DFL);
    unsetenv("POSIXLY_CORRECT");
    for (const std::string &entry : env)
        putenv(strdup(entry.c_str()));
    std::vector<char *> args;
    for (const std::string &arg : argv)
        args.push_back(const_cast<char *>(arg.c_str()));
    args.push_back(nullptr);
    execvp(args[0], args.data());
    _exit(127);
}

static std::string contents(FILE *file)
{
    std::string text;
    rewind(file);
    int c;
    while ((c = fgetc(file)) != EOF)
        text += static_cast<char>(c);
    fclose(file);
    return text;
}

// Output goes to files rather than pipes: programs that the child starts and
// leaves running (Wine's services, say) would hold pipes open.
Child start_child(const std::vector<std::string> &argv, const std::vector<std::string> &env,
                  int in_fd, int out_fd)
{
    fflush(stdout);
    fflush(stderr);
    Child child;
    child.out = out_fd < 0 ? tmpfile() : nullptr;
    child.err = tmpfile();
    child.pid = fork();
    if (child.pid == 0) {
        if (in_fd >= 0)
            dup2(in_fd, STDIN_FILENO);
        dup2(out_fd >= 0 ? out_fd : fileno(child.out), STDOUT_FILENO);
        dup2(fileno(child.err), STDERR_FILENO);
        exec_child(argv, env);
    }
    return child;
}

ChildResult finish_child(Child *child)
{
    int status;
    rusage usage;
    wait4(child->pid, &status, 0, &usage);
    ChildResult result{};
    result.status = exit_status(status);
    result.out = child->out != nullptr ? contents(child->out) : "";
    result.err = contents(child->err);
    result.cpu_seconds = usage.ru_utime.tv_sec + usage.ru_stime.tv_sec +
                         (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    result.max_rss_kb = usage.ru_maxrss;
    return result;
}

ChildResult finish_within(Child *child, double seconds)
{
    double deadline = now_seconds() + seconds;
    siginfo_t ended = {};
    while (ended.si_pid != child->pid && now_seconds() < deadline) {
        waitid(P_PID, static_cast<id_t>(child->pid), &ended, WEXITED | WNOHANG | WNOWAIT);
        if (ended.si_pid != child->pid)
            usleep(20 * 1000);
    }
    if (ended.si_pid != child->pid) {
        ADD_FAILURE() << "the program did not end within " << seconds << " s";
        kill(child->pid, SIGKILL);
    }
    return finish_child(child);
}

ChildResult run_child(const std::vector<std::string> &argv, const std::vector<std::string> &env)
{
    Child child = start_child(argv, env);
    return finish_child(&child);
}

Board start_board(const std::vector<std::string> &args)
{
    std::vector<std::string> argv = {DRAMLIFT_BOARD_EXE};
    argv.insert(argv.end(), args.begin(), args.end());
    int out[2];
    if (pipe(out) != 0 || fcntl(out[0], F_SETFD, FD_CLOEXEC) != 0 ||
        fcntl(out[1], F_SETFD, FD_CLOEXEC) != 0)
        abort();
    Board board;
    board.pid = fork();
    if (board.pid == 0) {
        dup2(out[1], STDOUT_FILENO);
        close(out[0]);
        exec_child(argv, {});
    }
    close(out[1]);
    board.out_fd = out[0];
    char c;
    while (read(board.out_fd, &c, 1) == 1 && c != '\n')
        board.device += c;
    return board;
}

ChildResult finish_board(Board *board)
{
    ChildResult result{};
    char buffer[4096];
    ssize_t got;
    while ((got = read(board->out_fd, buffer, sizeof buffer)) > 0)
        result.out.append(buffer, got);
    close(board->out_fd);
    int status;
    waitpid(board->pid, &status, 0);
    result.status = exit_status(status);
    return result;
}

static int saved_out = -1, saved_err = -1;
static FILE *captured_out, *captured_err;

void capture_begin()
{
    fflush(stdout);
    fflush(stderr);
    captured_out = tmpfile();
    captured_err = tmpfile();
    saved_out = dup(STDOUT_FILENO);
    saved_err = dup(STDERR_FILENO);
    dup2(fileno(captured_out), STDOUT_FILENO);
    dup2(fileno(captured_err), STDERR_FILENO);
}

void capture_end(std::string *out, std::string *err)
{
    fflush(stdout);
    fflush(stderr);
    dup2(saved_out, STDOUT_FILENO);
    dup2(saved_err, STDERR_FILENO);
    close(saved_out);
    close(saved_err);
    *out = contents(captured_out);
    *err = contents(captured_err);
}

static std::vector<std::string> scratch_dirs;

static int remove_entry(const char *path, const struct stat *, int, FTW *)
{
    return remove(path);
}

// Run at exit: every scratch directory goes, with what the test left in it.
static void remove_scratch_dirs()
{
    for (const std::string &dir : scratch_dirs)
        nftw(dir.c_str(), remove_entry, 16, FTW_DEPTH | FTW_PHYS);
}

std::string scratch_dir()
{
    char path[] = "/tmp/dramlift-test-XXXXXX";
    if (mkdtemp(path) == nullptr)
        abort();
    if (scratch_dirs.empty())
        atexit(remove_scratch_dirs);
    scratch_dirs.push_back(path);
    return path;
}

std::string write_file(const std::string &path, const std::vector<unsigned char> &bytes)
{
    FILE *file = fopen(path.c_str(), "wb");
    if (file == nullptr ||
        (!bytes.empty() && fwrite(bytes.data(), 1, bytes.size(), file) != bytes.size()))
        abort();
    fclose(file);
    return path;
}

std::vector<unsigned char> read_file(const std::string &path)
{
    std::vector<unsigned char> bytes;
    FILE *file = fopen(path.c_str(), "rb");
    if (file == nullptr)
        return bytes;
    int c;
    while ((c = fgetc(file)) != EOF)
        bytes.push_back(static_cast<unsigned char>(c));
    fclose(file);
    return bytes;
}

std::vector<unsigned char> pattern_bytes(size_t count, unsigned seed)
{
    std::vector<unsigned char> bytes(count);
    unsigned state = seed * 2654435761u + 1;
    for (unsigned char &byte : bytes) {
        state = state * 1103515245u + 12345u;
        byte = static_cast<unsigned char>(state >> 16);
    }
    return bytes;
}

std::vector<unsigned char> with_boot_header(std::vector<unsigned char> bytes, unsigned char id,
                                            uint32_t data_size, int version, bool good,
                                            bool data_good)
{
    std::fill(bytes.begin(), bytes.begin() + 32, 0);
    // The data's last 4 bytes: the sum of its words before them.
    size_t offset = id == 0x78 ? 512 : 32;
    if (data_size >= 4 && offset + data_size <= bytes.size()) {
        uint32_t sum = data_good ? 0 : 1;
        for (size_t i = 0; i < data_size - 4; ++i)
            sum += static_cast<uint32_t>(bytes[offset + i]) << (8 * (i % 4));
        for (int i = 0; i < 4; ++i)
            bytes[offset + data_size - 4 + i] = static_cast<unsigned char>(sum >> (8 * i));
    }
    bytes[0] = id;
    for (int i = 0; i < 4; ++i) {
        bytes[4 + i] = static_cast<unsigned char>(data_size >> (8 * i));
        bytes[16 + i] = bytes[20 + i] = i == 2 ? 0x60 : 0; // load and run at 0x00600000
    }
    bytes[8] = static_cast<unsigned char>(version);
    bytes[10] = version == 1 ? 32 : 0; // a version 1 header's size
    bytes[12] = id == 0x78 ? 1 : 0x20; // SATA counts 512-byte sectors
    for (int i = 0; i < 31; ++i)
        bytes[31] = static_cast<unsigned char>(bytes[31] + bytes[i]);
    bytes[31] = static_cast<unsigned char>(bytes[31] + (good ? 0 : 1));
    return bytes;
}

std::vector<unsigned char> uart_image(std::vector<unsigned char> bytes)
{
    return bytes.size() < 36
               ? bytes
               : with_boot_header(bytes, 0x69, static_cast<uint32_t>(bytes.size() - 32));
}

int open_pty(std::string *device)
{
    int master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0)
        abort();
    *device = ptsname(master);
    return master;
}

bool same_settings(const termios &a, const termios &b)
{
    return a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag && a.c_cflag == b.c_cflag &&
           a.c_lflag == b.c_lflag && cfgetispeed(&a) == cfgetispeed(&b) &&
           cfgetospeed(&a) == cfgetospeed(&b) && memcmp(a.c_cc, b.c_cc, sizeof a.c_cc) == 0;
}

std::string without_listing(const std::string &err)
{
    size_t last = err.rfind('\n', err.size() >= 2 ? err.size() - 2 : 0);
    std::string line = err.substr(last == std::string::npos ? 0 : last + 1);
    bool listing = line == "  No serial ports found here.\n" ||
                   (line.rfind("  Serial ports here: ", 0) == 0 && line.size() > 23 &&
                    line.compare(line.size() - 2, 2, ".\n") == 0);
    return listing ? err.substr(0, err.size() - line.size()) : err;
}

double now_seconds()
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

std::string read_until(int fd, const std::string &wanted, double seconds)
{
    std::string got;
    double deadline = now_seconds() + seconds;
    while (got.find(wanted) == std::string::npos && now_seconds() < deadline) {
        pollfd ready = {fd, POLLIN, 0};
        if (poll(&ready, 1, 100) <= 0)
            continue;
        char buffer[512];
        ssize_t n = read(fd, buffer, sizeof buffer);
        if (n <= 0)
            break;
        got.append(buffer, static_cast<size_t>(n));
    }
    return got;
}

// A loopback TCP port that nothing listens on just now.
int free_port()
{
    int probe = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    if (bind(probe, reinterpret_cast<sockaddr *>(&address), size) != 0 ||
        getsockname(probe, reinterpret_cast<sockaddr *>(&address), &size) != 0)
        abort();
    close(probe);
    return ntohs(address.sin_port);
}

static bool accepts(int port)
{
    int probe = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bool connected = connect(probe, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0;
    close(probe);
    return connected;
}

PortServer start_ser2net(const std::string &device, bool rfc2217)
{
    int port = free_port();
    std::string config = write_file(scratch_dir() + "/ser2net.yaml", {});
    FILE *file = fopen(config.c_str(), "w");
    fprintf(file,
            "connection: &board\n  accepter: %stcp,127.0.0.1,%d\n"
            "  connector: serialdev,%s,%s,local\n  options:\n    chardelay: false\n",
            rfc2217 ? "telnet(rfc2217)," : "", port, device.c_str(),
            rfc2217 ? "9600n81" : "115200n81");
    fclose(file);
    PortServer server;
    server.process = start_child({"ser2net", "-n", "-c", config});
    server.url = (rfc2217 ? "rfc2217://127.0.0.1:" : "socket://127.0.0.1:") + std::to_string(port);
    for (int tenths = 0; tenths < 50 && !accepts(port); ++tenths)
        usleep(100 * 1000);
    return server;
}

void stop_ser2net(PortServer *server)
{
    kill(server->process.pid, SIGTERM);
    finish_child(&server->process);
}

unsigned crc32_of(const std::vector<unsigned char> &bytes)
{
    return crc32_ieee(0, bytes.data(), bytes.size());
}
