// Reading a file whole, but never more than a bound: certificates, profiles
// and manifests are small, and /dev/zero must not take the memory.
#ifndef BASE_BOUNDED_READ_H
#define BASE_BOUNDED_READ_H

#include <QByteArray>
#include <QFile>
#include <QIODevice>
#include <QString>

// Reads `device` to its end, or to one byte beyond `limit`, so that a file
// over the limit is told from one that fills it exactly. Pipes and character
// devices hand over what they have at the moment, so it takes as many reads
// as it takes. False on a read error; the device's errorString says why.
bool readUpTo(QIODevice &device, qint64 limit, QByteArray &bytes);

enum class RegularOpen {
    Opened,     // `file` is open for reading
    NotRegular, // a FIFO, a device, a folder: nothing was read from it
    Failed,     // `error` holds the system's words
};

// Opens the file at `path` for reading if it is a regular file. A FIFO is
// never waited on and a device never read: the window must not freeze on a
// pipe that nobody writes to.
RegularOpen openRegularFile(QFile &file, const QString &path, QString &error);

#endif // BASE_BOUNDED_READ_H
