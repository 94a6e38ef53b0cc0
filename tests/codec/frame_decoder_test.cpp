// Decoder: answers byte by byte for good and broken streams, recovery after
// each of them, refusal in foreign states, and when the hooks fire.
#include "codec_test_support.h"

#include <gtest/gtest.h>

#include <cstring>
#include <initializer_list>

namespace {

enum class Buffer { Unchecked, Zeroed };

struct StreamCase {
    const char *name;
    uint16_t capacity;
    const char *wire;
    const char *results; // one letter per byte, see resultLetter
    int state;
    int length;          // expected payloadLength, -1 unchecked
    const char *payload; // expected leading bytes of buffer, nullptr unchecked
    Buffer buffer;
};

const StreamCase kStreams[] = {
    {"ping", kCap, "FE 04 00 00 00 00 00 04", "BBBBBBBD", FRAME_ST_IDLE, 4, "00 00 00 00",
     Buffer::Unchecked},
    {"noise before start", kCap, "00 FF C0 FD 20 DD FE 04 00 00 00 00 00 04", "OOOOOOBBBBBBBD",
     FRAME_ST_IDLE, 4, "00 00 00 00", Buffer::Unchecked},
    {"bytes after a frame ignored", kCap, "FE 01 00 41 42 41 FD 00", "BBBBDOOO", FRAME_ST_IDLE, 1,
     "41", Buffer::Unchecked},
    {"bad checksum", kCap, "FE 04 00 00 00 00 00 05", "BBBBBBBE", FRAME_ST_IDLE, 0, nullptr,
     Buffer::Zeroed},
    {"bad checksum drops payload", kCap, "FE 02 00 11 22 00", "BBBBBE", FRAME_ST_IDLE, 0, nullptr,
     Buffer::Zeroed},
    {"restart in payload", kCap, "FE 04 00 FE 04 00 00 00 00 00 04", "BBBEBBBBBBD", FRAME_ST_IDLE,
     4, "00 00 00 00", Buffer::Unchecked},
    {"start byte twice", kCap, "FE FE 04 00 00 00 00 00 04", "BEBBBBBBD", FRAME_ST_IDLE, 4,
     "00 00 00 00", Buffer::Unchecked},
    {"restart keeps stale bytes", kCap, "FE 04 00 11 22 FE", "BBBBBE", FRAME_ST_RX_LEN_LO, 0,
     "11 22", Buffer::Unchecked},
    {"restart after escape", kCap, "FE 04 00 11 FD FE", "BBBBBE", FRAME_ST_RX_LEN_LO, 0, "11",
     Buffer::Unchecked},
    {"restart at checksum", kCap, "FE 01 00 11 FE", "BBBBE", FRAME_ST_RX_LEN_LO, 0, "11",
     Buffer::Unchecked},
    {"restart after checksum escape", kCap, "FE 01 00 11 FD FE", "BBBBBE", FRAME_ST_RX_LEN_LO, 0,
     "11", Buffer::Unchecked},
    {"restart in length high", kCap, "FE 04 FE", "BBE", FRAME_ST_RX_LEN_LO, 0, nullptr,
     Buffer::Unchecked},
    {"escape after escape, length low", kCap, "FE FD FD", "BBE", FRAME_ST_IDLE, 0, nullptr,
     Buffer::Zeroed},
    {"escape after escape, length high", kCap, "FE 04 FD FD", "BBBE", FRAME_ST_IDLE, 0, nullptr,
     Buffer::Zeroed},
    {"escape after escape, payload", kCap, "FE 04 00 11 FD FD", "BBBBBE", FRAME_ST_IDLE, 0, nullptr,
     Buffer::Zeroed},
    {"escape after escape, checksum", kCap, "FE 01 00 11 FD FD", "BBBBBE", FRAME_ST_IDLE, 0,
     nullptr, Buffer::Zeroed},
    {"length equal to capacity", kCap, "FE 0A 20", "BBB", FRAME_ST_RX_DATA, kCap, nullptr,
     Buffer::Unchecked},
    {"length over capacity", kCap, "FE 0B 20", "BBE", FRAME_ST_IDLE, 0, nullptr, Buffer::Zeroed},
    {"small capacity, length fits", 3, "FE 03 00", "BBB", FRAME_ST_RX_DATA, 3, nullptr,
     Buffer::Unchecked},
    {"small capacity, length over", 3, "FE 04 00", "BBE", FRAME_ST_IDLE, 0, nullptr,
     Buffer::Zeroed},
    {"escaped high byte over capacity", 3, "FE 00 FD 21", "BBBE", FRAME_ST_IDLE, 0, nullptr,
     Buffer::Zeroed},
    {"small capacity filled", 3, "FE 03 00 01 02 03 09", "BBBBBBD", FRAME_ST_IDLE, 3, "01 02 03",
     Buffer::Unchecked},
    {"zero length", kCap, "FE 00 00", "BBE", FRAME_ST_IDLE, 0, nullptr, Buffer::Zeroed},
    {"zero length, escaped high byte", kCap, "FE 00 FD 20", "BBBE", FRAME_ST_IDLE, 0, nullptr,
     Buffer::Zeroed},
    {"escaped checksum", kCap, "FE 04 00 00 00 00 00 FD 24", "BBBBBBBBD", FRAME_ST_IDLE, 4,
     "00 00 00 00", Buffer::Unchecked},
    {"escaped checksum mismatch", kCap, "FE 04 00 00 00 00 00 FD 25", "BBBBBBBBE", FRAME_ST_IDLE, 0,
     nullptr, Buffer::Zeroed},
    {"special checksum", kCap, "FE 08 00 01 00 00 00 B7 00 00 00 FD E0", "BBBBBBBBBBBBD",
     FRAME_ST_IDLE, 8, "01 00 00 00 B7 00 00 00", Buffer::Unchecked},
    {"unescaped C0 is data", kCap, "FE 01 00 C0 C1", "BBBBD", FRAME_ST_IDLE, 1, "C0",
     Buffer::Unchecked},
    // Escaped forms the sender never produces are still accepted.
    {"escaped ordinary byte", kCap, "FE 01 00 FD 61 5F", "BBBBBD", FRAME_ST_IDLE, 1, "41",
     Buffer::Unchecked},
    {"escaped length low", kCap, "FE FD 21 00 41 5F", "BBBBBD", FRAME_ST_IDLE, 1, "41",
     Buffer::Unchecked},
};

// Whatever a stream left behind, the next frame must come through without
// help; a frame still open when its FE arrives is restarted by it.
const char *const kFollowUp = "FE 03 00 01 02 03 09";

TEST(FrameDecoder, StreamsAnswerByteByByteAndRecover)
{
    for (const StreamCase &c : kStreams) {
        SCOPED_TRACE(c.name);
        Codec rx(c.capacity);
        const Bytes wire = hex(c.wire);
        ASSERT_EQ(std::strlen(c.results), wire.size());

        EXPECT_EQ(decodeAll(&rx.ctx, wire), c.results);
        EXPECT_EQ(rx.ctx.state, c.state);
        if (c.length >= 0) {
            EXPECT_EQ(rx.ctx.payloadLength, c.length);
        }
        if (c.payload != nullptr) {
            const Bytes expected = hex(c.payload);
            EXPECT_EQ(toHex(Bytes(rx.buffer.begin(), rx.buffer.begin() + expected.size())),
                      toHex(expected));
        }
        if (c.buffer == Buffer::Zeroed) {
            EXPECT_TRUE(rx.bufferIsZero());
            EXPECT_EQ(rx.ctx.checksum, 0);
            EXPECT_EQ(rx.ctx.payloadIndex, 0);
        }
        EXPECT_LE(rx.ctx.payloadIndex, rx.ctx.capacity);

        const char first = rx.ctx.state == FRAME_ST_IDLE ? 'B' : 'E';
        EXPECT_EQ(decodeAll(&rx.ctx, hex(kFollowUp)), first + std::string("BBBBBD"));
        EXPECT_EQ(toHex(rx.payload()), "01 02 03");
    }
}

// Counts hook calls as a trace: one '|' per byte fed, then 's' / 'b' per call.
std::string hookTrace;
void stateHook()
{
    hookTrace += 's';
}
void byteHook()
{
    hookTrace += 'b';
}

std::string traceOf(FrameCodec *ctx, const Bytes &wire)
{
    hookTrace.clear();
    for (uint8_t b : wire) {
        hookTrace += '|';
        frame_decode_byte(ctx, b);
    }
    return hookTrace;
}

TEST(FrameDecoder, HooksFireOnBusyRestartDoneAndAbort)
{
    const struct {
        const char *name;
        bool withState;
        bool withByte;
        const char *wire;
        const char *trace;
    } cases[] = {
        {"frame", true, true, "FE 01 00 41 42", "|sb|sb|sb|sb|s"},
        {"noise", true, true, "00 FD C0", "|||"},
        {"escaped checksum", true, true, "FE 04 00 00 00 00 00 FD 24", "|sb|sb|sb|sb|sb|sb|sb||s"},
        {"escaped payload", true, true, "FE 01 00 FD 61 5F", "|sb|sb|sb|sb|sb|s"},
        {"restart", true, true, "FE 04 FE", "|sb|sb|sb"},
        {"abort on escape", true, true, "FE FD FD", "|sb|sb|s"},
        {"abort on length", true, true, "FE 00 00", "|sb|sb|s"},
        {"abort on checksum", true, true, "FE 01 00 41 00", "|sb|sb|sb|sb|s"},
        {"state hook alone", true, false, "FE 01 00 41 42 FE FE 00 00", "|||||s||||s"},
        {"byte hook alone", false, true, "FE 01 00 41 42 FE FE 00 00", "|||||||||"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        Codec rx;
        rx.ctx.stateHook = c.withState ? stateHook : nullptr;
        rx.ctx.byteHook = c.withByte ? byteHook : nullptr;
        EXPECT_EQ(traceOf(&rx.ctx, hex(c.wire)), c.trace);
    }
}

TEST(FrameDecoder, HooksOutsideTheDecoder)
{
    Codec c;
    c.ctx.stateHook = stateHook;
    c.ctx.byteHook = byteHook;
    const uint8_t payload[] = {0xC0, 0x01};

    hookTrace.clear();
    ASSERT_EQ(frame_append(&c.ctx, payload, sizeof payload, 1), FRAME_TX_QUEUED);
    encodeAll(&c.ctx);
    EXPECT_EQ(hookTrace, "") << "the encoder calls no hook";
    EXPECT_EQ(traceOf(&c.ctx, hex("FE")), "|") << "decoding in an encoder state";

    hookTrace.clear();
    frame_reset(&c.ctx);
    EXPECT_EQ(hookTrace, "s");

    frame_init(&c.ctx, c.buffer.data(), kCap);
    EXPECT_EQ(traceOf(&c.ctx, hex("FE 01 00 41 42")), "|||||") << "init clears the hooks";
}

TEST(FrameDecoder, RefusesForeignStatesWithoutChange)
{
    for (int state : std::initializer_list<int>{
             FRAME_ST_NONE, FRAME_ST_TX_FILLING, FRAME_ST_TX_START, FRAME_ST_TX_DATA,
             FRAME_ST_TX_DONE, FRAME_ST_TX_CHECKSUM_ESC, 22, -1}) {
        SCOPED_TRACE(state);
        Codec rx(8);
        rx.ctx.state = state;
        rx.ctx.payloadLength = 2;
        rx.ctx.checksum = 0x33;
        FrameCodec before;
        std::memcpy(&before, &rx.ctx, sizeof before);
        for (uint8_t b : hex("FE FD 00 C0")) {
            EXPECT_EQ(frame_decode_byte(&rx.ctx, b), FRAME_ERROR);
        }
        EXPECT_EQ(std::memcmp(&rx.ctx, &before, sizeof before), 0);
    }
    EXPECT_EQ(frame_decode_byte(nullptr, FRAME_START), FRAME_ERROR);
}

} // namespace
