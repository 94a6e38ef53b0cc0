#include "protocol/message_framing.h"

Bytes frameMessage(const void *message, std::size_t length)
{
    if (length > FRAME_BUFFER_SIZE)
        return Bytes();
    uint8_t buffer[FRAME_BUFFER_SIZE];
    FrameCodec codec;
    frame_init(&codec, buffer, FRAME_BUFFER_SIZE);
    if (frame_append(&codec, static_cast<const uint8_t *>(message), static_cast<uint16_t>(length),
                     1) != FRAME_TX_QUEUED)
        return Bytes();
    Bytes wire;
    for (;;) {
        uint8_t byte = 0;
        const int result = frame_encode_byte(&codec, &byte);
        if (result == FRAME_ERROR)
            return Bytes();
        wire.push_back(byte);
        if (result == FRAME_TX_DONE)
            return wire;
    }
}

FrameReader::FrameReader()
{
    frame_init(&codec_, buffer_, FRAME_BUFFER_SIZE);
}

FrameReader::Event FrameReader::feed(uint8_t byte)
{
    switch (frame_decode_byte(&codec_, byte)) {
    case FRAME_RX_DONE: return Event::Message;
    case FRAME_ERROR: return Event::Error;
    default: return Event::None;
    }
}

Bytes FrameReader::message() const
{
    return Bytes(buffer_, buffer_ + codec_.payloadLength);
}
