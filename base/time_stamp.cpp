#include "base/time_stamp.h"

QString isoTimeWithOffset(const QDateTime &time)
{
    const int offsetMinutes = time.offsetFromUtc() / 60;
    const int minutes = qAbs(offsetMinutes);
    return time.toString(QStringLiteral("yyyy-MM-dd'T'HH:mm:ss.zzz")) +
           QLatin1Char(offsetMinutes < 0 ? '-' : '+') +
           QStringLiteral("%1:%2")
               .arg(minutes / 60, 2, 10, QLatin1Char('0'))
               .arg(minutes % 60, 2, 10, QLatin1Char('0'));
}
