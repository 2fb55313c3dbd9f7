// Ports on a port server: the built tool against Debian's ser2net, which
// serves the board emulator's pty on 127.0.0.1 by RFC 2217 or as raw TCP.
#include "console/console.h"
#include "serial/serial.h"
#include "serial/telnet.h"
#include "tests/support.h"

#include <arpa/inet.h>
#include <csignal>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

namespace
{

bool have_ser2net()
{
    return run_child({"sh", "-c", "command -v ser2net"}).status == 0;
}

// An image with plenty of 0xFF bytes, which Telnet doubles, and a block
// that is nothing else.
std::vector<unsigned char> image_with_iac(size_t size)
{
    std::vector<unsigned char> bytes = pattern_bytes(size, 70);
    for (size_t i = 0; i < size; i += 7)
        bytes[i] = 0xFF;
    std::fill(bytes.begin() + 256, bytes.begin() + 384, 0xFF);
    return uart_image(bytes);
}

speed_t speed_of(int fd)
{
    termios line;
    tcgetattr(fd, &line);
    return cfgetospeed(&line);
}

bool is_8n1(int fd)
{
    termios line;
    tcgetattr(fd, &line);
    return (line.c_cflag & (CSIZE | PARENB | CSTOPB)) == CS8;
}

// An RFC 2217 server of the test's own, on a thread, for what ser2net never
// does: it records every Com Port Control command it gets, and answers as
// its mode says.
enum MockMode {
    MOCK_SILENT,         // accepts, then never says a word
    MOCK_SETTINGS_ONLY,  // answers the options and the questions at open, then nothing
    MOCK_REFUSES_BINARY, // answers WONT and DONT BINARY
    MOCK_ANSWERS,        // agrees, and confirms every command
    MOCK_FLOODS,         // the same, then sends notifications without end
    MOCK_HALF_SPEED,     // agrees, but sets half the baud rate asked for above 115200
    MOCK_RAW_CHATTER,    // no Telnet at all: a board's text without end, for socket://
};

// Com Port Control commands and their values.
typedef std::vector<std::pair<int, uint32_t>> Commands;

struct MockServer {
    int listener;
    std::string url;
    std::thread thread;
    Commands commands; // read once the thread has ended
};

// The server's answer to a Com Port Control command: the command plus 100
// and the value, 4 bytes for the baud rate.
std::string confirmation(int command, uint32_t value)
{
    const unsigned char bytes[4] = {
        static_cast<unsigned char>(value >> 24), static_cast<unsigned char>(value >> 16),
        static_cast<unsigned char>(value >> 8), static_cast<unsigned char>(value)};
    return std::string("\xFF\xFA\x2C", 3) + static_cast<char>(command + 100) +
           (command == 1 ? telnet_escape(bytes, 4) : telnet_escape(bytes + 3, 1)) + "\xFF\xF0";
}

// A raw port whose board never stops talking: what comes in goes nowhere.
void chatter(int connection)
{
    const std::string line = "[  12.345678] eth0: link up\r\n";
    for (;;) {
        pollfd ready = {connection, POLLIN | POLLOUT, 0};
        poll(&ready, 1, -1);
        unsigned char buffer[4096];
        if ((ready.revents & POLLIN) != 0 && recv(connection, buffer, sizeof buffer, 0) <= 0)
            return;
        if ((ready.revents & POLLOUT) != 0 &&
            send(connection, line.data(), line.size(), MSG_NOSIGNAL) < 0)
            return;
    }
}

void serve(MockServer *server, MockMode mode)
{
    int connection = accept(server->listener, nullptr, nullptr);
    if (mode == MOCK_RAW_CHATTER) {
        chatter(connection);
        close(connection);
        return;
    }
    // The settings in force before the tool comes: 9600 7E2.
    uint32_t settings[13] = {0, 9600, 7, 3, 2, 1};
    std::vector<unsigned char> stream;
    unsigned char buffer[4096];
    bool flooding = false;
    for (;;) {
        pollfd ready = {connection, POLLIN, 0};
        if (flooding && poll(&ready, 1, 0) == 0) {
            const unsigned char notices[] = {0xFF, 0xFA, 44, 107, 0x30, 0xFF, 0xF0,
                                             0xFF, 0xFA, 44, 106, 0x30, 0xFF, 0xF0};
            if (send(connection, notices, sizeof notices, MSG_NOSIGNAL) < 0)
                break;
            continue;
        }
        ssize_t got = recv(connection, buffer, sizeof buffer, 0);
        if (got <= 0)
            break;
        stream.insert(stream.end(), buffer, buffer + got);
        std::string answer;
        size_t used = 0;
        // Whole commands only: IAC verb option, or IAC SB 44 command value IAC SE.
        while (used < stream.size()) {
            size_t left = stream.size() - used;
            const unsigned char *at = stream.data() + used;
            if (at[0] != 0xFF) {
                ++used;
            } else if (left >= 3 && at[1] >= 0xFB) {
                bool refuse = mode == MOCK_REFUSES_BINARY && at[2] == 0;
                unsigned char verb = at[1] == 0xFB   ? (refuse ? 0xFE : 0xFD)
                                     : at[1] == 0xFD ? (refuse ? 0xFC : 0xFB)
                                                     : 0;
                if (verb != 0 && mode != MOCK_SILENT)
                    answer += {'\xFF', static_cast<char>(verb), static_cast<char>(at[2])};
                used += 3;
            } else if (left >= 2 && at[1] == 0xFA) {
                size_t end = used + 2;
                std::vector<unsigned char> body;
                while (end + 1 < stream.size() &&
                       !(stream[end] == 0xFF && stream[end + 1] == 0xF0)) {
                    body.push_back(stream[end]);
                    end += stream[end] == 0xFF ? 2 : 1;
                }
                if (end + 1 >= stream.size())
                    break;
                used = end + 2;
                uint32_t value = 0;
                for (size_t i = 2; i < body.size(); ++i)
                    value = value << 8 | body[i];
                int command = body[1];
                server->commands.emplace_back(command, value);
                bool asked = value == 0 && command != 12;
                if (mode == MOCK_HALF_SPEED && command == 1 && value > 115200)
                    value /= 2;
                if (!asked)
                    settings[command] = value;
                bool at_open = server->commands.size() <= 5;
                if (mode == MOCK_ANSWERS || mode == MOCK_FLOODS || mode == MOCK_HALF_SPEED ||
                    (mode == MOCK_SETTINGS_ONLY && at_open))
                    answer += confirmation(command, settings[command]);
                flooding = mode == MOCK_FLOODS && command == 1 && asked && !at_open;
            } else if (left >= 2) {
                used += 2;
            } else {
                break;
            }
        }
        stream.erase(stream.begin(), stream.begin() + used);
        send(connection, answer.data(), answer.size(), MSG_NOSIGNAL);
    }
    close(connection);
}

MockServer *start_mock(MockMode mode)
{
    MockServer *server = new MockServer;
    server->listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    bind(server->listener, reinterpret_cast<sockaddr *>(&address), size);
    getsockname(server->listener, reinterpret_cast<sockaddr *>(&address), &size);
    listen(server->listener, 1);
    server->url = std::string(mode == MOCK_RAW_CHATTER ? "socket" : "rfc2217") +
                  "://127.0.0.1:" + std::to_string(ntohs(address.sin_port));
    server->thread = std::thread(serve, server, mode);
    return server;
}

// Waits for the tool to have left, and returns what it sent.
Commands finish_mock(MockServer *server)
{
    server->thread.join();
    close(server->listener);
    Commands commands = server->commands;
    delete server;
    return commands;
}

} // namespace

TEST(NetworkPorts, ImagesArriveIntactAndTheServersLineIsPutBack)
{
    if (!have_ser2net())
        GTEST_SKIP() << "ser2net is not installed";
    for (bool rfc2217 : {true, false}) {
        SCOPED_TRACE(rfc2217 ? "rfc2217://" : "socket://");
        std::string dir = scratch_dir();
        std::vector<unsigned char> bytes = image_with_iac(40000);
        std::string path = write_file(dir + "/boot.bin", bytes);
        Board board = start_board({"--paced", "-o", dir + "/got.bin"});
        int watcher = open(board.device.c_str(), O_RDWR | O_NOCTTY);
        termios line;
        ASSERT_EQ(tcgetattr(watcher, &line), 0);
        cfsetspeed(&line, B9600);
        ASSERT_EQ(tcsetattr(watcher, TCSANOW, &line), 0);
        PortServer server = start_ser2net(board.device, rfc2217);

        Child tool = start_child({DRAMLIFT_EXE, "-p", server.url, path});
        usleep(1500 * 1000);
        if (rfc2217) {
            EXPECT_EQ(speed_of(watcher), B115200);
            EXPECT_TRUE(is_8n1(watcher));
        }
        ChildResult run = finish_child(&tool);
        EXPECT_EQ(run.status, 0) << run.err;
        EXPECT_EQ(run.err, "");
        EXPECT_NE(run.out.find("Successfully downloaded"), std::string::npos);
        usleep(300 * 1000);
        EXPECT_EQ(speed_of(watcher), B9600);
        stop_ser2net(&server);
        close(watcher);
        finish_board(&board);
        bytes.insert(bytes.end(), {0xA7, 0x3E, 0x37, 0x18, 0, 0, 0, 0});
        EXPECT_TRUE(read_file(dir + "/got.bin") == bytes);

        // Through the RAM loader (-b): RFC 2217 sets the server's port to the
        // new rate; a raw port cannot, which is said, and the image goes
        // through the loader at 115200 baud.
        std::string expect = write_file(dir + "/expect.bin", bytes);
        Board fast = start_board({"--expect", expect});
        server = start_ser2net(fast.device, rfc2217);
        run = run_child({DRAMLIFT_EXE, "-q", "-b", "1250000", "-p", server.url, path});
        stop_ser2net(&server);
        ChildResult held = finish_board(&fast);
        EXPECT_EQ(run.status, 0) << run.err;
        EXPECT_NE(run.out.find(rfc2217 ? "goes at 1250000 baud." : "goes at 115200 baud."),
                  std::string::npos)
            << run.out;
        EXPECT_EQ(run.err, rfc2217 ? ""
                                   : "Could not switch the line to 1250000 baud: A socket:// port "
                                     "carries bytes only: set the speed on the server. The image "
                                     "goes through the loader at 115200 baud.\n");
        EXPECT_NE(held.out.find("holds the image and its trailer"), std::string::npos) << held.out;
        EXPECT_EQ(held.status, 0) << held.out;
    }
}

TEST(NetworkPorts, AddressesThatCannotBeReachedFailAtOnceWithTheReason)
{
    std::string closed = "rfc2217://127.0.0.1:" + std::to_string(free_port());
    const std::vector<std::pair<std::string, std::string>> cases = {
        {closed, "Connection refused."},
        {"socket://127.0.0.1:0", "It is not a HOST:PORT address."},
        {"socket://127.0.0.1:65536", "It is not a HOST:PORT address."},
        {"rfc2217://127.0.0.1", "It is not a HOST:PORT address."},
        {"rfc2217://:2217", "It is not a HOST:PORT address."},
        {"socket://[::1:2217", "It is not a HOST:PORT address."},
        {"socket://::1:2217", "It is not a HOST:PORT address."},
        {"socket://127.0.0.1:22x", "It is not a HOST:PORT address."},
    };
    for (const auto &[url, reason] : cases) {
        double started = now_seconds();
        ChildResult run = run_child({DRAMLIFT_EXE, "-p", url, "boot.bin"});
        EXPECT_LT(now_seconds() - started, 1.0) << url;
        EXPECT_EQ(run.status, 1) << url;
        EXPECT_EQ(run.out, "");
        EXPECT_EQ(run.err, "Could not open serial port " + url + ".\n  " + reason + "\n");
    }
}

TEST(NetworkPorts, TerminalPassesEveryByteAndALostServerEndsTheRun)
{
    if (!have_ser2net())
        GTEST_SKIP() << "ser2net is not installed";
    // dramlift -t across the network, keys from a pipe: every byte value
    // reaches the board and comes back in its echo.
    std::string path = write_file(scratch_dir() + "/boot.bin", uart_image(pattern_bytes(500, 71)));
    Board board = start_board({});
    PortServer server = start_ser2net(board.device, true);
    int keys[2], screen[2];
    ASSERT_EQ(pipe(keys), 0);
    ASSERT_EQ(pipe(screen), 0);
    Child tool = start_child({DRAMLIFT_EXE, "-t", "-p", server.url, path}, {}, keys[0], screen[1]);
    close(keys[0]);
    close(screen[1]);
    ASSERT_NE(read_until(screen[0], "flash.\r\n> ").find("> "), std::string::npos);
    std::string all, typed;
    for (int value = 0; value < 256; ++value) {
        all += static_cast<char>(value);
        typed += std::string(value == 0x1C ? 2 : 1, static_cast<char>(value));
    }
    ASSERT_EQ(write(keys[1], typed.data(), typed.size()), static_cast<ssize_t>(typed.size()));
    EXPECT_EQ(read_until(screen[0], all.substr(200)), all);

    // A second client is turned away, and told why.
    ChildResult second = run_child({DRAMLIFT_EXE, "-p", server.url, path});
    EXPECT_EQ(second.status, 1);
    EXPECT_EQ(second.err, "Could not open serial port " + server.url +
                              ".\n  The server closed the connection: \"Port already in use\".\n");

    // The server goes away: the terminal ends at once, the port lost.
    kill(server.process.pid, SIGKILL);
    double lost_at = now_seconds();
    ChildResult run = finish_child(&tool);
    EXPECT_LE(now_seconds() - lost_at, 2.0);
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, "Terminal on " + server.url +
                           "; leave with Ctrl-\\ then c.\nLost serial port " + server.url + ".\n");
    finish_child(&server.process);
    close(keys[1]);
    close(screen[0]);
    finish_board(&board);

    // Mid-transfer, likewise.
    board = start_board({"--paced"});
    server = start_ser2net(board.device, false);
    std::string big = write_file(scratch_dir() + "/big.bin", uart_image(pattern_bytes(40000, 72)));
    tool = start_child({DRAMLIFT_EXE, "-p", server.url, big});
    usleep(1000 * 1000);
    kill(server.process.pid, SIGKILL);
    lost_at = now_seconds();
    run = finish_child(&tool);
    EXPECT_LE(now_seconds() - lost_at, 2.0);
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, "Lost serial port " + server.url + ".\n");
    finish_child(&server.process);
    finish_board(&board);
}

TEST(NetworkPorts, TheLoadersSpeedSwitchGoesToTheServerAsItsBaudRate)
{
    if (!have_ser2net())
        GTEST_SKIP() << "ser2net is not installed";
    // The file goes by YMODEM through an RFC 2217 server at the speed that
    // the emulator's loader asks for; a socket:// port cannot follow.
    std::string dir = scratch_dir();
    std::string image = write_file(dir + "/boot.bin", uart_image(pattern_bytes(300, 73)));
    std::string file = write_file(dir + "/fw.bin", pattern_bytes(3000, 74));
    const std::string request = "## Switch baudrate to 921600 bps and press ENTER ...";
    for (bool rfc2217 : {true, false}) {
        SCOPED_TRACE(rfc2217 ? "rfc2217://" : "socket://");
        std::string script = "loady 0 921600\r" + (rfc2217 ? "\034y" + file + "\n" : "");
        int keys =
            open(write_file(dir + "/keys", {script.begin(), script.end()}).c_str(), O_RDONLY);
        Board board =
            rfc2217 ? start_board({})
                    : start_board({"--then-command", "--", "sh", "-c",
                                   "head -c 15 >/dev/null; printf '" + request + "'; exec cat"});
        PortServer server = start_ser2net(board.device, rfc2217);
        Child tool =
            start_child({DRAMLIFT_EXE, "-q", "-t", "-x", "2", "-p", server.url, image}, {}, keys);
        close(keys);
        ChildResult run = finish_child(&tool);
        stop_ser2net(&server);
        ChildResult loader = finish_board(&board);
        EXPECT_EQ(run.status, 0) << run.err;
        if (rfc2217) {
            EXPECT_NE(run.err.find("Line now at 921600 baud.\n"), std::string::npos) << run.err;
            EXPECT_NE(run.err.find("Line now at 115200 baud.\n"), std::string::npos) << run.err;
            EXPECT_NE(loader.out.find("Loaded 3000 bytes by YMODEM ('fw.bin')"), std::string::npos)
                << loader.out;
            EXPECT_NE(loader.out.find("at 921600 baud."), std::string::npos) << loader.out;
        } else {
            EXPECT_NE(run.err.find("\nCould not switch the line to 921600 baud: A socket:// port "
                                   "carries bytes only: set the speed on the server.\n"),
                      std::string::npos)
                << run.err;
        }
    }
}

TEST(NetworkPorts, TelnetStreamSplitAnywhereGivesTheDataAlone)
{
    typedef std::vector<unsigned char> Bytes;
    const Bytes agree = {0xFF, 0xFD, 0, 0xFF, 0xFB, 0}; // DO and WILL BINARY
    struct Row {
        const char *what;
        Bytes stream;
        std::string data, answers;
        std::vector<std::pair<int, uint32_t>> confirmed;
        int binary;
    };
    Bytes too_long = {0xFF, 0xFA, 44, 107};
    too_long.insert(too_long.end(), TELNET_SUBNEGOTIATION_MAX + 40, 0x06);
    too_long.insert(too_long.end(), {0xFF, 0xF0, 'd'});
    Bytes flood = agree;
    for (uint32_t i = 0; i < 100; ++i)
        flood.insert(flood.end(), {0xFF, 0xFA, 44, 103, static_cast<unsigned char>(i), 0xFF, 0xF0});
    std::vector<std::pair<int, uint32_t>> newest;
    for (uint32_t i = 100 - TELNET_CONFIRMATIONS_MAX; i < 100; ++i)
        newest.emplace_back(3, i);
    const Row rows[] = {
        // Options the tool does not know (ECHO) are refused, a modem state
        // notification is dropped, the confirmations are kept, 0xFF doubled
        // is one data byte, in data and in a value.
        {"mixed",
         {0xFF, 0xFB, 0x01, 'a',  'b', 0xFF, 0xFF, 'c',  0xFF, 0xFA, 44,   107,  0x30, 0xFF,
          0xF0, 0xFF, 0xFA, 44,   101, 0x00, 0x01, 0xC2, 0x00, 0xFF, 0xF0, 0xFF, 0xFD, 44,
          0xFF, 0xF1, 0xFF, 0xFA, 44,  101,  0x00, 0x00, 0xFF, 0xFF, 0x00, 0xFF, 0xF0, 'd'},
         "ab\xFF"
         "cd",
         "\xFF\xFE\x01",
         {{1, 115200}, {1, 0xFF00}},
         0},
        // A subnegotiation longer than the decoder keeps is none of the
        // data, however long: its ACK bytes would answer a block.
        {"longer than kept", too_long, "d", "", {}, 0},
        // IAC and a command inside a subnegotiation end it.
        {"IAC in SB", {0xFF, 0xFA, 44, 101, 0xFF, 0xF1, 'x', 'y'}, "xy", "", {}, 0},
        // The server agrees to BINARY; asked again, it is not answered again.
        {"agreed", {0xFF, 0xFD, 0, 0xFF, 0xFB, 0, 0xFF, 0xFB, 0, 0xFF, 0xFD, 0}, "", "", {}, 1},
        // Refused either way; a refusal of what is already off is not answered.
        {"WONT BINARY", {0xFF, 0xFD, 0, 0xFF, 0xFC, 0, 0xFF, 0xFC, 0}, "", "", {}, -1},
        {"DONT BINARY", {0xFF, 0xFE, 0, 0xFF, 0xFB, 0}, "", "", {}, -1},
        // Agreed, then withdrawn: the tool says so once.
        {"withdrawn", {0xFF, 0xFD, 3, 0xFF, 0xFE, 3, 0xFF, 0xFE, 3}, "", "\xFF\xFC\x03", {}, 0},
        // A flood of confirmations keeps only the newest.
        {"flood", flood, "", "", newest, 1},
    };
    for (const Row &row : rows) {
        for (size_t split = 0; split <= row.stream.size(); ++split) {
            SCOPED_TRACE(std::string(row.what) + " split at " + std::to_string(split));
            TelnetSession session;
            telnet_start(&session);
            std::string data, answers;
            for (const auto &[from, to] :
                 {std::pair<size_t, size_t>{0, split}, {split, row.stream.size()}}) {
                Bytes piece(row.stream.begin() + from, row.stream.begin() + to);
                int got =
                    telnet_take(&session, piece.data(), static_cast<int>(piece.size()), &answers);
                data.append(piece.begin(), piece.begin() + got);
            }
            EXPECT_EQ(data, row.data);
            EXPECT_EQ(answers, row.answers);
            EXPECT_EQ(telnet_binary_agreed(&session), row.binary);
            int command;
            uint32_t value;
            std::vector<std::pair<int, uint32_t>> confirmed;
            while (telnet_next_confirmation(&session, &command, &value))
                confirmed.emplace_back(command, value);
            EXPECT_EQ(confirmed, row.confirmed);
        }
    }
    // And the other way: data escaped, a value holding 0xFF escaped too.
    const unsigned char out[] = {0x00, 0xFF, 0x7F};
    EXPECT_EQ(telnet_escape(out, 3), std::string("\x00\xFF\xFF\x7F", 4));
    EXPECT_EQ(telnet_com_port(COM_SET_BAUDRATE, 0xFF00),
              std::string("\xFF\xFA\x2C\x01\x00\x00\xFF\xFF\x00\xFF\xF0", 11));
}

TEST(NetworkPorts, StopsEndTheRunAndPutTheLineBackWhateverTheServerDoes)
{
    std::string path = write_file(scratch_dir() + "/boot.bin", uart_image(pattern_bytes(100, 73)));
    // A listener whose accept queue is full: the tool's connect is never
    // answered.
    int full = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    ASSERT_EQ(bind(full, reinterpret_cast<sockaddr *>(&address), size), 0);
    ASSERT_EQ(getsockname(full, reinterpret_cast<sockaddr *>(&address), &size), 0);
    ASSERT_EQ(listen(full, 0), 0);
    int filler = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
    connect(filler, reinterpret_cast<sockaddr *>(&address), size);
    usleep(100 * 1000);

    const Commands asked = {{1, 0}, {2, 0}, {3, 0}, {4, 0}, {5, 0}};
    const Commands put_back = {{1, 9600}, {2, 7}, {3, 3}, {4, 2}, {5, 1}, {1, 0}};
    struct Row {
        const char *what;
        MockMode mode; // or the full listener, for MOCK_SILENT with no server
        bool server;
    };
    // And a line that always has something to read, from the board or the
    // server: the stop gets through within 0.5 s all the same.
    for (const Row &row :
         {Row{"silent at open", MOCK_SILENT, true},
          Row{"silent at configure", MOCK_SETTINGS_ONLY, true},
          Row{"connect never answered", MOCK_SILENT, false},
          Row{"notifications without end while the board is awaited", MOCK_FLOODS, true},
          Row{"a raw port's board that never stops talking", MOCK_RAW_CHATTER, true}}) {
        SCOPED_TRACE(row.what);
        MockServer *server = row.server ? start_mock(row.mode) : nullptr;
        std::string url = server != nullptr
                              ? server->url
                              : "socket://127.0.0.1:" + std::to_string(ntohs(address.sin_port));
        Child tool = start_child({DRAMLIFT_EXE, "-p", url, path});
        usleep(1000 * 1000);
        double at = now_seconds();
        kill(tool.pid, SIGTERM);
        ChildResult run = finish_within(&tool, 5);
        bool waited = row.mode == MOCK_FLOODS || row.mode == MOCK_RAW_CHATTER;
        EXPECT_LT(now_seconds() - at, waited ? 0.5 : 1.0);
        EXPECT_EQ(run.status, 128 + SIGTERM);
        EXPECT_EQ(run.out, waited ? "Waiting for the board to wake up...\n" : "");
        EXPECT_EQ(run.err, "");
        if (server == nullptr || row.mode == MOCK_RAW_CHATTER) {
            if (server != nullptr)
                finish_mock(server);
            continue;
        }
        Commands commands = finish_mock(server);
        ASSERT_GE(commands.size(), 5u);
        EXPECT_EQ(Commands(commands.begin(), commands.begin() + 5), asked);
        // What configuring set is put back; nothing is, where nothing was set.
        if (row.mode != MOCK_SILENT) {
            ASSERT_GE(commands.size(), 5 + put_back.size());
            EXPECT_EQ(Commands(commands.end() - 6, commands.end()), put_back);
        } else {
            EXPECT_EQ(commands.size(), 5u);
        }
    }
    close(filler);
    close(full);

    // A name server that takes the question and never answers, seen
    // through a resolv.conf of the test's own in a mount namespace (root
    // only): the lookup has the open's bound, and a stop ends it.
    if (geteuid() != 0)
        return;
    int dns = socket(AF_INET, SOCK_DGRAM, 0);
    address.sin_port = htons(53);
    address.sin_addr.s_addr = htonl(0x7F000002);
    ASSERT_EQ(bind(dns, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
    std::string resolv = scratch_dir() + "/resolv.conf";
    const std::string config = "nameserver 127.0.0.2\noptions timeout:5 attempts:2\n";
    write_file(resolv, std::vector<unsigned char>(config.begin(), config.end()));
    const std::string url = "rfc2217://board.example:2217";
    for (int signal : {0, SIGTERM}) {
        double started = now_seconds();
        Child tool = start_child({"unshare", "-m", "sh", "-c",
                                  "mount --bind \"$0\" /etc/resolv.conf && exec \"$@\"", resolv,
                                  DRAMLIFT_EXE, "-p", url, path});
        if (signal != 0) {
            usleep(1000 * 1000);
            started = now_seconds();
            kill(tool.pid, signal);
        }
        ChildResult run = finish_child(&tool);
        EXPECT_NEAR(now_seconds() - started, signal != 0 ? 0.5 : 5.0, 0.5);
        EXPECT_EQ(run.status, signal != 0 ? 128 + signal : 1);
        EXPECT_EQ(run.err, signal != 0 ? ""
                                       : "Could not open serial port " + url +
                                             ".\n  The name lookup took too long.\n");
    }
    close(dns);
}

TEST(NetworkPorts, Rfc2217SessionAsksSetsAndPutsBackWhateverTheServerSends)
{
    std::string path = write_file(scratch_dir() + "/boot.bin", uart_image(pattern_bytes(100, 74)));
    const Commands session = {// Asked at open: the settings in force.
                              {1, 0},
                              {2, 0},
                              {3, 0},
                              {4, 0},
                              {5, 0},
                              // Set at configure: purge, 115200 8N1, no flow control, DTR and RTS
                              // off, and the question that tells when all are confirmed.
                              {12, 3},
                              {1, 115200},
                              {2, 8},
                              {3, 1},
                              {4, 1},
                              {5, 1},
                              {5, 9},
                              {5, 12},
                              {1, 0},
                              // Sent back at close: what was found, and the question again.
                              {1, 9600},
                              {2, 7},
                              {3, 3},
                              {4, 2},
                              {5, 1},
                              {1, 0}};
    long quiet_rss = 0;
    // A server that streams notifications all the while neither holds the
    // tool past its time-outs nor makes it grow.
    for (MockMode mode : {MOCK_ANSWERS, MOCK_FLOODS}) {
        SCOPED_TRACE(mode);
        MockServer *server = start_mock(mode);
        double started = now_seconds();
        ChildResult run = run_child({DRAMLIFT_EXE, "-w", "2", "-p", server->url, path});
        EXPECT_NEAR(now_seconds() - started, 2.3, 0.4);
        EXPECT_EQ(run.status, 1);
        EXPECT_EQ(run.out, "Waiting for the board to wake up...\n");
        // The server's own commands are no data from the board.
        EXPECT_EQ(run.err,
                  "The board did not answer within 2 s.\n  Nothing came back at all: check "
                  "the adapter's receive wire, the ground and the board's power.\n");
        EXPECT_EQ(finish_mock(server), session);
        if (mode == MOCK_ANSWERS)
            quiet_rss = run.max_rss_kb;
        else
            EXPECT_LT(run.max_rss_kb, quiet_rss + 1024);
    }

    // A server that sets another speed than the loader asked for: the line
    // goes back to the speed in force, where the loader still listens.
    MockServer *halving = start_mock(MOCK_HALF_SPEED);
    ASSERT_EQ(serial_open(halving->url.c_str()), SERIAL_READY);
    ASSERT_EQ(serial_configure(115200), SERIAL_READY);
    std::string why;
    EXPECT_EQ(serial_set_speed(921600, &why), SERIAL_FAILED);
    EXPECT_EQ(why, "The server set 460800 baud instead");
    serial_close();
    Commands switched = finish_mock(halving);
    ASSERT_EQ(switched.size(), session.size() + 4);
    EXPECT_EQ(Commands(switched.begin() + 14, switched.begin() + 18),
              (Commands{{1, 921600}, {1, 0}, {1, 115200}, {1, 0}}));

    // A stop while the tool waits for the server to confirm a new speed is a
    // stop, with nothing to say of the speed. In a child: the stop stays
    // requested.
    MockServer *confirming = start_mock(MOCK_SETTINGS_ONLY);
    pid_t child = fork();
    if (child == 0) {
        int set = SERIAL_FAILED;
        std::string reason;
        if (serial_open(confirming->url.c_str()) == SERIAL_READY) {
            console_catch_stop_signals();
            kill(getpid(), SIGINT); // held back until the wait for the answer
            set = serial_set_speed(921600, &reason);
            serial_close();
        }
        _exit(set == SERIAL_STOPPED && reason.empty() ? 0 : 1);
    }
    int stopped = -1;
    waitpid(child, &stopped, 0);
    EXPECT_EQ(stopped, 0);
    finish_mock(confirming);

    // A server that will not go binary cannot carry an image.
    MockServer *server = start_mock(MOCK_REFUSES_BINARY);
    ChildResult refused = run_child({DRAMLIFT_EXE, "-p", server->url, path});
    EXPECT_EQ(refused.status, 1);
    EXPECT_EQ(refused.err, "Could not open serial port " + server->url +
                               ".\n  The server refused binary mode.\n");
    finish_mock(server);
}
