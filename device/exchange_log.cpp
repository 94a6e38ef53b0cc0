#include "device/exchange_log.h"

QString sendingLine(const MessageKind &kind)
{
    return QStringLiteral("Sending %0...").arg(QLatin1String(kind.name));
}

QString sentHeader(const MessageKind &kind)
{
    // The query's dump has always had a colon after the count, and technicians'
    // saved logs and scripts read it that way.
    return &kind == &kConfigQueryKind ? QStringLiteral("Sent %0 bytes:")
                                      : QStringLiteral("Sent %0 bytes");
}

QString sentTrailer(const MessageKind &kind)
{
    return QStringLiteral("\r\n%0 sent.  Listening for response...").arg(QLatin1String(kind.name));
}

QString returnedLine(const MessageKind &kind, int32_t status)
{
    return QStringLiteral("%0 returned %1").arg(QLatin1String(kind.name)).arg(status);
}

QString responseProblem(const MessageKind *kind, uint32_t msgId, int length)
{
    if (!kind)
        return QStringLiteral("Unexpected message id %0").arg(msgId);
    if (length != kind->responseLength)
        return QStringLiteral("Invalid message length %0").arg(length);
    return QString();
}

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

QString plainLineEnds(QString entry)
{
    return entry.replace(QLatin1String("\r\n"), QLatin1String("\n"));
}
