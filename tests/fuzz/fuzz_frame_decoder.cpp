// libFuzzer target for the frame codec.
//
// 1. Arbitrary bytes go to a decoder with the tool's capacity and to one with
//    a tiny capacity. Each payload buffer sits between guard bytes that are
//    checked after every byte, and the counters must stay within bounds.
// 2. Without any reset, one valid frame must then still decode completely:
//    the decoder resynchronises by itself whatever came before.
// 3. The input, used as a payload, must survive encode and decode unchanged.
#include "framing/frame_codec.h"
#include "protocol/device_message.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

#define FUZZ_CHECK(cond)                                                                           \
    do {                                                                                           \
        if (!(cond)) {                                                                             \
            std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond);          \
            std::abort();                                                                          \
        }                                                                                          \
    } while (0)

constexpr uint16_t kToolCapacity = FRAME_BUFFER_SIZE;
constexpr size_t kGuard = 32;
constexpr uint8_t kCanary = 0xA5;
const uint8_t kCanaries[kGuard] = {
    kCanary, kCanary, kCanary, kCanary, kCanary, kCanary, kCanary, kCanary,
    kCanary, kCanary, kCanary, kCanary, kCanary, kCanary, kCanary, kCanary,
    kCanary, kCanary, kCanary, kCanary, kCanary, kCanary, kCanary, kCanary,
    kCanary, kCanary, kCanary, kCanary, kCanary, kCanary, kCanary, kCanary,
};

// A 3-byte payload with an escaped byte and an unescaped 0xFF, so that it
// fits the tiny context too.
const uint8_t kValidFrame[] = {0xFE, 0x03, 0x00, 0xFD, 0xE0, 0x41, 0xFF, 0x20};
const uint8_t kValidPayload[] = {0xC0, 0x41, 0xFF};

unsigned stateHookCalls;
unsigned byteHookCalls;
void onState()
{
    ++stateHookCalls;
}
void onByte()
{
    ++byteHookCalls;
}

template <uint16_t Capacity> struct GuardedDecoder {
    uint8_t storage[kGuard + Capacity + kGuard];
    FrameCodec codec;

    uint8_t *buffer() { return storage + kGuard; }

    void init()
    {
        std::memset(storage, kCanary, sizeof storage);
        FUZZ_CHECK(frame_init(&codec, buffer(), Capacity) == FRAME_OK);
    }

    void checkInvariants(int result) const
    {
        FUZZ_CHECK(std::memcmp(storage, kCanaries, kGuard) == 0);
        FUZZ_CHECK(std::memcmp(storage + kGuard + Capacity, kCanaries, kGuard) == 0);
        FUZZ_CHECK(codec.capacity == Capacity);
        FUZZ_CHECK(codec.payloadIndex <= Capacity);
        FUZZ_CHECK(codec.state >= FRAME_ST_IDLE && codec.state <= FRAME_ST_RX_CHECKSUM_ESC);
        FUZZ_CHECK(result == FRAME_OK || result == FRAME_RX_BUSY || result == FRAME_RX_DONE ||
                   result == FRAME_ERROR);
        if (codec.state >= FRAME_ST_RX_DATA) {
            FUZZ_CHECK(codec.payloadLength >= 1 && codec.payloadLength <= Capacity);
            FUZZ_CHECK(codec.payloadIndex <= codec.payloadLength);
        }
        if (result == FRAME_RX_DONE) {
            FUZZ_CHECK(codec.state == FRAME_ST_IDLE);
            FUZZ_CHECK(codec.payloadLength >= 1 && codec.payloadIndex == codec.payloadLength);
        }
    }

    int feed(uint8_t byte)
    {
        const int result = frame_decode_byte(&codec, byte);
        checkInvariants(result);
        return result;
    }

    void expectValidFrameDecodes()
    {
        for (size_t i = 0; i < sizeof kValidFrame; ++i) {
            const int result = feed(kValidFrame[i]);
            if (i == 0) {
                // A frame still open is restarted by the start byte.
                FUZZ_CHECK(result == FRAME_RX_BUSY || result == FRAME_ERROR);
            } else if (i + 1 < sizeof kValidFrame) {
                FUZZ_CHECK(result == FRAME_RX_BUSY);
            } else {
                FUZZ_CHECK(result == FRAME_RX_DONE);
            }
        }
        FUZZ_CHECK(codec.payloadLength == sizeof kValidPayload);
        FUZZ_CHECK(std::memcmp(buffer(), kValidPayload, sizeof kValidPayload) == 0);
    }
};

GuardedDecoder<kToolCapacity> toolDecoder;
GuardedDecoder<3> tinyDecoder;

// Payload chunks of sizes taken from the data itself, the last one flagged.
void roundTrip(const uint8_t *data, size_t size)
{
    static uint8_t txBuffer[kToolCapacity];
    static uint8_t wire[2 * kToolCapacity + 7];
    if (size == 0 || size > kToolCapacity) {
        return;
    }
    FrameCodec tx;
    FUZZ_CHECK(frame_init(&tx, txBuffer, kToolCapacity) == FRAME_OK);
    size_t done = 0;
    while (done < size) {
        const size_t rest = size - done;
        const size_t take = 1 + data[done] % rest;
        const uint8_t last = done + take == size;
        FUZZ_CHECK(frame_append(&tx, data + done, static_cast<uint16_t>(take), last) ==
                   FRAME_TX_QUEUED);
        done += take;
    }

    size_t wireLen = 0;
    for (;;) {
        FUZZ_CHECK(wireLen < sizeof wire);
        const int result = frame_encode_byte(&tx, &wire[wireLen++]);
        FUZZ_CHECK(result == FRAME_TX_MORE || result == FRAME_TX_DONE);
        if (result == FRAME_TX_DONE) {
            break;
        }
    }
    FUZZ_CHECK(wireLen >= size + 4 && wireLen <= 2 * size + 7);

    toolDecoder.init();
    for (size_t i = 0; i < wireLen; ++i) {
        const int result = toolDecoder.feed(wire[i]);
        FUZZ_CHECK(result == (i + 1 < wireLen ? FRAME_RX_BUSY : FRAME_RX_DONE));
    }
    FUZZ_CHECK(toolDecoder.codec.payloadLength == size);
    FUZZ_CHECK(std::memcmp(toolDecoder.buffer(), data, size) == 0);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    toolDecoder.init();
    tinyDecoder.init();
    toolDecoder.codec.stateHook = onState;
    toolDecoder.codec.byteHook = onByte;
    stateHookCalls = 0;
    byteHookCalls = 0;

    for (size_t i = 0; i < size; ++i) {
        toolDecoder.feed(data[i]);
        tinyDecoder.feed(data[i]);
    }
    // Both hooks fire together, and stateHook fires alone on top.
    FUZZ_CHECK(stateHookCalls >= byteHookCalls);

    toolDecoder.expectValidFrameDecodes();
    tinyDecoder.expectValidFrameDecodes();

    roundTrip(data, size);
    return 0;
}
