// The POSIX serial layer on a real pseudo-terminal pair: the test holds the
// master, the layer opens the device.
#include "serial/serial.h"
#include "tests/support.h"

#include <chrono>
#include <csignal>
#include <ctime>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/time.h>
#include <thread>
#include <unistd.h>

namespace
{

double now_seconds()
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

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
    ASSERT_EQ(write(master, "\x15\x15", 2), 2);
    usleep(20000);
    serial_configure(115200);
    EXPECT_EQ(serial_read_byte(50), 0);
    ASSERT_EQ(write(master, "\x15", 1), 1);
    EXPECT_EQ(serial_read_byte(1000), 0x15);
    serial_close();
    close(master);
}

TEST(SerialPosix, ReadAfterTheFarEndClosedWaitsWithoutSpinning)
{
    std::string device;
    int master = open_configured(&device);
    close(master);
    double start = now_seconds();
    double cpu_start = cpu_seconds();
    EXPECT_EQ(serial_read_byte(200), 0);
    double elapsed = now_seconds() - start;
    EXPECT_GE(elapsed, 0.200);
    EXPECT_LT(elapsed, 1.0);
    EXPECT_LT(cpu_seconds() - cpu_start, 0.05);
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
    EXPECT_EQ(err, "Could not open serial port " + file + ".\n");

    // A port this process holds cannot be opened by a second tool.
    std::string device;
    int master = open_configured(&device);
    ChildResult second = run_child({DRAMLIFT_EXE, "-p", device, file});
    EXPECT_EQ(second.status, 1);
    EXPECT_EQ(second.err, "Could not open serial port " + device + ".\n");
    serial_close();

    // Once released, it can.
    ASSERT_EQ(serial_open(device.c_str()), 1);
    serial_close();
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

    std::string out, err;
    capture_begin();
    int opened = serial_open("-2147483648");
    capture_end(&out, &err);
    EXPECT_EQ(opened, 0);
    EXPECT_EQ(err, "Could not open serial port /dev/ttyS-2147483649.\n");
}
