// Fuzzes the Telnet decoder with whatever a port server may send: split
// anywhere, the stream gives the same data, answers and confirmations as
// whole, nothing the server sends makes the session outgrow its record, and
// no byte of a subnegotiation, however long, ever comes out as data.
//
// Input: one byte that chooses where to split, then the server's stream.
#include "serial/telnet.h"

#include <cstdio>
#include <cstdlib>
#include <vector>

namespace
{

struct Decoded {
    std::string data;
    std::string answers;
    std::vector<std::pair<int, uint32_t>> confirmations;
    int binary;
};

Decoded decode(const std::vector<unsigned char> &stream, size_t split)
{
    TelnetSession session;
    Decoded decoded;
    telnet_start(&session);
    for (const auto &[from, to] : {std::pair<size_t, size_t>{0, split}, {split, stream.size()}}) {
        std::vector<unsigned char> piece(stream.begin() + from, stream.begin() + to);
        int got =
            telnet_take(&session, piece.data(), static_cast<int>(piece.size()), &decoded.answers);
        if (got < 0 || got > static_cast<int>(piece.size()) ||
            session.sub_length > TELNET_SUBNEGOTIATION_MAX ||
            session.confirmation_count > TELNET_CONFIRMATIONS_MAX) {
            fprintf(stderr, "broken: the session left its bounds\n");
            abort();
        }
        decoded.data.append(piece.begin(), piece.begin() + got);
    }
    int command;
    uint32_t value;
    while (telnet_next_confirmation(&session, &command, &value))
        decoded.confirmations.emplace_back(command, value);
    decoded.binary = telnet_binary_agreed(&session);
    return decoded;
}

// The stream as the body of one subnegotiation, its 0xFF bytes doubled, and
// a data byte after it: that byte alone is data, wherever the decoder's
// input is split.
void check_subnegotiation_is_no_data(const std::vector<unsigned char> &body, size_t split)
{
    std::vector<unsigned char> stream = {0xFF, 0xFA};
    for (unsigned char byte : body) {
        stream.push_back(byte);
        if (byte == 0xFF)
            stream.push_back(byte);
    }
    stream.insert(stream.end(), {0xFF, 0xF0, 'd'});
    if (decode(stream, split % (stream.size() + 1)).data != "d") {
        fprintf(stderr, "broken: a subnegotiation's bytes came out as data\n");
        abort();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *input, size_t size)
{
    if (size == 0)
        return 0;
    std::vector<unsigned char> stream(input + 1, input + size);
    size_t split = input[0] % (stream.size() + 1);
    Decoded whole = decode(stream, stream.size());
    Decoded parts = decode(stream, split);
    if (whole.data != parts.data || whole.answers != parts.answers ||
        whole.confirmations != parts.confirmations || whole.binary != parts.binary) {
        fprintf(stderr, "broken: split at %zu gives another result\n", split);
        abort();
    }
    // Every answer is a whole Telnet command: IAC, a verb, an option.
    if (whole.answers.size() % 3 != 0) {
        fprintf(stderr, "broken: an answer that is no command\n");
        abort();
    }
    check_subnegotiation_is_no_data(stream, split);
    return 0;
}
