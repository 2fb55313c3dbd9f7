// The XMODEM sender against a scripted receiver on a virtual clock.
#include "app/progress.h"
#include "tests/scripted_serial.h"
#include "tests/support.h"
#include "tests/xmodem_reference.h"
#include "xmodem/crc16.h"
#include "xmodem/crc32.h"
#include "xmodem/xmodem.h"

#include <gtest/gtest.h>

namespace
{

const int C = 'C', NAK = 0x15, ACK = 0x06, CAN = 0x18;
const unsigned char EOT = 0x04;

size_t block_count(size_t size)
{
    return size / 128 + 1;
}

// Everything a correct sender writes when every packet is acknowledged.
std::vector<unsigned char> clean_transfer(const std::vector<unsigned char> &image, bool crc)
{
    std::vector<unsigned char> bytes;
    for (size_t block = 0; block < block_count(image.size()); ++block) {
        std::vector<unsigned char> p = packet(data_field(image, block * 128), block + 1, crc);
        bytes.insert(bytes.end(), p.begin(), p.end());
    }
    bytes.push_back(EOT);
    return bytes;
}

std::vector<int> acks(size_t count)
{
    return std::vector<int>(count, ACK);
}

template <typename T>
std::vector<T> operator+(std::vector<T> a, const std::vector<T> &b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

std::vector<unsigned char> repeated(const std::vector<unsigned char> &bytes, int times)
{
    std::vector<unsigned char> all;
    for (int i = 0; i < times; ++i)
        all = all + bytes;
    return all;
}

std::vector<unsigned char> eot()
{
    return {EOT};
}

// Runs the sender on an image against the script; returns its result and
// keeps what it printed.
int send(const std::vector<unsigned char> &image, const std::vector<int> &answers,
         std::string *out = nullptr)
{
    script_reset(answers);
    std::string printed, errors;
    capture_begin();
    boot_progress_begin(true);
    int result = xmodem_send(image.data(), static_cast<int>(image.size()), boot_progress);
    capture_end(&printed, &errors);
    EXPECT_EQ(errors, "");
    if (out != nullptr)
        *out = printed;
    return result;
}

} // namespace

TEST(Crc16, MatchesTheCheckValueAndTheBitwiseDefinition)
{
    const unsigned char check[] = "123456789";
    EXPECT_EQ(crc16_xmodem(check, 9), 0x31C3);
    EXPECT_EQ(crc16_xmodem(check, 0), 0x0000);
    // Every table entry is exercised by single bytes; longer runs by noise.
    for (unsigned value = 0; value < 256; ++value) {
        unsigned char byte = static_cast<unsigned char>(value);
        ASSERT_EQ(crc16_xmodem(&byte, 1), bitwise_crc16(&byte, 1)) << value;
    }
    std::vector<unsigned char> noise = pattern_bytes(4096, 7);
    EXPECT_EQ(crc16_xmodem(noise.data(), 4096), bitwise_crc16(noise.data(), 4096));
}

TEST(Crc32, MatchesTheCheckValueWholeOrInPieces)
{
    const unsigned char check[] = "123456789";
    EXPECT_EQ(crc32_ieee(0, check, 9), 0xCBF43926u);
    EXPECT_EQ(crc32_ieee(crc32_ieee(0, check, 4), check + 4, 5), 0xCBF43926u);
}

TEST(XmodemSend, WritesExactPacketsForEverySizeInBothModes)
{
    // 8: the empty file's image; 248 + 8 = 256: an exact multiple of the
    // block size; 255 * 128 + 1: block numbers wrap past 255.
    for (size_t size : {0u, 8u, 127u, 128u, 129u, 248u, 256u, 300u, 255u * 128u + 1u}) {
        std::vector<unsigned char> image = pattern_bytes(size, static_cast<unsigned>(size));
        for (bool crc : {true, false}) {
            SCOPED_TRACE("size " + std::to_string(size) + (crc ? " CRC" : " checksum"));
            size_t blocks = block_count(size);
            int result = send(image, std::vector<int>{crc ? C : NAK} + acks(blocks + 1));
            EXPECT_EQ(result, static_cast<int>(128 * blocks));
            EXPECT_EQ(script_written(), clean_transfer(image, crc));
            EXPECT_EQ(script_record().answers_left, 0u);
            // Each packet in one write, header, data and check together.
            std::vector<size_t> writes(blocks, crc ? 133 : 132);
            writes.push_back(1);
            EXPECT_EQ(script_write_sizes(), writes);
        }
    }
}

TEST(XmodemSend, EndsTheDataWithOneFillerByteAndZeros)
{
    std::vector<unsigned char> image = pattern_bytes(300, 1);
    EXPECT_EQ(send(image, std::vector<int>{NAK} + acks(4)), 384);
    const std::vector<unsigned char> written = script_written();
    ASSERT_EQ(written.size(), 3 * 132 + 1u);
    const unsigned char *third = &written[2 * 132];
    EXPECT_EQ(third[1], 3);
    EXPECT_EQ(third[2], 252);
    EXPECT_TRUE(std::equal(image.begin() + 256, image.end(), third + 3));
    EXPECT_EQ(third[3 + 44], 0x1A);
    EXPECT_EQ(std::count(third + 3 + 45, third + 3 + 128, 0x00), 83);

    // A size that fills its blocks exactly is followed by a filler-only block.
    std::vector<unsigned char> full = pattern_bytes(256, 2);
    EXPECT_EQ(send(full, std::vector<int>{NAK} + acks(4)), 384);
    const std::vector<unsigned char> full_written = script_written();
    const unsigned char *filler = &full_written[2 * 132 + 3];
    EXPECT_EQ(filler[0], 0x1A);
    EXPECT_EQ(std::count(filler + 1, filler + 128, 0x00), 127);
}

TEST(XmodemSend, BlockAfter255IsNumberedZero)
{
    std::vector<unsigned char> image = pattern_bytes(256 * 128, 3);
    ASSERT_GT(send(image, std::vector<int>{C} + acks(258)), 0);
    const std::vector<unsigned char> written = script_written();
    const unsigned char *block256 = &written[255 * 133];
    EXPECT_EQ(block256[0], 0x01);
    EXPECT_EQ(block256[1], 0x00);
    EXPECT_EQ(block256[2], 0xFF);
}

TEST(XmodemSend, ResendsTheSamePacketAfterNakTimeOutOrLoneCan)
{
    std::vector<unsigned char> image = pattern_bytes(200, 4);
    std::vector<unsigned char> first = packet(data_field(image, 0), 1, true);
    std::vector<unsigned char> second = packet(data_field(image, 128), 2, true);
    // Block 1: NAK, then 'C', then silence and 100 ms of quiet, then ACK.
    // Block 2: a lone CAN followed by an ACK, which is dropped with the try;
    // then ACK. EOT: ACK.
    int result = send(image, {C, NAK, C, SILENCE, SILENCE, ACK, CAN, ACK, ACK, ACK});
    EXPECT_EQ(result, 256);
    EXPECT_EQ(script_written(), repeated(first, 4) + repeated(second, 2) + eot());
    EXPECT_EQ(script_read_timeouts(),
              (std::vector<int>{2000, 1000, 1000, 1000, 100, 1000, 1000, 1000, 1000, 2000}));
}

TEST(XmodemSend, StrayBytesWhileWaitingCostNoTry)
{
    std::vector<unsigned char> image = pattern_bytes(200, 5);
    std::vector<unsigned char> first = packet(data_field(image, 0), 1, true);
    std::vector<unsigned char> second = packet(data_field(image, 128), 2, true);
    // Noise, a 0x00 among it, and then the ACK, in one wait; a stray byte
    // 300 ms in leaves 700 ms for the answer.
    int result = send(image, {C, 'x', 0x00, 0xFF, ACK, after_ms(300, 'y'), ACK, 0x11, ACK});
    EXPECT_EQ(result, 256);
    EXPECT_EQ(script_written(), first + second + eot());
    EXPECT_EQ(script_read_timeouts(),
              (std::vector<int>{2000, 1000, 1000, 1000, 1000, 1000, 700, 2000, 2000}));

    // Noise that lasts past the deadline costs the try all the same; the
    // repeat goes once the line has been quiet for 100 ms.
    std::vector<int> noise(7, after_ms(150, 'n'));
    EXPECT_EQ(send(image, std::vector<int>{C} + noise + std::vector<int>{SILENCE} + acks(3)), 256);
    EXPECT_EQ(script_written(), repeated(first, 2) + second + eot());
    EXPECT_EQ(script_record().events[script_record().events.size() - 8].at_ms, 1050 + 100);
}

TEST(XmodemSend, OnlyAnAnswerThatFollowsThePacketCounts)
{
    std::vector<unsigned char> image = pattern_bytes(200, 6);
    std::vector<unsigned char> first = packet(data_field(image, 0), 1, true);
    std::vector<unsigned char> second = packet(data_field(image, 128), 2, true);
    // An ACK already queued before block 2 goes is not its answer: the NAK
    // that follows the packet is. The same before the EOT.
    EXPECT_EQ(send(image, {C, ACK, queued(ACK), queued('x'), NAK, ACK, queued(ACK), NAK, ACK}),
              256);
    EXPECT_EQ(script_written(), first + repeated(second, 2) + eot() + eot());

    // An ACK that comes after its try timed out is dropped while the line
    // settles; the repeat's ACK moves on, and block 2's refusal holds.
    EXPECT_EQ(send(image, {C, SILENCE, ACK, SILENCE, ACK, NAK, ACK, ACK}), 256);
    EXPECT_EQ(script_written(), repeated(first, 2) + repeated(second, 2) + eot());

    // The line must be quiet for 100 ms, but the sender waits 1 s at most:
    // the repeat goes 1 s after the time-out, into the chatter.
    std::vector<int> chatter(30, after_ms(50, 'x'));
    EXPECT_EQ(send(image, std::vector<int>{C, SILENCE} + chatter + acks(3)), 256);
    std::vector<long long> packets_at;
    for (const ScriptEvent &event : script_record().events) {
        if (event.write)
            packets_at.push_back(event.at_ms);
    }
    EXPECT_EQ(packets_at, (std::vector<long long>{0, 1000 + 1000, 2500, 2500}));
}

TEST(XmodemSend, CancelByTheReceiverIsAcknowledgedAndFlushed)
{
    std::vector<unsigned char> image = pattern_bytes(8, 5);
    // In the start phase, then after the first packet; the flush drains the
    // bytes the receiver still sends until it falls silent.
    EXPECT_EQ(send(image, {CAN, CAN, 'x', 'y'}), XMODEM_ERR_CANCELLED);
    EXPECT_EQ(script_written(), std::vector<unsigned char>{ACK});
    EXPECT_EQ(script_read_timeouts(), (std::vector<int>{2000, 1000, 1500, 1500, 1500}));

    std::string out;
    EXPECT_EQ(send(image, {C, CAN, CAN}, &out), XMODEM_ERR_CANCELLED);
    std::vector<unsigned char> expected = packet(data_field(image, 0), 1, true);
    expected.push_back(ACK);
    EXPECT_EQ(script_written(), expected);
    EXPECT_EQ(out, "\r                                   \rDownloading boot code...(  0%)");

    // A lone CAN in the start phase costs one try and nothing else.
    EXPECT_EQ(send(image, {CAN, 'C', NAK, ACK, ACK}), 128);

    // CAN CAN among the bytes dropped before a packet, or split between
    // them and the wait, cancels as it would while waiting.
    for (const std::vector<int> &dropped :
         {std::vector<int>{queued(CAN), queued(CAN), 'z'}, std::vector<int>{queued(CAN), CAN}}) {
        std::string shown;
        EXPECT_EQ(send(pattern_bytes(200, 5), std::vector<int>{C, ACK} + dropped, &shown),
                  XMODEM_ERR_CANCELLED);
        EXPECT_EQ(script_written().size(), 133u + 1u);
        EXPECT_EQ(script_written().back(), ACK);
        // Block 1 was acknowledged at 0 %, which shows already: nothing more.
        EXPECT_EQ(shown.substr(shown.size() - 6), "(  0%)");
    }

    // After the EOT, CAN CAN refuses the image: acknowledged and flushed.
    EXPECT_EQ(send(image, {C, ACK, CAN, CAN, 'z'}), XMODEM_ERR_CANCELLED);
    EXPECT_EQ(script_written(),
              packet(data_field(image, 0), 1, true) + eot() + std::vector<unsigned char>{ACK});
    EXPECT_EQ(script_record().answers_left, 0u);

    // A receiver that keeps talking after its cancel is flushed for 10 s.
    std::vector<int> chatter(100, after_ms(200, 'x'));
    EXPECT_EQ(send(image, std::vector<int>{CAN, CAN} + chatter), XMODEM_ERR_CANCELLED);
    EXPECT_EQ(script_record().clock_ms, 10000);
    EXPECT_EQ(script_record().answers_left, 50u);
}

TEST(XmodemSend, GivesUpWithoutStartCharacterAfter16Tries)
{
    std::vector<unsigned char> image = pattern_bytes(8, 6);
    std::string out;
    EXPECT_EQ(send(image, {}, &out), XMODEM_ERR_NO_SYNC);
    EXPECT_EQ(out, "");
    EXPECT_EQ(script_written(), (std::vector<unsigned char>{CAN, CAN, CAN}));
    EXPECT_EQ(script_record().clock_ms, 16 * 2000 + 1500);

    // Fifteen wrong answers still leave the sixteenth try.
    std::vector<int> noise(15, 'A');
    EXPECT_EQ(send(image, noise + std::vector<int>{C, ACK, ACK}), 128);
    EXPECT_EQ(send(image, noise + std::vector<int>{'A', C}), XMODEM_ERR_NO_SYNC);
}

TEST(XmodemSend, GivesUpOnABlockAfter25Tries)
{
    std::vector<unsigned char> image = pattern_bytes(8, 7);
    EXPECT_EQ(send(image, std::vector<int>{C} + std::vector<int>(25, NAK)),
              XMODEM_ERR_BLOCK_RETRIES);
    std::vector<unsigned char> expected;
    std::vector<unsigned char> p = packet(data_field(image, 0), 1, true);
    for (int i = 0; i < 25; ++i)
        expected.insert(expected.end(), p.begin(), p.end());
    expected.insert(expected.end(), {CAN, CAN, CAN});
    EXPECT_EQ(script_written(), expected);
    std::vector<size_t> writes(25, 133);
    writes.push_back(3);
    EXPECT_EQ(script_write_sizes(), writes);

    // An ACK on the 25th try is still in time.
    EXPECT_EQ(send(image, std::vector<int>{C} + std::vector<int>(24, NAK) + acks(2)), 128);
}

TEST(XmodemSend, UnacknowledgedEotFailsWithoutCancel)
{
    std::vector<unsigned char> image = pattern_bytes(8, 8);
    std::vector<int> answers = {C, ACK};
    EXPECT_EQ(send(image, answers + std::vector<int>(10, NAK)), XMODEM_ERR_NO_EOT_ACK);
    const std::vector<unsigned char> written = script_written();
    ASSERT_EQ(written.size(), 133u + 10u);
    EXPECT_EQ(std::count(written.begin() + 133, written.end(), EOT), 10);
    EXPECT_EQ(script_record().answers_left, 0u);

    // The tenth is still in time, and noise between the answers costs nothing.
    EXPECT_EQ(send(image, answers + std::vector<int>(9, NAK) + std::vector<int>{0x00, 'x', ACK}),
              128);
}

TEST(XmodemSend, FlushStopsAtZeroAndAtBytesAbove0x7F)
{
    std::vector<unsigned char> image = pattern_bytes(8, 9);
    EXPECT_EQ(send(image, {CAN, CAN, 0x7F, 0x00, 'z'}), XMODEM_ERR_CANCELLED);
    EXPECT_EQ(script_record().answers_left, 1u);
    EXPECT_EQ(send(image, {CAN, CAN, 0x01, 0x80, 'z'}), XMODEM_ERR_CANCELLED);
    EXPECT_EQ(script_record().answers_left, 1u);
    EXPECT_EQ(send(image, {CAN, CAN, 0xBB, 'z'}), XMODEM_ERR_CANCELLED);
    EXPECT_EQ(script_record().answers_left, 1u);
}

TEST(XmodemSend, ProgressCountsBlocksAlreadySent)
{
    std::string out;
    EXPECT_EQ(send(pattern_bytes(256, 10), std::vector<int>{C} + acks(4), &out), 384);
    // A percentage is written once, when it changes.
    EXPECT_EQ(out, "\r                                   \r"
                   "Downloading boot code...(  0%)"
                   "\b\b\b\b\b 50%)\b\b\b\b\b100%)");

    EXPECT_EQ(send(pattern_bytes(300, 11), std::vector<int>{C} + acks(4), &out), 384);
    EXPECT_EQ(out.substr(out.size() - 26), "(  0%)\b\b\b\b\b 42%)\b\b\b\b\b 85%)");

    // An empty image is its filler block, and complete with it.
    EXPECT_EQ(send({}, std::vector<int>{C} + acks(2), &out), 128);
    EXPECT_EQ(out.substr(out.size() - 10), "\b\b\b\b\b100%)");
}

TEST(XmodemSend, ProgressHoldsForImagesBeyond21MB)
{
    // sent * 100 overflows 32 bits from about 21.5 MB on.
    const size_t size = 22 * 1000 * 1000 + 1;
    std::string out;
    std::vector<unsigned char> image(size, 0x5A);
    ASSERT_GT(send(image, std::vector<int>{C} + acks(block_count(size) + 1), &out), 0);
    EXPECT_EQ(out.substr(out.size() - 20), "\b\b\b\b\b 98%)\b\b\b\b\b 99%)");
    EXPECT_EQ(out.find('-'), std::string::npos);
}
