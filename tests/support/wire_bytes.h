// Messages and frames as the tests write them, and as the window's log shows
// them.
#ifndef TESTS_SUPPORT_WIRE_BYTES_H
#define TESTS_SUPPORT_WIRE_BYTES_H

#include "protocol/device_config.h"
#include "protocol/message_framing.h"
#include "tools/devsim/simulator.h"

#include <QByteArray>
#include <QString>

#include <cstddef>
#include <cstdint>
#include <cstring>

// The frames of the two requests without a body, and of a Ping answered with
// status 0.
const QByteArray kPingRequestFrame = QByteArray::fromHex("fe04000000000004");
const QByteArray kQueryRequestFrame = QByteArray::fromHex("fe04000200000006");
const QByteArray kPingOkFrame = QByteArray::fromHex("fe0800010000000000000009");

inline QByteArray bytesOf(const Bytes &bytes)
{
    return QByteArray(reinterpret_cast<const char *>(bytes.data()), int(bytes.size()));
}

// The wire bytes of one frame carrying `message`, from the project's encoder.
inline QByteArray frameOf(const QByteArray &message)
{
    return bytesOf(frameMessage(message.constData(), size_t(message.size())));
}

// A message: a 32-bit little-endian id, then `rest`.
inline QByteArray messageOf(uint32_t id, const QByteArray &rest = QByteArray())
{
    QByteArray message(4, '\0');
    for (int i = 0; i < 4; ++i)
        message[i] = char(id >> (8 * i));
    return message + rest;
}

inline QByteArray le32(int32_t value)
{
    return messageOf(uint32_t(value));
}

inline QByteArray recordBytes(const DeviceConfig &config)
{
    return QByteArray(reinterpret_cast<const char *>(&config), int(sizeof config));
}

// The simulator's default configuration with another hostname.
inline DeviceConfig configWithHostname(const QByteArray &hostname)
{
    DeviceConfig config = devsim::defaultConfig();
    std::memset(config.hostname, 0, sizeof config.hostname);
    std::memcpy(config.hostname, hostname.constData(), size_t(hostname.size()));
    config.hostnameLength = uint8_t(hostname.size());
    return config;
}

// A log's hex dump of `bytes`: " xx" for each.
inline QString hexOf(const uint8_t *bytes, size_t count)
{
    // Written into place: the dumps of large frames are long.
    static const char digits[] = "0123456789abcdef";
    QString text(int(3 * count), QLatin1Char(' '));
    QChar *out = text.data();
    for (size_t i = 0; i < count; ++i) {
        out[3 * i + 1] = QLatin1Char(digits[bytes[i] >> 4]);
        out[3 * i + 2] = QLatin1Char(digits[bytes[i] & 15]);
    }
    return text;
}

inline QString hexOf(const QByteArray &bytes)
{
    return hexOf(reinterpret_cast<const uint8_t *>(bytes.constData()), size_t(bytes.size()));
}

inline QString hexOf(const Bytes &bytes)
{
    return hexOf(bytes.data(), bytes.size());
}

// The log's line for sent bytes: `header` with %1 the byte count, the dump, and
// the sentence that says what was sent.
inline QString sentLine(const QString &header, const QByteArray &wire, const QString &sentence)
{
    return header.arg(wire.size()) + hexOf(wire) + QStringLiteral("\r\n") + sentence +
           QStringLiteral(" sent.  Listening for response...");
}

// The log's line for received bytes, a QByteArray or Bytes.
template <typename ByteList> QString readLine(const ByteList &bytes)
{
    return QStringLiteral("\r\nRead %1 bytes:").arg(bytes.size()) + hexOf(bytes);
}

#endif // TESTS_SUPPORT_WIRE_BYTES_H
