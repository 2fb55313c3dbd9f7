// Helpers shared by the tests: child processes, captured console output,
// scratch files and pseudo-terminals.
#ifndef DRAMLIFT_TEST_SUPPORT_H
#define DRAMLIFT_TEST_SUPPORT_H

#include <cstdint>
#include <cstdio>
#include <string>
#include <sys/types.h>
#include <termios.h>
#include <vector>

// The usage text, byte for byte.
extern const std::string USAGE;

struct ChildResult {
    int status; // exit status, or 128 + signal
    std::string out;
    std::string err;
    double cpu_seconds;
    long max_rss_kb; // the most memory it held
};

// Runs a program to its end. env holds "NAME=VALUE" entries to add;
// POSIXLY_CORRECT is removed unless env sets it.
ChildResult run_child(const std::vector<std::string> &argv,
                      const std::vector<std::string> &env = {});

// The same in two steps, for a test that acts while the program runs;
// standard input and output may be given descriptors (a pty, a pipe), in
// which case the output is not collected.
struct Child {
    pid_t pid;
    FILE *out;
    FILE *err;
};
Child start_child(const std::vector<std::string> &argv, const std::vector<std::string> &env = {},
                  int in_fd = -1, int out_fd = -1);
ChildResult finish_child(Child *child);

// Waits for the child to end by itself, `seconds` at most: one that does not
// fails the test and is killed, so that a failing test cannot hang.
ChildResult finish_within(Child *child, double seconds = 10);

// A board emulator running in the background.
struct Board {
    pid_t pid;
    int out_fd;
    std::string device; // the first line it printed
};
Board start_board(const std::vector<std::string> &args);
ChildResult finish_board(Board *board); // waits for it to end

// Console output of code run in this process.
void capture_begin();
void capture_end(std::string *out, std::string *err);

// A fresh directory for one test, removed when the test program ends, and
// files in it.
std::string scratch_dir();
std::string write_file(const std::string &path, const std::vector<unsigned char> &bytes);
std::vector<unsigned char> read_file(const std::string &path);
std::vector<unsigned char> pattern_bytes(size_t count, unsigned seed);

// The bytes with a boot header in front: the given block ID (boot source),
// data at 0x20 (SATA: in sector 1) of the given size whose last 4 bytes are
// its checksum (one off unless data_good), the header version, and a good
// header checksum or one that is off by one.
std::vector<unsigned char> with_boot_header(std::vector<unsigned char> bytes, unsigned char id,
                                            uint32_t data_size, int version = 0, bool good = true,
                                            bool data_good = true);

// The bytes as a UART boot image, which the tool sends without a word: a
// valid boot header in the first 32 bytes, the rest the image's data. Left
// as they are when there is no room for a header.
std::vector<unsigned char> uart_image(std::vector<unsigned char> bytes);

// A pseudo-terminal pair: the master's descriptor and the device's path.
int open_pty(std::string *device);

// Every field of two sets of line settings agrees.
bool same_settings(const termios &a, const termios &b);

// Reads from fd until `wanted` has come or the time is up; returns all that
// came.
std::string read_until(int fd, const std::string &wanted, double seconds = 10);

// A port failure's message and reason without the listing of the machine's
// ports after them, which differs from machine to machine: that last line is
// checked for its form and dropped (and left in when it is not a listing).
std::string without_listing(const std::string &err);

// A loopback TCP port that nothing listens on just now.
int free_port();

// Debian's ser2net, serving the device on a loopback port of its own, by
// RFC 2217 (the port at 9600 baud until a client sets it) or raw (at 115200
// baud, as a raw port for a board is set up), as the URL that dramlift -p
// takes says.
struct PortServer {
    Child process;
    std::string url;
};
PortServer start_ser2net(const std::string &device, bool rfc2217);
void stop_ser2net(PortServer *server);

// A steady clock in seconds.
double now_seconds();

// CRC-32 as zlib and U-Boot's crc32 command compute it: the tool's own.
unsigned crc32_of(const std::vector<unsigned char> &bytes);

#endif
