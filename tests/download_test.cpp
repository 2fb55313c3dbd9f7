// Whole downloads over a pseudo-terminal: the built tool against the board
// emulator, and against lrzsz's rx, a receiver written elsewhere.
#include "tests/support.h"

#include <csignal>
#include <gtest/gtest.h>
#include <unistd.h>

namespace
{

const std::string WAITING = "Waiting for the board to wake up...";
const std::string BLANK35 = "\r                                   \r";
const std::string BLANK31 = "\r                               \r";

struct Download {
    ChildResult tool;
    ChildResult board;
};

Download download(const std::vector<std::string> &board_args,
                  const std::vector<std::string> &tool_args)
{
    Board board = start_board(board_args);
    std::vector<std::string> argv = {DRAMLIFT_EXE, "-p", board.device};
    argv.insert(argv.end(), tool_args.begin(), tool_args.end());
    Download result;
    result.tool = run_child(argv);
    result.board = finish_board(&board);
    return result;
}

// The progress line up to and including the acknowledgement of `acked` blocks.
std::string progress(size_t image_size, size_t acked)
{
    std::string text = BLANK35 + "Downloading boot code...(  0%)";
    for (size_t block = 0; block < acked; ++block) {
        char update[16];
        snprintf(update, sizeof update, "\b\b\b\b\b%3d%%)",
                 static_cast<int>(block * 128 * 100 / image_size));
        text += update;
    }
    return text;
}

std::vector<unsigned char> with_trailer(std::vector<unsigned char> bytes, bool erase)
{
    bytes.insert(bytes.end(), {0xA7, 0x3E, 0x37, 0x18, static_cast<unsigned char>(erase), 0, 0, 0});
    return bytes;
}

bool have_program(const char *name)
{
    return run_child({"sh", "-c", std::string("command -v ") + name}).status == 0;
}

} // namespace

TEST(Download, DeliversTheImageInEitherModeWithAndWithoutErase)
{
    struct Case {
        size_t file_size;
        bool checksum;
        bool erase;
    };
    // 248 bytes make a 256-byte image, which ends with a filler-only block.
    for (const Case &c : {Case{300, false, true}, Case{248, true, false}, Case{0, false, false},
                          Case{40000, true, true}}) {
        SCOPED_TRACE(std::to_string(c.file_size) + (c.checksum ? " checksum" : " CRC"));
        std::string dir = scratch_dir();
        std::vector<unsigned char> bytes = pattern_bytes(c.file_size, 20);
        std::string path = write_file(dir + "/boot.bin", bytes);
        std::vector<std::string> board_args = {"-o", dir + "/received.bin"};
        if (c.checksum)
            board_args.push_back("--checksum");
        std::vector<std::string> tool_args = {path};
        if (c.erase)
            tool_args.insert(tool_args.begin(), "-e");

        Download d = download(board_args, tool_args);
        size_t image_size = c.file_size + 8;
        EXPECT_EQ(d.tool.status, 0);
        EXPECT_EQ(d.tool.err, "");
        EXPECT_EQ(d.tool.out, WAITING + progress(image_size, image_size / 128 + 1) + BLANK31 +
                                  "Successfully downloaded '" + path + "'.\n");
        EXPECT_EQ(d.board.status, 0) << d.board.out;
        EXPECT_NE(d.board.out.find(c.erase ? "erase flag set" : "erase flag clear"),
                  std::string::npos);
        EXPECT_EQ(read_file(dir + "/received.bin"), with_trailer(bytes, c.erase));
    }

    // An emulator with --repeat takes one download after another on the same
    // device, each reported in turn, until it is stopped.
    std::string path = write_file(scratch_dir() + "/one-block.bin", pattern_bytes(100, 21));
    Board board = start_board({"--repeat"});
    for (int run = 0; run < 2; ++run)
        EXPECT_EQ(run_child({DRAMLIFT_EXE, "-q", "-p", board.device, path}).status, 0);
    kill(board.pid, SIGTERM);
    std::string reports = finish_board(&board).out;
    const std::string one_block = "Received 1 block in CRC-16 mode; answered 0 packets with NAK.";
    EXPECT_NE(reports.find(one_block), reports.rfind(one_block)) << reports;
    EXPECT_NE(reports.find("Waiting on " + board.device + " for the next download."),
              std::string::npos);
}

TEST(Download, RecoversFromRefusedPacketsAndALoneCancel)
{
    std::string dir = scratch_dir();
    std::vector<unsigned char> bytes = pattern_bytes(1000, 21);
    std::string path = write_file(dir + "/boot.bin", bytes);
    Download d =
        download({"--nak-block", "3:24", "--can-once", "5", "-o", dir + "/got.bin"}, {path});
    EXPECT_EQ(d.tool.status, 0);
    EXPECT_EQ(d.tool.err, "");
    EXPECT_EQ(d.board.status, 0);
    EXPECT_NE(d.board.out.find("answered 24 packets with NAK"), std::string::npos);
    EXPECT_EQ(read_file(dir + "/got.bin"), with_trailer(bytes, false));
}

TEST(Download, TransferFailuresReportTheirCodeAndFail)
{
    std::string path = write_file(scratch_dir() + "/boot.bin", pattern_bytes(1000, 22));
    const size_t image_size = 1008;
    struct Case {
        std::vector<std::string> board_args;
        size_t acked;
        int code;
    };
    for (const Case &c : {Case{{"--cancel-at", "2"}, 1, -1}, Case{{"--nak-block", "4:25"}, 3, -4},
                          Case{{"--nak-eot"}, 8, -5}}) {
        SCOPED_TRACE(c.code);
        Download d = download(c.board_args, {path});
        EXPECT_EQ(d.tool.status, 1);
        EXPECT_EQ(d.tool.out, WAITING + progress(image_size, c.acked) + BLANK31);
        EXPECT_EQ(d.tool.err, "Xmodem download failed: " + std::to_string(c.code) + ".\n");
        EXPECT_EQ(d.board.status, 1);
    }
}

TEST(Download, GoesOnWhenTheReaderOfItsOutputLeaves)
{
    // dramlift ... | head -c 60: the progress has nowhere to go, the board
    // still gets the whole image.
    std::string dir = scratch_dir();
    std::vector<unsigned char> bytes = pattern_bytes(30000, 25);
    std::string path = write_file(dir + "/boot.bin", bytes);
    Board board = start_board({"--paced", "-o", dir + "/got.bin"});
    int screen[2];
    ASSERT_EQ(pipe(screen), 0);
    Child tool = start_child({DRAMLIFT_EXE, "-p", board.device, path}, {}, -1, screen[1]);
    close(screen[1]);
    EXPECT_NE(read_until(screen[0], "Downloading").find("Downloading"), std::string::npos);
    close(screen[0]);
    ChildResult run = finish_child(&tool);
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(finish_board(&board).status, 0);
    EXPECT_EQ(read_file(dir + "/got.bin"), with_trailer(bytes, false));
}

TEST(Download, SilentBoardEndsTheStartPhaseAfter32Seconds)
{
    std::string path = write_file(scratch_dir() + "/boot.bin", pattern_bytes(10, 23));
    time_t start = time(nullptr);
    Download d = download({"--silent"}, {path});
    time_t elapsed = time(nullptr) - start;
    EXPECT_EQ(d.tool.status, 1);
    EXPECT_EQ(d.tool.out, WAITING + BLANK31);
    EXPECT_EQ(d.tool.err, "Xmodem download failed: -2.\n");
    EXPECT_GE(elapsed, 33);
    EXPECT_LE(elapsed, 40);
}

TEST(Download, LrzszRxReceivesTheFileTrailerAndFiller)
{
    if (!have_program("rx"))
        GTEST_SKIP() << "lrzsz's rx is not installed";
    for (bool crc : {true, false}) {
        SCOPED_TRACE(crc ? "CRC" : "checksum");
        std::string dir = scratch_dir();
        std::vector<unsigned char> bytes = pattern_bytes(1000, 24);
        std::string path = write_file(dir + "/boot.bin", bytes);
        // rx writes only below its working directory.
        std::vector<std::string> receiver = {
            "--", "sh", "-c", "cd " + dir + " && exec rx -q " + (crc ? "-c" : "") + " rx.bin"};

        Download d = download(receiver, {"-e", path});
        EXPECT_EQ(d.tool.status, 0) << d.tool.err;
        EXPECT_EQ(d.board.status, 0);
        EXPECT_NE(d.board.out.find(crc ? "asked for CRC-16" : "asked for checksum"),
                  std::string::npos);
        // rx keeps whole blocks: the image, then the filler of one 0x1A and zeros.
        std::vector<unsigned char> expected = with_trailer(bytes, true);
        expected.push_back(0x1A);
        expected.resize(1024, 0x00);
        EXPECT_EQ(read_file(dir + "/rx.bin"), expected);
    }
}
