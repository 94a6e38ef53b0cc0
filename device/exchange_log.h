// The log's words for an exchange with the device: the hex dump of a frame,
// and the lines built from the exchange's name. The window's activity log and
// kestroctl's --trace both use them, so that an exchange reads the same in
// either.
#ifndef DEVICE_EXCHANGE_LOG_H
#define DEVICE_EXCHANGE_LOG_H

#include "protocol/message_kinds.h"

#include <QString>

#include <cstdint>

// The most bytes one dump lists: the largest count its 16-bit count holds.
constexpr uint16_t kMostDumpedBytes = 65535;

// headerTemplate with %0 replaced by count, then " xx" (two lower-case hex
// digits) for each of the count bytes, then trailer.
QString hexDumpEntry(const QString &headerTemplate, const uint8_t *bytes, uint16_t count,
                     const QString &trailer = QString());

// "Sending Ping..."
QString sendingLine(const MessageKind &kind);
// The sent frame's hex-dump header, "Sent %0 bytes" with %0 left for the count.
QString sentHeader(const MessageKind &kind);
// The line ending and "Ping sent.  Listening for response..." after that dump.
QString sentTrailer(const MessageKind &kind);
// "Ping returned 0"
QString returnedLine(const MessageKind &kind, int32_t status);

// Why a response message cannot be taken, in the log's words ("Unexpected
// message id 7", "Invalid message length 9"), or an empty string when it is
// a valid response of `kind`: the exchange its id names, nullptr for none.
QString responseProblem(const MessageKind *kind, uint32_t msgId, int length);

// An entry with the log's \r\n line breaks as the \n a saved file wants.
QString plainLineEnds(QString entry);

// The hex-dump header of the bytes received since a send.
inline constexpr char kReceivedHeader[] = "\r\nRead %0 bytes:";

#endif // DEVICE_EXCHANGE_LOG_H
