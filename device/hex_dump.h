// The activity log's hex-dump entry, shared by the window's log and
// kestroctl's --trace so that both show a frame the same way.
#ifndef DEVICE_HEX_DUMP_H
#define DEVICE_HEX_DUMP_H

#include <QString>

#include <cstdint>

// headerTemplate with %0 replaced by count, then " xx" (two lower-case hex
// digits) for each of the count bytes, then trailer.
QString hexDumpEntry(const QString &headerTemplate, const uint8_t *bytes, uint16_t count,
                     const QString &trailer = QString());

#endif // DEVICE_HEX_DUMP_H
