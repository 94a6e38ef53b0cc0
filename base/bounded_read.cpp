#include "base/bounded_read.h"

bool readUpTo(QIODevice &device, qint64 limit, QByteArray &bytes)
{
    bytes.clear();
    // Grown as the bytes come, so a large bound costs nothing for a small file.
    char chunk[16384];
    while (bytes.size() <= limit) {
        const qint64 room = limit + 1 - bytes.size();
        const qint64 got = device.read(chunk, qMin<qint64>(qint64(sizeof chunk), room));
        if (got < 0)
            return false;
        if (got == 0)
            break; // the end of the file
        bytes.append(chunk, int(got));
    }
    return true;
}
