// Helpers shared by the codec tests: hex byte lists, driving the encoder and
// decoder over whole byte sequences, and result codes as compact strings.
#ifndef TESTS_CODEC_CODEC_TEST_SUPPORT_H
#define TESTS_CODEC_CODEC_TEST_SUPPORT_H

#include "framing/frame_codec.h"
#include "protocol/device_message.h"

#include <cstdint>
#include <sstream>
#include <string>
#include <vector>

using Bytes = std::vector<uint8_t>;

// The capacity every codec of the tool and the simulator has.
constexpr uint16_t kCap = FRAME_BUFFER_SIZE;

// "FE 04 00" -> {0xFE, 0x04, 0x00}
inline Bytes hex(const std::string &text)
{
    Bytes out;
    std::istringstream in(text);
    std::string token;
    while (in >> token) {
        out.push_back(static_cast<uint8_t>(std::stoul(token, nullptr, 16)));
    }
    return out;
}

inline std::string toHex(const Bytes &bytes)
{
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    for (uint8_t b : bytes) {
        if (!out.empty()) {
            out += ' ';
        }
        out += digits[b >> 4];
        out += digits[b & 0xF];
    }
    return out;
}

// One letter per result code, so a whole stream's answers read as one word:
// O ok, B rx busy, D rx done, Q tx queued, M tx more, T tx done, E error.
inline char resultLetter(int result)
{
    static const char letters[] = "OBDQMTE";
    return result >= 0 && result <= FRAME_ERROR ? letters[result] : '?';
}

// A context with its own payload buffer.
struct Codec {
    explicit Codec(uint16_t capacity = kCap) : buffer(capacity, 0xAA)
    {
        frame_init(&ctx, buffer.data(), capacity);
    }
    Codec(const Codec &) = delete;
    Codec &operator=(const Codec &) = delete;

    Bytes payload() const { return Bytes(buffer.begin(), buffer.begin() + ctx.payloadLength); }
    bool bufferIsZero() const
    {
        for (uint8_t b : buffer) {
            if (b != 0) {
                return false;
            }
        }
        return true;
    }

    FrameCodec ctx{};
    Bytes buffer;
};

// Drains the encoder; the result letters of every call go to `results`.
inline Bytes encodeAll(FrameCodec *ctx, std::string *results = nullptr)
{
    Bytes wire;
    for (;;) {
        uint8_t out = 0;
        const int r = frame_encode_byte(ctx, &out);
        if (results != nullptr) {
            *results += resultLetter(r);
        }
        if (r != FRAME_TX_MORE && r != FRAME_TX_DONE) {
            break;
        }
        wire.push_back(out);
        if (r == FRAME_TX_DONE) {
            break;
        }
    }
    return wire;
}

// Feeds every byte to the decoder and returns the result letters.
inline std::string decodeAll(FrameCodec *ctx, const Bytes &wire)
{
    std::string results;
    for (uint8_t b : wire) {
        results += resultLetter(frame_decode_byte(ctx, b));
    }
    return results;
}

// n - 1 letters `each` followed by one `last`.
inline std::string resultRun(size_t n, char each, char last)
{
    return n == 0 ? std::string() : std::string(n - 1, each) + last;
}

#endif // TESTS_CODEC_CODEC_TEST_SUPPORT_H
