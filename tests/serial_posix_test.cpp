// The POSIX serial layer on a real pseudo-terminal pair: the test holds the
// master, the layer opens the device.
#include "serial/serial.h"
#include "tests/support.h"

#include <algorithm>
#include <csignal>
#include <ctime>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/time.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

namespace
{

double cpu_seconds()
{
    return static_cast<double>(clock()) / CLOCKS_PER_SEC;
}

// Opens and configures the device of a new pty; returns the master.
int open_configured(std::string *device)
{
    int master = open_pty(device);
    EXPECT_EQ(serial_open(device->c_str()), 1);
    serial_configure(115200);
    return master;
}

std::string read_master(int master, size_t count)
{
    std::string bytes;
    while (bytes.size() < count) {
        pollfd ready = {master, POLLIN, 0};
        if (poll(&ready, 1, 1000) <= 0)
            break;
        char buffer[256];
        ssize_t got = read(master, buffer, std::min(sizeof buffer, count - bytes.size()));
        if (got <= 0)
            break;
        bytes.append(buffer, got);
    }
    return bytes;
}

} // namespace

TEST(SerialPosix, ReadOnASilentLineWaitsItsTimeOutAndReturnsZero)
{
    std::string device;
    int master = open_configured(&device);
    double start = now_seconds();
    EXPECT_EQ(serial_read_byte(50), 0);
    double elapsed = now_seconds() - start;
    EXPECT_GE(elapsed, 0.050);
    EXPECT_LT(elapsed, 1.0);

    // Time-out 0 takes only what is there: no wait at all, even within
    // the millisecond that the clock rounds up to.
    unsigned char byte;
    start = now_seconds();
    for (int i = 0; i < 1000; ++i)
        EXPECT_EQ(serial_read(&byte, 1, 0), 0);
    EXPECT_LT(now_seconds() - start, 0.2);
    serial_close();
    close(master);
}

TEST(SerialPosix, EveryByteValuePassesUnchangedBothWays)
{
    std::string device;
    int master = open_configured(&device);
    std::string all;
    for (int value = 0; value < 256; ++value)
        all += static_cast<char>(value);

    for (char byte : all)
        serial_write_byte(static_cast<unsigned char>(byte));
    EXPECT_EQ(read_master(master, 256), all);

    ASSERT_EQ(write(master, all.data(), all.size()), 256);
    std::string received;
    for (int i = 0; i < 256; ++i)
        received += static_cast<char>(serial_read_byte(1000));
    EXPECT_EQ(received, all);
    EXPECT_EQ(serial_read_byte(50), 0); // nothing added on the way
    serial_close();
    close(master);
}

TEST(SerialPosix, WriteDeliversEveryByteInOrderThroughASmallWindow)
{
    // The far end takes a few dozen bytes at a time, so the pty's buffer
    // fills and writes are taken in part or refused for a while; a timer
    // interrupts the writer every millisecond meanwhile.
    std::string device;
    int master = open_configured(&device);
    const std::vector<unsigned char> sent = pattern_bytes(300000, 50);
    std::string received;
    std::thread far_end([&] {
        while (received.size() < sent.size()) {
            std::string chunk = read_master(master, 61);
            if (chunk.empty())
                break;
            received += chunk;
            usleep(20);
        }
    });

    struct sigaction interrupt = {};
    interrupt.sa_handler = [](int) {};
    struct sigaction previous;
    sigaction(SIGALRM, &interrupt, &previous); // without SA_RESTART
    itimerval every_ms = {{0, 1000}, {0, 1000}};
    setitimer(ITIMER_REAL, &every_ms, nullptr);
    serial_write(sent.data(), static_cast<int>(sent.size()));
    itimerval stop = {};
    setitimer(ITIMER_REAL, &stop, nullptr);
    sigaction(SIGALRM, &previous, nullptr);

    far_end.join();
    EXPECT_TRUE(received == std::string(sent.begin(), sent.end()))
        << received.size() << " of " << sent.size() << " bytes, or out of order";
    serial_close();
    close(master);
}

TEST(SerialPosix, ConfigureDiscardsWhatArrivedBefore)
{
    std::string device;
    int master = open_pty(&device);
    ASSERT_EQ(serial_open(device.c_str()), 1);
    // Bytes that a line still in canonical mode keeps, unlike its kill
    // character; raw mode would hand them over.
    ASSERT_EQ(write(master, "xy", 2), 2);
    usleep(20000);
    ASSERT_EQ(serial_configure(115200), 1);
    EXPECT_EQ(serial_read_byte(50), 0);
    ASSERT_EQ(write(master, "z", 1), 1);
    EXPECT_EQ(serial_read_byte(1000), 'z');
    serial_close();
    close(master);
}

TEST(SerialPosix, LineIsRaw8N1WithoutFlowControlAndPutBackAsFound)
{
    std::string device;
    int master = open_pty(&device);
    // The test's own view of the line, opened before the port is claimed.
    int watcher = open(device.c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(watcher, 0);
    termios found;
    ASSERT_EQ(tcgetattr(watcher, &found), 0);
    found.c_cflag |= CRTSCTS | CSTOPB;
    found.c_iflag |= IXON | IXOFF | ICRNL;
    cfsetispeed(&found, B9600);
    cfsetospeed(&found, B9600);
    ASSERT_EQ(tcsetattr(watcher, TCSANOW, &found), 0);
    ASSERT_EQ(tcgetattr(watcher, &found), 0);

    ASSERT_EQ(serial_open(device.c_str()), 1);
    ASSERT_EQ(serial_configure(115200), 1);
    termios line;
    ASSERT_EQ(tcgetattr(watcher, &line), 0);
    EXPECT_EQ(cfgetospeed(&line), static_cast<speed_t>(B115200));
    EXPECT_EQ(cfgetispeed(&line), static_cast<speed_t>(B115200));
    EXPECT_EQ(line.c_cflag & (CSIZE | PARENB | CSTOPB | CRTSCTS | CLOCAL | CREAD),
              static_cast<tcflag_t>(CS8 | CLOCAL | CREAD));
    EXPECT_EQ(line.c_iflag & (IXON | IXOFF | IXANY | ICRNL | INLCR | ISTRIP), 0u);
    EXPECT_EQ(line.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u);
    EXPECT_EQ(line.c_oflag & OPOST, 0u);

    serial_close();
    termios after;
    ASSERT_EQ(tcgetattr(watcher, &after), 0);
    EXPECT_EQ(after.c_iflag, found.c_iflag);
    EXPECT_EQ(after.c_oflag, found.c_oflag);
    EXPECT_EQ(after.c_cflag, found.c_cflag);
    EXPECT_EQ(after.c_lflag, found.c_lflag);
    EXPECT_EQ(cfgetospeed(&after), cfgetospeed(&found));
    EXPECT_TRUE(std::equal(after.c_cc, after.c_cc + NCCS, found.c_cc));
    close(watcher);
    close(master);
}

TEST(SerialPosix, PortThatHasGoneIsReportedAndNeverSpins)
{
    // Gone before the line is set up: configuring fails with a message.
    std::string device;
    int master = open_pty(&device);
    ASSERT_EQ(serial_open(device.c_str()), 1);
    close(master);
    std::string out, err;
    capture_begin();
    int configured = serial_configure(115200);
    capture_end(&out, &err);
    EXPECT_EQ(configured, 0);
    EXPECT_EQ(without_listing(err),
              "Could not configure serial port " + device + ".\n  Input/output error.\n");
    serial_close();

    // Gone afterwards: a read finds it lost and waits out its time-out
    // without spinning, and so does every read after it; writes go nowhere.
    master = open_configured(&device);
    close(master);
    double start = now_seconds();
    double cpu_start = cpu_seconds();
    EXPECT_EQ(serial_read_byte(200), 0);
    EXPECT_TRUE(serial_lost());
    EXPECT_EQ(serial_read_byte(100), 0);
    serial_write_byte(0x15);
    double elapsed = now_seconds() - start;
    EXPECT_GE(elapsed, 0.300);
    EXPECT_LT(elapsed, 1.0);
    EXPECT_LT(cpu_seconds() - cpu_start, 0.05);
    EXPECT_STREQ(serial_name(), device.c_str());
    serial_close();
}

TEST(SerialPosix, RefusesPortsItCannotUseExclusively)
{
    std::string dir = scratch_dir();
    std::string file = write_file(dir + "/not-a-port", {0x15});
    std::string out, err;
    capture_begin();
    int opened = serial_open(file.c_str());
    capture_end(&out, &err);
    EXPECT_EQ(opened, 0);
    EXPECT_EQ(without_listing(err),
              "Could not open serial port " + file + ".\n  It is not a serial port.\n");

    // A port this process holds cannot be opened by a second tool, which
    // names the holder.
    std::string device;
    int master = open_configured(&device);
    ChildResult second = run_child({DRAMLIFT_EXE, "-p", device, file});
    EXPECT_EQ(second.status, 1);
    EXPECT_EQ(without_listing(second.err), "Could not open serial port " + device +
                                               ".\n  It is in use by system_tests (pid " +
                                               std::to_string(getpid()) + ").\n");
    serial_close();

    // Once released, it can.
    ASSERT_EQ(serial_open(device.c_str()), 1);
    serial_close();

    // Another program holding the lock keeps us out, and we leave no
    // exclusive mode behind that would keep it out in turn.
    Child holder = start_child({"flock", "-o", device, "sleep", "10"});
    usleep(200 * 1000);
    capture_begin();
    opened = serial_open(device.c_str());
    capture_end(&out, &err);
    EXPECT_EQ(opened, 0);
    EXPECT_EQ(without_listing(err), "Could not open serial port " + device +
                                        ".\n  It is in use by flock (pid " +
                                        std::to_string(holder.pid) + ").\n");
    int watcher = open(device.c_str(), O_RDWR | O_NOCTTY);
    int exclusive = -1;
    ASSERT_EQ(ioctl(watcher, TIOCGEXCL, &exclusive), 0);
    EXPECT_EQ(exclusive, 0);
    close(watcher);
    kill(holder.pid, SIGTERM);
    finish_child(&holder);
    close(master);
}

TEST(SerialPosix, PortNumbersNameTtySDevicesFromZero)
{
    EXPECT_EQ(serial_port_number("9"), 9);
    EXPECT_EQ(serial_port_number(" +12abc"), 12);
    EXPECT_EQ(serial_port_number("abc"), 0);
    EXPECT_EQ(serial_port_number("-1"), -1);
    EXPECT_EQ(serial_port_number("99999999999"), 2147483647);
    EXPECT_EQ(serial_port_number("-99999999999"), -2147483647 - 1);
    EXPECT_EQ(serial_port_number("COM3"), 3);
    EXPECT_EQ(serial_port_number("com12"), 12);
    EXPECT_EQ(serial_port_number("Com"), 0);
    EXPECT_EQ(serial_port_number("CO3"), 0);

    std::string out, err;
    capture_begin();
    int opened = serial_open("-2147483648");
    capture_end(&out, &err);
    EXPECT_EQ(opened, 0);
    EXPECT_EQ(without_listing(err),
              "Could not open serial port /dev/ttyS-2147483649.\n  Port numbers start at 1.\n");
}
