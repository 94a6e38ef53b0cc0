// Time stamps as the saved log and the station's journal write them.
#ifndef BASE_TIME_STAMP_H
#define BASE_TIME_STAMP_H

#include <QDateTime>
#include <QString>

// ISO 8601 with milliseconds and the offset from UTC always as +hh:mm or
// -hh:mm ("2026-12-07T13:04:05.123+00:00"), for the saved log and the
// station's journal: Qt writes Z for UTC, and nothing for local time.
QString isoTimeWithOffset(const QDateTime &time);

#endif // BASE_TIME_STAMP_H
