// The wake-up handshake, the boot image and the run sequence, in this
// process, against the scripted board.
#include "app/boot_image.h"
#include "app/run.h"
#include "app/wake.h"
#include "tests/scripted_serial.h"
#include "tests/support.h"

#include <fcntl.h>
#include <getopt.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <tuple>
#include <unistd.h>

namespace
{

const std::vector<unsigned char> PATTERN = {0xBB, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77};
const std::string BLANK35 = "\r                                   \r";
const std::string BLANK31 = "\r                               \r";

struct RunResult {
    int status;
    std::string out;
    std::string err;
};

RunResult run_tool(std::vector<std::string> args, const std::vector<int> &answers,
                   ScriptPort port = PORT_WORKS)
{
    script_reset(answers, port);
    args.insert(args.begin(), "dramlift");
    std::vector<char *> argv;
    for (std::string &arg : args)
        argv.push_back(&arg[0]);
    argv.push_back(nullptr);
    optind = 0; // start the option parser afresh
    RunResult result;
    capture_begin();
    result.status = dramlift_run(static_cast<int>(args.size()), argv.data());
    capture_end(&result.out, &result.err);
    return result;
}

std::string load_failure_message(const std::string &path, ImageOutcome expected)
{
    BootImage image;
    std::string out, err;
    capture_begin();
    ImageOutcome outcome = load_boot_image(path.c_str(), &image);
    capture_end(&out, &err);
    EXPECT_EQ(outcome, expected) << path;
    EXPECT_EQ(out, "");
    release_boot_image(&image);
    return err;
}

} // namespace

TEST(WakeBoard, RepeatsThePatternUntilNak)
{
    // Silence, 'C', a 0x00 and noise each cost one pass; NAK ends the loop
    // and nothing is read after it.
    script_reset({SILENCE, 'C', 0x00, 0xBB, 0x06, 0x15, 0x15});
    EXPECT_EQ(wake_board(0, nullptr), WAKE_ANSWERED);
    std::vector<unsigned char> expected;
    for (int pass = 0; pass < 6; ++pass)
        expected.insert(expected.end(), PATTERN.begin(), PATTERN.end());
    EXPECT_EQ(script_written(), expected);
    EXPECT_EQ(script_write_sizes(), std::vector<size_t>(6, 8));
    EXPECT_EQ(script_read_timeouts(), std::vector<int>(6, 50));
    EXPECT_EQ(script_record().answers_left, 1u);
}

TEST(BootImage, TrailerIsLittleEndianMagicAndEraseFlag)
{
    for (bool erase : {false, true}) {
        std::vector<unsigned char> block = {0xEE, 0xEE, 0, 0, 0, 0, 0, 0, 0, 0, 0xEE};
        append_boot_trailer(block.data() + 1, 1, erase);
        std::vector<unsigned char> expected = {
            0xEE, 0xEE, 0xA7, 0x3E, 0x37, 0x18, static_cast<unsigned char>(erase), 0, 0, 0, 0xEE};
        EXPECT_EQ(block, expected);
    }
}

TEST(BootImage, LoadsTheFileWholeWithRoomForTheTrailer)
{
    std::string dir = scratch_dir();
    for (size_t size : {0u, 1u, 120u, 70000u}) {
        std::vector<unsigned char> bytes = uart_image(pattern_bytes(size, 12));
        std::string path = write_file(dir + "/image" + std::to_string(size), bytes);
        BootImage image;
        ASSERT_EQ(load_boot_image(path.c_str(), &image), IMAGE_LOADED);
        ASSERT_EQ(image.length, static_cast<int>(size));
        EXPECT_TRUE(std::equal(bytes.begin(), bytes.end(), image.block));
        append_boot_trailer(image.block, image.length, false); // within the block
        release_boot_image(&image);
    }
}

TEST(BootImage, RefusesWhatCannotBeLoadedWithOneMessage)
{
    std::string dir = scratch_dir();
    EXPECT_EQ(load_failure_message(dir + "/missing.bin", IMAGE_OPEN_FAILED),
              "Could not open file '" + dir + "/missing.bin'.\n  No such file or directory.\n");
    EXPECT_EQ(load_failure_message(dir, IMAGE_NOT_LOADABLE),
              "Could not load file '" + dir + "': not a regular file.\n");
    std::string fifo = dir + "/fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_EQ(load_failure_message(fifo, IMAGE_NOT_LOADABLE),
              "Could not load file '" + fifo + "': not a regular file.\n");
    EXPECT_EQ(load_failure_message("/dev/zero", IMAGE_NOT_LOADABLE),
              "Could not load file '/dev/zero': not a regular file.\n");

    // A sysfs file claims a page-sized length and delivers a few bytes.
    const char *sysfs = "/sys/devices/system/cpu/online";
    struct stat status;
    if (stat(sysfs, &status) == 0) {
        EXPECT_EQ(load_failure_message(sysfs, IMAGE_READ_SHORT),
                  "Could not read " + std::to_string(status.st_size) + " bytes of file data.\n");
    }

    // Too large for the byte counts of the transfer: refused before any
    // memory is reserved (a sparse file takes no room on disk).
    std::string huge = dir + "/huge.bin";
    int fd = open(huge.c_str(), O_CREAT | O_WRONLY, 0600);
    ASSERT_EQ(ftruncate(fd, 0x7FFFFFFFL - 8 - 128 + 1), 0);
    close(fd);
    EXPECT_EQ(load_failure_message(huge, IMAGE_NOT_LOADABLE),
              "Could not load file '" + huge + "': too large for a boot image.\n");
}

TEST(RunSequence, SuccessfulDownloadReportsThePathAsTyped)
{
    std::string dir = scratch_dir();
    std::string path = write_file(dir + "/%s%n.bin", uart_image(pattern_bytes(248, 13)));
    RunResult run = run_tool({"-e", "-p", "7", path}, {0x15, 'C', 6, 6, 6, 6});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.out, "Waiting for the board to wake up..." + BLANK35 +
                           "Downloading boot code...(  0%)\b\b\b\b\b 50%)\b\b\b\b\b100%)" +
                           BLANK31 + "Successfully downloaded '" + path + "'.\n");
    EXPECT_EQ(script_record().opened_port, "7");
    EXPECT_EQ(script_record().configured_baud, 115200);
    EXPECT_FALSE(script_record().open);
    // The image went out with the erase flag in its trailer.
    const std::vector<unsigned char> written = script_written();
    ASSERT_GE(written.size(), 8u + 133u);
    EXPECT_EQ(written[8 + 133 + 3 + 120 + 4], 0x01);

    // For a log: the notice, the blankings and the outcome, no progress; the
    // same bytes on the line.
    RunResult quiet = run_tool({"-q", "-e", "-p", "7", path}, {0x15, 'C', 6, 6, 6, 6});
    EXPECT_EQ(quiet.status, 0);
    EXPECT_EQ(quiet.out, "Waiting for the board to wake up..." + BLANK35 + BLANK31 +
                             "Successfully downloaded '" + path + "'.\n");
    EXPECT_EQ(script_written(), written);
}

TEST(RunSequence, TransferFailuresPrintTheirCodeAfterTheBlanking)
{
    std::string path = write_file(scratch_dir() + "/boot.bin", uart_image(pattern_bytes(100, 14)));
    // Failing in the start phase leaves the waiting notice unblanked by the
    // sender; the 31 spaces leave its last four characters standing.
    RunResult silent = run_tool({path}, {0x15});
    EXPECT_EQ(silent.status, 1);
    EXPECT_EQ(silent.out, "Waiting for the board to wake up..." + BLANK31);
    EXPECT_EQ(silent.err, "Xmodem download failed: -2.\n  The board never asked for the first "
                          "block.\n  After its answer to the wake pattern the board sent nothing "
                          "more.\n");
    EXPECT_EQ(script_record().clock_ms, 16 * 2000 + 1500);
    EXPECT_FALSE(script_record().open);

    std::vector<int> refused = {0x15, 'C'};
    refused.insert(refused.end(), 25, 0x15);
    RunResult retries = run_tool({path}, refused);
    EXPECT_EQ(retries.status, 1);
    EXPECT_EQ(retries.out, "Waiting for the board to wake up..." + BLANK35 +
                               "Downloading boot code...(  0%)" + BLANK31);
    EXPECT_EQ(retries.err, "Xmodem download failed: -4.\n  A block was refused 25 times.\n");

    // What came instead of answers, while waiting for the board (-w) and for
    // its answers, is said in words under the message.
    const std::string text = "\r\nU-Boot of its own\r\nflash> ";
    std::vector<int> talks(text.begin(), text.end());
    std::vector<int> looped;
    for (int pass = 0; pass < 3; ++pass)
        looped.insert(looped.end(), {0xBB, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77});
    std::vector<int> booted = {0x15, 'C'};
    booted.insert(booted.end(), text.begin(), text.end());
    // Text in another language, in colour, a window title set on the way.
    const std::string coloured = "\r\nU-Boot\r\n\x1b]0;carte\x07\x1b[1;32mD\xC3\xA9marrage\x1b[0m "
                                 ": pr\xC3\xAAt\xE2\x80\xA6> ";
    std::vector<int> french(coloured.begin(), coloured.end());
    for (int &byte : french)
        byte &= 0xFF;
    // A looped line with noise: a stray byte after every third.
    std::vector<int> noisy_loop;
    for (int i = 0; i < 24; ++i) {
        noisy_loop.push_back(PATTERN[i % 8]);
        if (i % 3 == 2)
            noisy_loop.push_back(i % 2 != 0 ? 0x00 : 'q');
    }
    const std::string said = "  The board sent text instead: it runs something of its own, most "
                             "likely from its flash. Reset it while the tool waits. It said: "
                             "\"flash>\"\n";
    const std::string unanswered = "The board did not answer within 2 s.\n";
    const std::vector<std::tuple<std::vector<std::string>, std::vector<int>, std::string>> rows = {
        {{"-w", "2"},
         {},
         unanswered + "  Nothing came back at all: check the adapter's receive wire, the ground "
                      "and the board's power.\n"},
        {{"-w", "2"}, talks, unanswered + said},
        {{"-w", "2"},
         looped,
         unanswered + "  Everything the tool sends comes back: the line is looped (TX joined to "
                      "RX), or the board is in its boot ROM's debug console.\n"},
        {{"-w", "2"},
         french,
         unanswered +
             "  The board sent text instead: it runs something of its own, most likely "
             "from its flash. Reset it while the tool waits. It said: \"D\xC3\xA9marrage : "
             "pr\xC3\xAAt\xE2\x80\xA6>\"\n"},
        {{"-w", "2"},
         noisy_loop,
         unanswered + "  Everything the tool sends comes back: the line is looped (TX joined to "
                      "RX), or the board is in its boot ROM's debug console.\n"},
        {{"-w", "2"},
         {0x00, 0xFF, 0x80, 0x3C, 0xFE, 0x01, 0x02},
         unanswered + "  The board sent 7 bytes that answer nothing, starting with 00 FF 80 3C FE "
                      "01: a line at another speed, or noise.\n"},
        {{}, booted, "Xmodem download failed: -4.\n  A block was refused 25 times.\n" + said},
        // More than one try, and no -w: each try has a wait of its own.
        {{"-n", "2"},
         {},
         "The board did not answer within 30 s.\n  Nothing came back at all: check the adapter's "
         "receive wire, the ground and the board's power.\nThe board did not answer within 30 "
         "s.\n  Nothing came back at all: check the adapter's receive wire, the ground and the "
         "board's power.\n"},
    };
    for (const auto &[args, answers, err] : rows) {
        std::vector<std::string> all = args;
        all.push_back(path);
        RunResult run = run_tool(all, answers);
        EXPECT_EQ(run.status, 1);
        EXPECT_EQ(run.err, err);
    }
}

TEST(RunSequence, LostPortEndsTheRunWithItsOwnMessage)
{
    std::string path = write_file(scratch_dir() + "/boot.bin", uart_image(pattern_bytes(300, 15)));
    struct Case {
        std::vector<int> answers;
        std::string out;
        long long ends_at_ms; // on the virtual clock
    };
    const std::string waiting = "Waiting for the board to wake up...";
    const std::string started = waiting + BLANK35 + "Downloading boot code...(  0%)";
    for (const Case &c : {
             // While waiting for the board: the next pass finds it gone.
             Case{{SILENCE, LINE_LOST}, waiting + "\n", 50 + 50},
             // While waiting for the start character, for a block's answer,
             // and for the EOT's: the read that finds it gone waits out its
             // time-out, and nothing more goes out.
             Case{{0x15, LINE_LOST}, waiting + BLANK31, 2000},
             Case{{0x15, 'C', 0x06, 0x15, LINE_LOST}, started + BLANK31, 1000},
             Case{{0x15, 'C', 0x06, 0x06, 0x06, LINE_LOST},
                  started + "\b\b\b\b\b 41%)\b\b\b\b\b 83%)" + BLANK31,
                  2000},
         }) {
        RunResult run = run_tool({"-p", "COM3", path}, c.answers);
        EXPECT_EQ(run.status, 1);
        EXPECT_EQ(run.out, c.out);
        EXPECT_EQ(run.err, "Lost serial port COM3.\n");
        EXPECT_EQ(script_record().configured_baud, 115200);
        EXPECT_EQ(script_record().clock_ms, c.ends_at_ms);
        const std::vector<size_t> writes = script_write_sizes();
        EXPECT_EQ(std::count(writes.begin(), writes.end(), 3u), 0); // no CAN CAN CAN
        EXPECT_FALSE(script_record().open);
    }
}

TEST(RunSequence, StopRequestEndsTheLineAndCancelsOnlyATransferUnderWay)
{
    std::string path = write_file(scratch_dir() + "/boot.bin", uart_image(pattern_bytes(300, 17)));
    struct Case {
        std::vector<int> answers;
        std::string out;
        bool cancelled; // CAN CAN CAN went last
        ScriptPort port = PORT_WORKS;
    };
    const std::string waiting = "Waiting for the board to wake up...";
    const std::string started = waiting + BLANK35 + "Downloading boot code...(  0%)";
    const std::string blocks = "\b\b\b\b\b 41%)\b\b\b\b\b 83%)";
    for (const Case &c : {
             Case{{SILENCE, STOP}, waiting + "\n", false},
             // The receiver has not asked for a block yet: it hears no cancel.
             Case{{0x15, STOP}, waiting + "\n", false},
             Case{{0x15, 'C', 0x06, STOP}, started + "\n", true},
             Case{{0x15, 'C', 0x06, 0x06, 0x06, STOP}, started + blocks + "\n", true},
             // In the flush after the receiver's own cancel.
             Case{{0x15, 'C', 0x18, 0x18, 'x', STOP}, started + "\n", false},
             // While the port opens, or is set up: no console line is open.
             Case{{}, "", false, PORT_STOPPED_AT_OPEN},
             Case{{}, "", false, PORT_STOPPED_AT_CONFIGURE},
         }) {
        RunResult run = run_tool({"-p", "COM3", path}, c.answers, c.port);
        EXPECT_EQ(run.status, RUN_STOPPED);
        EXPECT_EQ(run.out, c.out);
        EXPECT_EQ(run.err, "");
        const std::vector<size_t> writes = script_write_sizes();
        EXPECT_EQ(std::count(writes.begin(), writes.end(), 3u), c.cancelled ? 1 : 0);
        if (c.cancelled) {
            EXPECT_EQ(script_written().back(), 0x18);
        }
        EXPECT_EQ(script_record().answers_left, 0u);
        EXPECT_FALSE(script_record().open);
    }

    // The wait for a board that stays off, bounded.
    RunResult unanswered = run_tool({"-w", "2", path}, {});
    EXPECT_EQ(unanswered.status, 1);
    EXPECT_EQ(unanswered.out, waiting + "\n");
    EXPECT_EQ(unanswered.err, "The board did not answer within 2 s.\n  Nothing came back at all: "
                              "check the adapter's receive wire, the ground and the board's "
                              "power.\n");
    EXPECT_EQ(script_record().clock_ms, 2000);
    EXPECT_EQ(script_write_sizes(), std::vector<size_t>(40, 8));
    EXPECT_FALSE(script_record().open);
}

TEST(RunSequence, FailuresBeforeTheTransferReleaseThePort)
{
    std::string dir = scratch_dir();
    RunResult missing = run_tool({"-p", "2", dir + "/none.bin"}, {});
    EXPECT_EQ(missing.status, 1);
    EXPECT_EQ(missing.out, "");
    EXPECT_EQ(missing.err,
              "Could not open file '" + dir + "/none.bin'.\n  No such file or directory.\n");
    EXPECT_EQ(script_record().configured_baud, 0);
    EXPECT_FALSE(script_record().open);
    EXPECT_TRUE(script_written().empty());

    // A line that cannot be configured: the port has said so.
    std::string image = write_file(dir + "/boot.bin", uart_image(pattern_bytes(40, 16)));
    RunResult unconfigurable = run_tool({image}, {0x15, 'C'}, PORT_UNCONFIGURABLE);
    EXPECT_EQ(unconfigurable.status, 1);
    EXPECT_EQ(unconfigurable.out, "");
    EXPECT_TRUE(script_written().empty());
    EXPECT_FALSE(script_record().open);

    for (const std::string &path : {dir, std::string("/sys/devices/system/cpu/online")}) {
        RunResult unloadable = run_tool({path}, {});
        EXPECT_EQ(unloadable.status, 1);
        EXPECT_EQ(unloadable.out, "");
        EXPECT_NE(unloadable.err, "");
        EXPECT_EQ(script_record().configured_baud, 0);
        EXPECT_FALSE(script_record().open);
    }

    // Without the port the file is never looked at; the port layer has
    // printed its own message.
    RunResult no_port = run_tool({dir + "/none.bin"}, {}, PORT_MISSING);
    EXPECT_EQ(no_port.status, 1);
    EXPECT_EQ(no_port.err, "");
    EXPECT_EQ(script_record().opened_port, "1");
}
