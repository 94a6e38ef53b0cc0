// Requests framed straight from the message record, and the largest message
// fitting the tool's frame buffer.
#include "codec_test_support.h"
#include "protocol/device_message.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

Bytes frameMessage(const DeviceMessage &message, uint16_t length)
{
    Codec tx(kCap);
    if (frame_append(&tx.ctx, reinterpret_cast<const uint8_t *>(&message), length, 1) !=
        FRAME_TX_QUEUED) {
        return {};
    }
    return encodeAll(&tx.ctx);
}

TEST(DeviceMessageFraming, RequestsWithoutPayload)
{
    const struct {
        uint32_t msgId;
        const char *wire;
    } cases[] = {
        {MSG_PING_REQUEST, "FE 04 00 00 00 00 00 04"},
        {MSG_CONFIG_QUERY_REQUEST, "FE 04 00 02 00 00 00 06"},
    };
    for (const auto &c : cases) {
        DeviceMessage message;
        std::memset(&message, 0xEE, sizeof message); // only the id may go out
        message.msgId = c.msgId;
        EXPECT_EQ(toHex(frameMessage(message, MSG_LEN_PING_REQUEST)), c.wire);
    }
}

TEST(DeviceMessageFraming, LargestUploadRoundTripsThroughTheToolsBuffer)
{
    DeviceMessage sent;
    std::memset(&sent, 0, sizeof sent);
    sent.msgId = MSG_CERT_UPLOAD_REQUEST;
    sent.payload.certificate.length = CERT_DATA_MAX;
    for (size_t i = 0; i < CERT_DATA_MAX; ++i) {
        sent.payload.certificate.data[i] = static_cast<uint8_t>(0xFE - i % 5);
    }
    const Bytes wire = frameMessage(sent, MSG_LEN_CERT_UPLOAD_MAX);
    ASSERT_FALSE(wire.empty());
    EXPECT_EQ(toHex(Bytes(wire.begin(), wire.begin() + 9)), "FE 06 20 08 00 00 00 00 20");

    Codec rx(kCap);
    ASSERT_EQ(decodeAll(&rx.ctx, wire), resultRun(wire.size(), 'B', 'D'));
    ASSERT_EQ(rx.ctx.payloadLength, MSG_LEN_CERT_UPLOAD_MAX);
    DeviceMessage received;
    std::memcpy(&received, rx.buffer.data(), rx.ctx.payloadLength);
    EXPECT_EQ(received.msgId, MSG_CERT_UPLOAD_REQUEST);
    EXPECT_EQ(received.payload.certificate.length, CERT_DATA_MAX);
    EXPECT_EQ(std::memcmp(&received, &sent, sizeof sent), 0);
}

} // namespace
