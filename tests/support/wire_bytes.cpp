#include "tests/support/wire_bytes.h"

#include "tools/devsim/simulator.h"

#include <cstring>

QByteArray messageOf(uint32_t id, const QByteArray &rest)
{
    QByteArray message(4, '\0');
    for (int i = 0; i < 4; ++i)
        message[i] = char(id >> (8 * i));
    return message + rest;
}

DeviceConfig configWithHostname(const QByteArray &hostname)
{
    DeviceConfig config = devsim::defaultConfig();
    std::memset(config.hostname, 0, sizeof config.hostname);
    std::memcpy(config.hostname, hostname.constData(), size_t(hostname.size()));
    config.hostnameLength = uint8_t(hostname.size());
    return config;
}

QString hexOf(const uint8_t *bytes, size_t count)
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
