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

// The first `length` bytes of the record: the message as it goes in a frame.
inline Bytes messageBytes(const DeviceMessage &message, std::size_t length)
{
    const auto *first = reinterpret_cast<const uint8_t *>(&message);
    return Bytes(first, first + length);
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
