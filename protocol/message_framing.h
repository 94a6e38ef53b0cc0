// Messages in frames, a whole message at a time, for everything that is not
// the window: the simulator, kestroctl, the benchmarks and the tests. The
// window keeps its own byte-at-a-time loop over its exchange state.
#ifndef PROTOCOL_MESSAGE_FRAMING_H
#define PROTOCOL_MESSAGE_FRAMING_H

#include "framing/frame_codec.h"
#include "protocol/device_message.h"

#include <cstddef>
#include <cstdint>
#include <vector>

using Bytes = std::vector<uint8_t>;

// Whether the sender escapes `byte` inside a frame.
constexpr bool isSpecialByte(uint8_t byte)
{
    return byte == FRAME_RESERVED || byte == FRAME_ESCAPE || byte == FRAME_START;
}

// The wire bytes of one frame carrying the `length` bytes of `message`;
// empty if the codec refuses them (an empty message, or one longer than
// FRAME_BUFFER_SIZE).
Bytes frameMessage(const void *message, std::size_t length);

// Gathers messages out of a stream of wire bytes.
class FrameReader
{
public:
    FrameReader();
    FrameReader(const FrameReader &) = delete;
    FrameReader &operator=(const FrameReader &) = delete;

    enum class Event { None, Message, Error };
    // Feeds one wire byte. After Event::Message, message() holds the frame's
    // payload until the next call; Event::Error is a broken frame, after
    // which the reader waits for the next one.
    Event feed(uint8_t byte);
    Bytes message() const;

private:
    uint8_t buffer_[FRAME_BUFFER_SIZE];
    FrameCodec codec_;
};

#endif // PROTOCOL_MESSAGE_FRAMING_H
