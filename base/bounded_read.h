// Reading a file whole, but never more than a bound: certificates, profiles
// and manifests are small, and /dev/zero must not take the memory.
#ifndef BASE_BOUNDED_READ_H
#define BASE_BOUNDED_READ_H

#include <QByteArray>
#include <QIODevice>

// Reads `device` to its end, or to one byte beyond `limit`, so that a file
// over the limit is told from one that fills it exactly. Pipes and character
// devices hand over what they have at the moment, so it takes as many reads
// as it takes. False on a read error; the device's errorString says why.
bool readUpTo(QIODevice &device, qint64 limit, QByteArray &bytes);

#endif // BASE_BOUNDED_READ_H
