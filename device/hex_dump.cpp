#include "device/hex_dump.h"

QString hexDumpEntry(const QString &headerTemplate, const uint8_t *bytes, uint16_t count,
                     const QString &trailer)
{
    static const char16_t kHexDigits[] = u"0123456789abcdef";

    // The count goes into the header alone, so nothing appended later is ever
    // taken for a placeholder.
    QString entry = headerTemplate.arg(count);
    const int headerLength = entry.size();
    entry.reserve(headerLength + 3 * int(count) + trailer.size());
    entry.resize(headerLength + 3 * int(count));
    QChar *out = entry.data() + headerLength;
    for (uint16_t i = 0; i < count; ++i) {
        const uint8_t byte = bytes[i];
        *out++ = QLatin1Char(' ');
        *out++ = QChar(kHexDigits[byte >> 4]);
        *out++ = QChar(kHexDigits[byte & 0x0f]);
    }
    entry += trailer;
    return entry;
}
