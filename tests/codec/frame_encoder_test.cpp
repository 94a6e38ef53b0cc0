// Encoder: exact wire bytes, the length field, and every refusal of
// frame_init, frame_append and frame_encode_byte.
#include "codec_test_support.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

struct WireExample {
    const char *payload;
    const char *wire;
};

// The reference frames: plain, escaped payload bytes, 0xFF left alone, and
// checksums that are special themselves.
const WireExample kWireExamples[] = {
    {"00 00 00 00", "FE 04 00 00 00 00 00 04"},
    {"02 00 00 00", "FE 04 00 02 00 00 00 06"},
    {"01 00 00 00 00 00 00 00", "FE 08 00 01 00 00 00 00 00 00 00 09"},
    {"01 00 00 00 C0 FD FE FF", "FE 08 00 01 00 00 00 FD E0 FD DD FD DE FF 9A"},
    {"01 00 00 00 B7 00 00 00", "FE 08 00 01 00 00 00 B7 00 00 00 FD E0"},
    {"20 00 FD", "FE 03 00 20 00 FD DD FD DD"},
    {"FF", "FE 01 00 FF 00"},
    {"DD DE E0", "FE 03 00 DD DE E0 9E"},
};

TEST(FrameEncoder, WorkedExamplesEncodeExactlyAndDecodeBack)
{
    for (const WireExample &ex : kWireExamples) {
        SCOPED_TRACE(ex.payload);
        const Bytes payload = hex(ex.payload);
        const Bytes wire = hex(ex.wire);

        Codec tx;
        ASSERT_EQ(frame_append(&tx.ctx, payload.data(), payload.size(), 1), FRAME_TX_QUEUED);
        std::string results;
        EXPECT_EQ(toHex(encodeAll(&tx.ctx, &results)), toHex(wire));
        EXPECT_EQ(results, resultRun(wire.size(), 'M', 'T'));

        Codec rx;
        EXPECT_EQ(decodeAll(&rx.ctx, wire), resultRun(wire.size(), 'B', 'D'));
        EXPECT_EQ(toHex(rx.payload()), toHex(payload));
    }
}

// The length field: each of its bytes is stuffed on its own. The large
// lengths need a context wider than the one the tool uses.
TEST(FrameEncoder, LengthFieldIsStuffedBytewise)
{
    const struct {
        uint16_t length;
        const char *lengthWire;
    } cases[] = {
        {192, "FD E0 00"}, {253, "FD DD 00"},       {254, "FD DE 00"},       {255, "FF 00"},
        {0x2000, "00 20"}, {0xC0FD, "FD DD FD E0"}, {0xFEC0, "FD E0 FD DE"}, {0xFFFF, "FF FF"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.length);
        Bytes payload(c.length);
        for (size_t i = 0; i < payload.size(); ++i) {
            payload[i] = static_cast<uint8_t>(i * 7);
        }
        Codec tx(0xFFFF);
        ASSERT_EQ(frame_append(&tx.ctx, payload.data(), c.length, 1), FRAME_TX_QUEUED);
        const Bytes wire = encodeAll(&tx.ctx);
        const Bytes expected = hex(c.lengthWire);
        ASSERT_GT(wire.size(), expected.size() + 1);
        EXPECT_EQ(toHex(Bytes(wire.begin() + 1, wire.begin() + 1 + expected.size())), c.lengthWire);

        Codec rx(0xFFFF);
        EXPECT_EQ(decodeAll(&rx.ctx, wire), resultRun(wire.size(), 'B', 'D'));
        EXPECT_EQ(rx.payload(), payload);
    }
}

TEST(FrameEncoder, ChunkedAppendFramesAsOnePayload)
{
    Codec tx;
    const Bytes first = hex("01 00 00 00");
    const Bytes second = hex("B7 00 00 00");
    ASSERT_EQ(frame_append(&tx.ctx, first.data(), 4, 0), FRAME_TX_QUEUED);
    EXPECT_EQ(tx.ctx.state, FRAME_ST_TX_FILLING);
    ASSERT_EQ(frame_append(&tx.ctx, second.data(), 4, 1), FRAME_TX_QUEUED);
    std::string results;
    EXPECT_EQ(toHex(encodeAll(&tx.ctx, &results)), "FE 08 00 01 00 00 00 B7 00 00 00 FD E0");
    EXPECT_EQ(results, "MMMMMMMMMMMMT");
    // The context keeps the frame until it is reset.
    EXPECT_EQ(tx.ctx.state, FRAME_ST_TX_DONE);
    EXPECT_EQ(tx.ctx.payloadLength, 8);
    EXPECT_EQ(tx.ctx.checksum, 0xC0);
    EXPECT_EQ(toHex(tx.payload()), "01 00 00 00 B7 00 00 00");
}

TEST(FrameInit, RefusesWithoutTouchingTheRecord)
{
    uint8_t buffer[4] = {1, 2, 3, 4};
    const struct {
        const char *name;
        bool withCodec;
        uint8_t *buffer;
        uint16_t capacity;
    } cases[] = {
        {"no codec", false, buffer, 4},
        {"no buffer", true, nullptr, 4},
        {"zero capacity", true, buffer, 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        FrameCodec codec;
        std::memset(&codec, 0x5C, sizeof codec);
        FrameCodec before;
        std::memcpy(&before, &codec, sizeof codec);
        EXPECT_EQ(frame_init(c.withCodec ? &codec : nullptr, c.buffer, c.capacity), FRAME_ERROR);
        EXPECT_EQ(std::memcmp(&codec, &before, sizeof codec), 0);
        EXPECT_EQ(buffer[0], 1);
    }
}

void countCall() {}

TEST(FrameInit, ClearsHooksCountersAndBuffer)
{
    Bytes buffer(16, 0xEE);
    FrameCodec codec;
    std::memset(&codec, 0x5C, sizeof codec);
    codec.byteHook = countCall;
    codec.stateHook = countCall;
    ASSERT_EQ(frame_init(&codec, buffer.data(), 12), FRAME_OK);
    EXPECT_EQ(codec.buffer, buffer.data());
    EXPECT_EQ(codec.capacity, 12);
    EXPECT_EQ(codec.reserved0, nullptr);
    EXPECT_EQ(codec.byteHook, nullptr);
    EXPECT_EQ(codec.reserved1, nullptr);
    EXPECT_EQ(codec.stateHook, nullptr);
    EXPECT_EQ(codec.payloadLength, 0);
    EXPECT_EQ(codec.payloadIndex, 0);
    EXPECT_EQ(codec.reserved2, 0);
    EXPECT_EQ(codec.checksum, 0);
    EXPECT_EQ(codec.state, FRAME_ST_IDLE);
    // Exactly `capacity` bytes are the codec's.
    EXPECT_EQ(toHex(buffer), "00 00 00 00 00 00 00 00 00 00 00 00 EE EE EE EE");
}

int resetHookCalls = 0;
void countReset()
{
    ++resetHookCalls;
}

TEST(FrameReset, ReturnsToIdleFromEveryState)
{
    for (int state = FRAME_ST_NONE; state <= FRAME_ST_TX_CHECKSUM_ESC + 1; ++state) {
        SCOPED_TRACE(state);
        Codec c(32);
        std::memset(c.buffer.data(), 0x77, c.buffer.size());
        c.ctx.state = state;
        c.ctx.payloadLength = 9;
        c.ctx.payloadIndex = 5;
        c.ctx.reserved2 = 3;
        c.ctx.checksum = 0x42;
        c.ctx.stateHook = countReset;
        resetHookCalls = 0;

        frame_reset(&c.ctx);
        EXPECT_EQ(c.ctx.state, FRAME_ST_IDLE);
        EXPECT_EQ(c.ctx.payloadLength, 0);
        EXPECT_EQ(c.ctx.payloadIndex, 0);
        EXPECT_EQ(c.ctx.reserved2, 0);
        EXPECT_EQ(c.ctx.checksum, 0);
        EXPECT_TRUE(c.bufferIsZero());
        EXPECT_EQ(c.ctx.buffer, c.buffer.data());
        EXPECT_EQ(c.ctx.capacity, 32);
        EXPECT_EQ(c.ctx.stateHook, countReset);
        EXPECT_EQ(resetHookCalls, 1);
    }
    frame_reset(nullptr); // ignored
}

// A sequence of appends on a fresh context and where it must leave it.
struct AppendStep {
    uint16_t count;
    uint8_t last;
    int result;
};

struct AppendCase {
    const char *name;
    std::vector<AppendStep> steps;
    uint16_t payloadLength;
    uint16_t payloadIndex;
    int state;
};

TEST(FrameAppend, AcceptsWhatFitsAndRefusesTheRest)
{
    const AppendCase cases[] = {
        {"fills capacity exactly", {{kCap, 1, FRAME_TX_QUEUED}}, kCap, 0, FRAME_ST_TX_START},
        {"one byte over capacity", {{kCap + 1, 1, FRAME_ERROR}}, 0, 0, FRAME_ST_IDLE},
        {"second chunk overflows",
         {{8000, 0, FRAME_TX_QUEUED}, {203, 1, FRAME_ERROR}},
         8000,
         8000,
         FRAME_ST_TX_FILLING},
        {"second chunk fills up",
         {{8000, 0, FRAME_TX_QUEUED}, {203, 0, FRAME_ERROR}, {202, 1, FRAME_TX_QUEUED}},
         kCap,
         0,
         FRAME_ST_TX_START},
        // 8000 + 65535 wraps to 7999 in 16 bits.
        {"no 16-bit wrap",
         {{8000, 0, FRAME_TX_QUEUED}, {65535, 1, FRAME_ERROR}},
         8000,
         8000,
         FRAME_ST_TX_FILLING},
        {"nothing after last",
         {{4, 1, FRAME_TX_QUEUED}, {4, 1, FRAME_ERROR}, {0, 0, FRAME_ERROR}},
         4,
         0,
         FRAME_ST_TX_START},
        {"empty final payload", {{0, 1, FRAME_ERROR}}, 0, 0, FRAME_ST_IDLE},
        {"empty chunks then empty last",
         {{0, 0, FRAME_TX_QUEUED}, {0, 1, FRAME_ERROR}},
         0,
         0,
         FRAME_ST_TX_FILLING},
        {"empty last after data",
         {{3, 0, FRAME_TX_QUEUED}, {0, 1, FRAME_TX_QUEUED}},
         3,
         0,
         FRAME_ST_TX_START},
    };
    Bytes source(65535);
    for (size_t i = 0; i < source.size(); ++i) {
        source[i] = static_cast<uint8_t>(i % 251 + 1);
    }
    for (const AppendCase &c : cases) {
        SCOPED_TRACE(c.name);
        Codec tx;
        size_t offset = 0;
        for (const AppendStep &step : c.steps) {
            const int r = frame_append(&tx.ctx, source.data() + offset, step.count, step.last);
            EXPECT_EQ(r, step.result);
            if (r == FRAME_TX_QUEUED) {
                offset += step.count;
            }
        }
        EXPECT_EQ(tx.ctx.payloadLength, c.payloadLength);
        EXPECT_EQ(tx.ctx.payloadIndex, c.payloadIndex);
        EXPECT_EQ(tx.ctx.state, c.state);
        // Accepted bytes in order, nothing written past them.
        EXPECT_TRUE(
            std::equal(source.begin(), source.begin() + c.payloadLength, tx.buffer.begin()));
        for (size_t i = c.payloadLength; i < tx.buffer.size(); ++i) {
            ASSERT_EQ(tx.buffer[i], 0) << "at " << i;
        }
    }
}

TEST(FrameAppend, RefusesAbsentPointersAndDecoderStates)
{
    Codec tx;
    const uint8_t byte = 1;
    EXPECT_EQ(frame_append(nullptr, &byte, 1, 1), FRAME_ERROR);
    EXPECT_EQ(frame_append(&tx.ctx, nullptr, 1, 1), FRAME_ERROR);
    EXPECT_EQ(frame_decode_byte(&tx.ctx, FRAME_START), FRAME_RX_BUSY);
    EXPECT_EQ(frame_append(&tx.ctx, &byte, 1, 1), FRAME_ERROR);
    EXPECT_EQ(tx.ctx.state, FRAME_ST_RX_LEN_LO);
}

TEST(FrameEncodeByte, RefusesOutsideTheEmittingStatesAndWritesNothing)
{
    const uint8_t ping[4] = {0, 0, 0, 0};
    const struct {
        const char *name;
        void (*prepare)(FrameCodec *, const uint8_t *);
    } cases[] = {
        {"just reset", [](FrameCodec *, const uint8_t *) {}},
        {"still filling", [](FrameCodec *c, const uint8_t *p) { frame_append(c, p, 4, 0); }},
        {"frame complete",
         [](FrameCodec *c, const uint8_t *p) {
             frame_append(c, p, 4, 1);
             encodeAll(c);
         }},
        {"decoding", [](FrameCodec *c, const uint8_t *) { frame_decode_byte(c, FRAME_START); }},
        {"never initialised", [](FrameCodec *c, const uint8_t *) { c->state = FRAME_ST_NONE; }},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        Codec tx(16);
        c.prepare(&tx.ctx, ping);
        FrameCodec before;
        std::memcpy(&before, &tx.ctx, sizeof before);
        for (int i = 0; i < 3; ++i) {
            uint8_t out = 0x5A;
            EXPECT_EQ(frame_encode_byte(&tx.ctx, &out), FRAME_ERROR);
            EXPECT_EQ(out, 0x5A);
        }
        EXPECT_EQ(std::memcmp(&tx.ctx, &before, sizeof before), 0);
        // Once complete, appending is refused too until a reset.
        if (tx.ctx.state == FRAME_ST_TX_DONE) {
            EXPECT_EQ(frame_append(&tx.ctx, ping, 4, 1), FRAME_ERROR);
            frame_reset(&tx.ctx);
            EXPECT_EQ(frame_append(&tx.ctx, ping, 4, 1), FRAME_TX_QUEUED);
        }
    }
    uint8_t out = 0;
    EXPECT_EQ(frame_encode_byte(nullptr, &out), FRAME_ERROR);
}

} // namespace
