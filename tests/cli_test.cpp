// The command line of the built tool: what it prints and its exit status.
#include "tests/support.h"

#include <grp.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

namespace
{

ChildResult dramlift(std::vector<std::string> args, const std::vector<std::string> &env = {})
{
    args.insert(args.begin(), DRAMLIFT_EXE);
    return run_child(args, env);
}

std::string port_failure(const std::string &device,
                         const std::string &reason = "No such file or directory.")
{
    return "Could not open serial port " + device + ".\n  " + reason + "\n";
}

} // namespace

TEST(CommandLine, ComplaintsAndHelpPrintOnlyTheUsageAndFail)
{
    const std::vector<std::vector<std::string>> cases = {
        {},
        {"-h"},
        {"-e", "-h", "-p", "2", "image.bin"},
        {"image.bin", "-h"},
        {"-x", "image.bin"},
        {"--long", "image.bin"},
        {"image.bin", "-p"},
        {"one.bin", "two.bin"},
        {"-e"},
        {"-ep", "2"},
        {"-p", "2", "--"},
        {"-w", "0", "image.bin"},
        {"-w", "-3", "image.bin"},
        {"-w2x", "image.bin"},
        {"-w", "86401", "image.bin"},
        {"-w", "99999999999999999999", "image.bin"},
        {"image.bin", "-w"},
        {"-x", "5", "image.bin"},
        {"-t", "-x", "0", "image.bin"},
        {"-n", "0", "image.bin"},
        {"-n", "1001", "image.bin"},
        {"image.bin", "-r"},
    };
    for (const std::vector<std::string> &args : cases) {
        ChildResult run = dramlift(args);
        std::string shown;
        for (const std::string &arg : args)
            shown += arg + " ";
        EXPECT_EQ(run.status, 1) << shown;
        EXPECT_EQ(run.out, "") << shown;
        EXPECT_EQ(run.err, USAGE) << shown;
    }
}

TEST(CommandLine, HelpAndVersionAskedForGoToStandardOutput)
{
    const std::string usage = USAGE;
    for (const auto &[args, out] : std::vector<std::pair<std::vector<std::string>, std::string>>{
             {{"--help"}, usage},
             {{"-e", "--help", "image.bin"}, usage},
             {{"--version"}, "dramlift 1.1\n"},
             {{"--version", "one.bin", "two.bin"}, "dramlift 1.1\n"}}) {
        ChildResult run = dramlift(args);
        EXPECT_EQ(run.status, 0) << args[0];
        EXPECT_EQ(run.out, out);
        EXPECT_EQ(run.err, "");
    }
}

TEST(CommandLine, PortValueIsTakenAsTypedWithTheLastOneWinning)
{
    // Without such ports, the failure message names the device tried: port
    // N is /dev/ttyS<N-1>. The port is opened before the file is looked at.
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{"-p", "2", "-p", "300", "missing.bin"}, "/dev/ttyS299"},
        {{"-p300", "missing.bin"}, "/dev/ttyS299"},
        {{"-ep300", "missing.bin"}, "/dev/ttyS299"},
        {{"missing.bin", "-p", "300"}, "/dev/ttyS299"},
        {{"-p", " 301x", "missing.bin"}, "/dev/ttyS300"},
        {{"-p", "/dev/no-such-port", "missing.bin"}, "/dev/no-such-port"},
        {{"-p", "300", "--", "-e"}, "/dev/ttyS299"},
        {{"-p", "COM300", "missing.bin"}, "/dev/ttyS299"},
        {{"-pcom300", "missing.bin"}, "/dev/ttyS299"},
        {{"-w", "86400", "-p300", "missing.bin"}, "/dev/ttyS299"},
        {{"-tw1", "-p300", "missing.bin"}, "/dev/ttyS299"},
    };
    for (const auto &[args, device] : cases) {
        ChildResult run = dramlift(args);
        EXPECT_EQ(run.status, 1) << device;
        EXPECT_EQ(run.out, "") << device;
        EXPECT_EQ(without_listing(run.err), port_failure(device)) << device;
    }
}

TEST(CommandLine, PortValuesThatNameNoPortSayWhy)
{
    const std::string no_value = "-p takes a port number, COM<n>, a device path, rfc2217:// or "
                                 "socket://.";
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"abc", "/dev/ttyS-1.\n  " + no_value},
        {"", "/dev/ttyS-1.\n  " + no_value},
        {"-h", "/dev/ttyS-1.\n  " + no_value},
        // A value that is no number names a device of that name, where one is.
        {"null", "/dev/ttyS-1.\n  " + no_value + "\n  Did you mean /dev/null?"},
        {"0", "/dev/ttyS-1.\n  Port numbers start at 1."},
        {"-1", "/dev/ttyS-2.\n  Port numbers start at 1."},
        {"com0", "/dev/ttyS-1.\n  Port numbers start at 1."},
        {"telnet://host:23", "telnet://host:23.\n  telnet:// is no kind of port the tool knows: "
                             "it takes rfc2217:// and socket://."},
        // The schemes the tool knows, in any case.
        {"SOCKET://127.0.0.1:0", "SOCKET://127.0.0.1:0.\n  It is not a HOST:PORT address."},
    };
    for (const auto &[value, message] : cases) {
        ChildResult run = dramlift({"-p", value, "missing.bin"});
        EXPECT_EQ(run.status, 1) << value;
        EXPECT_EQ(run.out, "");
        EXPECT_EQ(without_listing(run.err), "Could not open serial port " + message + "\n");
    }
}

TEST(CommandLine, PosixlyCorrectStopsAtTheFirstOperand)
{
    const std::vector<std::string> reordered = {"missing.bin", "-p", "300"};
    EXPECT_EQ(without_listing(dramlift(reordered).err), port_failure("/dev/ttyS299"));
    ChildResult strict = dramlift(reordered, {"POSIXLY_CORRECT=1"});
    EXPECT_EQ(strict.status, 1);
    EXPECT_EQ(strict.err, USAGE);
    EXPECT_EQ(without_listing(dramlift({"-p", "300", "missing.bin"}, {"POSIXLY_CORRECT=1"}).err),
              port_failure("/dev/ttyS299"));
}

TEST(CommandLine, FileFailuresAfterThePortOpened)
{
    std::string device;
    int master = open_pty(&device);
    std::string dir = scratch_dir();
    const std::vector<std::pair<std::string, std::string>> cases = {
        {dir + "/missing.bin",
         "Could not open file '" + dir + "/missing.bin'.\n  No such file or directory.\n"},
        {dir + "/%s%n%d.bin",
         "Could not open file '" + dir + "/%s%n%d.bin'.\n  No such file or directory.\n"},
        {dir, "Could not load file '" + dir + "': not a regular file.\n"},
    };
    for (const auto &[path, message] : cases) {
        ChildResult run = dramlift({"-p", device, path});
        EXPECT_EQ(run.status, 1);
        EXPECT_EQ(run.out, "");
        EXPECT_EQ(run.err, message);
    }
    close(master);
}

TEST(CommandLine, ImageThatFindsNoMemory)
{
#ifdef __SANITIZE_ADDRESS__
    GTEST_SKIP() << "AddressSanitizer needs more address space than the limit leaves";
#endif
    // A sparse 1.5 GiB file under a 1 GiB address space limit.
    std::string device;
    int master = open_pty(&device);
    std::string huge = write_file(scratch_dir() + "/huge.bin", {});
    ASSERT_EQ(truncate(huge.c_str(), 1536L << 20), 0);
    ChildResult run = run_child({"prlimit", "--as=1073741824", DRAMLIFT_EXE, "-p", device, huge});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, "Could not malloc 1610612736 bytes mem.\n");
    close(master);
}

TEST(CommandLine, BadInputGetsOneClearMessageAndStatusOne)
{
    std::string device;
    int master = open_pty(&device);
    std::string dir = scratch_dir();
    std::string fifo = dir + "/fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    std::string sparse = write_file(dir + "/sparse.bin", {});
    ASSERT_EQ(truncate(sparse.c_str(), 3L << 30), 0);
    std::string long_path = dir + "/" + std::string(300, 'd') + "/" + std::string(5000, 'f');
    std::string port_file = write_file(dir + "/port", {});

    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{"-p", device, fifo}, "Could not load file '" + fifo + "': not a regular file.\n"},
        {{"-p", device, "/dev/zero"}, "Could not load file '/dev/zero': not a regular file.\n"},
        {{"-p", device, sparse},
         "Could not load file '" + sparse + "': too large for a boot image.\n"},
        {{"-p", device, long_path},
         "Could not open file '" + long_path + "'.\n  File name too long.\n"},
        {{"-p", port_file, sparse}, port_failure(port_file, "It is not a serial port.")},
        {{"-p", "/dev/null", sparse}, port_failure("/dev/null", "It is not a serial port.")},
    };
    for (const auto &[args, message] : cases) {
        ChildResult run = dramlift(args);
        EXPECT_EQ(run.status, 1);
        EXPECT_EQ(run.out, "");
        EXPECT_EQ(without_listing(run.err), message);
    }

    // A file its user may not read; root reads anything, so run as nobody.
    std::string secret = write_file(dir + "/secret.bin", {1, 2, 3});
    ASSERT_EQ(chmod(secret.c_str(), 0), 0);
    ASSERT_EQ(chmod(dir.c_str(), 0755), 0);
    ASSERT_EQ(chmod(device.c_str(), 0666), 0);
    std::vector<std::string> argv = {DRAMLIFT_EXE, "-p", device, secret};
    if (geteuid() == 0)
        argv.insert(argv.begin(), {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"});
    ChildResult unreadable = run_child(argv);
    EXPECT_EQ(unreadable.status, 1);
    EXPECT_EQ(unreadable.err, "Could not open file '" + secret + "'.\n  Permission denied.\n");

    // A port that only root may open, then one that a group may.
    ASSERT_EQ(chmod(device.c_str(), 0600), 0);
    ChildResult root_only = run_child(argv);
    EXPECT_EQ(without_listing(root_only.err),
              port_failure(device, "Permission denied. Only root may open it."));
    ASSERT_EQ(chmod(device.c_str(), 0660), 0);
    const group *dialout = getgrnam("dialout");
    ASSERT_NE(dialout, nullptr);
    ASSERT_EQ(chown(device.c_str(), 0, dialout->gr_gid), 0);
    ChildResult grouped = run_child(argv);
    EXPECT_EQ(without_listing(grouped.err),
              port_failure(device, "Permission denied. Members of the group dialout may use it: "
                                   "sudo adduser nobody dialout, then log in again."));
    close(master);
}
