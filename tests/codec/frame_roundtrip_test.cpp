// Every frame the encoder produces decodes back to its payload, over many
// seeded random payloads dense in the bytes that need or resemble stuffing.
#include "codec_test_support.h"

#include <gtest/gtest.h>

#include <random>

namespace {

// Bytes the stuffing treats specially, and their escaped wire forms.
const uint8_t kTricky[] = {0xC0, 0xFD, 0xFE, 0xFF, 0xDD, 0xDE, 0xE0, 0x20};

Bytes randomPayload(std::mt19937 &rng, size_t size)
{
    Bytes payload(size);
    for (uint8_t &b : payload) {
        const uint32_t r = rng();
        b = r % 10 < 4 ? kTricky[(r >> 8) % sizeof kTricky] : static_cast<uint8_t>(r >> 16);
    }
    return payload;
}

size_t randomSize(std::mt19937 &rng)
{
    const uint32_t r = rng();
    switch (r % 10) {
    case 0: return 1 + (r >> 8) % kCap;
    case 1:
    case 2:
    case 3: return 1 + (r >> 8) % 1024;
    default: return 1 + (r >> 8) % 64;
    }
}

// The sender's stuffing: FE only in front, no raw C0, every escape
// followed by the escaped form of a special byte.
void expectWellStuffed(const Bytes &wire)
{
    ASSERT_FALSE(wire.empty());
    EXPECT_EQ(wire[0], FRAME_START);
    for (size_t i = 1; i < wire.size(); ++i) {
        ASSERT_NE(wire[i], FRAME_START) << "at " << i;
        ASSERT_NE(wire[i], 0xC0) << "at " << i;
        if (wire[i] == FRAME_ESCAPE) {
            ASSERT_LT(i + 1, wire.size());
            const uint8_t next = wire[++i];
            ASSERT_TRUE(next == 0xE0 || next == 0xDD || next == 0xDE) << "at " << i;
        }
    }
}

TEST(FrameRoundTrip, SeededRandomPayloadsSurviveEncodeAndDecode)
{
    std::mt19937 rng(20240611u);
    Codec tx;
    Codec rx; // one decoder for the whole stream, never reset
    std::vector<size_t> sizes = {1, 2, kCap - 1, kCap};
    for (int i = 0; i < 3000; ++i) {
        sizes.push_back(randomSize(rng));
    }

    for (size_t n = 0; n < sizes.size(); ++n) {
        SCOPED_TRACE(testing::Message() << "payload #" << n << " of " << sizes[n] << " bytes");
        const Bytes payload = randomPayload(rng, sizes[n]);

        // In up to four chunks, the last one flagged.
        frame_reset(&tx.ctx);
        size_t done = 0;
        while (done < payload.size()) {
            const size_t rest = payload.size() - done;
            const size_t take = rng() % 4 == 0 ? rest : 1 + rng() % rest;
            const uint8_t last = done + take == payload.size();
            ASSERT_EQ(
                frame_append(&tx.ctx, payload.data() + done, static_cast<uint16_t>(take), last),
                FRAME_TX_QUEUED);
            done += take;
        }

        std::string results;
        const Bytes wire = encodeAll(&tx.ctx, &results);
        ASSERT_EQ(results, resultRun(wire.size(), 'M', 'T'));
        ASSERT_GE(wire.size(), payload.size() + 4);
        ASSERT_LE(wire.size(), 2 * payload.size() + 7);
        expectWellStuffed(wire);

        // Line noise between frames is ignored.
        if (rng() % 8 == 0) {
            EXPECT_EQ(decodeAll(&rx.ctx, hex("00 FF FD C0")), "OOOO");
        }
        ASSERT_EQ(decodeAll(&rx.ctx, wire), resultRun(wire.size(), 'B', 'D'));
        ASSERT_EQ(rx.payload(), payload);
    }
}

} // namespace
