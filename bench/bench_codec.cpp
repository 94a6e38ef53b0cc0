// Frame codec throughput in payload bytes per second, beside a plain memcpy
// of the same bytes as the yardstick. Sizes: the 4-byte requests, the
// 2323-byte Config Query response and the largest (8198-byte) message.
#include "framing/frame_codec.h"
#include "protocol/device_message.h"

#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

namespace {

constexpr uint16_t kCapacity = FRAME_BUFFER_SIZE;

// Random bytes, about one in ten of them one that needs escaping.
std::vector<uint8_t> makePayload(size_t size)
{
    static const uint8_t special[] = {0xC0, 0xFD, 0xFE};
    std::mt19937 rng(static_cast<uint32_t>(size));
    std::vector<uint8_t> payload(size);
    for (uint8_t &b : payload) {
        const uint32_t r = rng();
        b = r % 10 == 0 ? special[(r >> 8) % 3] : static_cast<uint8_t>(r >> 16);
    }
    return payload;
}

// Encodes one frame the way the tool's senders do; returns its wire length.
size_t encodeFrame(FrameCodec *tx, const std::vector<uint8_t> &payload, uint8_t *wire)
{
    frame_reset(tx);
    frame_append(tx, payload.data(), static_cast<uint16_t>(payload.size()), 1);
    size_t n = 0;
    while (frame_encode_byte(tx, &wire[n++]) == FRAME_TX_MORE) {
    }
    return n;
}

// Runs the tool's sender sequence (reset, append, emit) on a context whose
// buffer holds `capacity` bytes.
void encodeBench(benchmark::State &state, uint16_t capacity)
{
    const std::vector<uint8_t> payload = makePayload(static_cast<size_t>(state.range(0)));
    std::vector<uint8_t> buffer(capacity);
    std::vector<uint8_t> wire(2 * kCapacity + 7);
    FrameCodec tx;
    frame_init(&tx, buffer.data(), capacity);
    for (auto _ : state) {
        benchmark::DoNotOptimize(encodeFrame(&tx, payload, wire.data()));
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                            static_cast<int64_t>(payload.size()));
}

// As the tool does it, with the full-size buffer that every reset clears.
void BM_Encode(benchmark::State &state)
{
    encodeBench(state, kCapacity);
}

// The same with a buffer just big enough for the payload: the encoder's own
// cost, without clearing the rest of a large buffer.
void BM_EncodeSizedBuffer(benchmark::State &state)
{
    encodeBench(state, static_cast<uint16_t>(state.range(0)));
}

void BM_Decode(benchmark::State &state)
{
    const std::vector<uint8_t> payload = makePayload(static_cast<size_t>(state.range(0)));
    std::vector<uint8_t> buffer(kCapacity);
    std::vector<uint8_t> wire(2 * kCapacity + 7);
    FrameCodec codec;
    frame_init(&codec, buffer.data(), kCapacity);
    wire.resize(encodeFrame(&codec, payload, wire.data()));

    FrameCodec rx;
    frame_init(&rx, buffer.data(), kCapacity);
    for (auto _ : state) {
        // Back-to-back frames, as on the line: each start byte begins the next.
        int result = FRAME_ERROR;
        for (uint8_t b : wire) {
            result = frame_decode_byte(&rx, b);
        }
        if (result != FRAME_RX_DONE) {
            state.SkipWithError("frame did not decode");
            break;
        }
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                            static_cast<int64_t>(payload.size()));
}

// What every sender pays before it frames anything: clearing the full-size
// buffer. It dominates the cost of a 4-byte frame.
void BM_Reset(benchmark::State &state)
{
    std::vector<uint8_t> buffer(kCapacity);
    FrameCodec tx;
    frame_init(&tx, buffer.data(), kCapacity);
    for (auto _ : state) {
        frame_reset(&tx);
        benchmark::ClobberMemory();
    }
}

void BM_Memcpy(benchmark::State &state)
{
    const std::vector<uint8_t> payload = makePayload(static_cast<size_t>(state.range(0)));
    std::vector<uint8_t> copy(payload.size());
    for (auto _ : state) {
        std::memcpy(copy.data(), payload.data(), payload.size());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                            static_cast<int64_t>(payload.size()));
}

} // namespace

BENCHMARK(BM_Encode)->Arg(4)->Arg(2323)->Arg(8198);
BENCHMARK(BM_EncodeSizedBuffer)->Arg(4);
BENCHMARK(BM_Decode)->Arg(4)->Arg(2323)->Arg(8198);
BENCHMARK(BM_Reset);
BENCHMARK(BM_Memcpy)->Arg(4)->Arg(2323)->Arg(8198);
