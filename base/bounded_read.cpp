#include "base/bounded_read.h"

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

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

RegularOpen openRegularFile(QFile &file, const QString &path, QString &error)
{
    const QByteArray local = QFile::encodeName(path);
    struct stat status;
    // Looked at before opening, so that opening a device has no effect on it.
    if (::stat(local.constData(), &status) != 0) {
        error = QString::fromLocal8Bit(std::strerror(errno));
        return RegularOpen::Failed;
    }
    if (!S_ISREG(status.st_mode))
        return RegularOpen::NotRegular;
    // Without blocking, and looked at again: the name may have been given to
    // a FIFO in the meantime.
    const int fd = ::open(local.constData(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        error = QString::fromLocal8Bit(std::strerror(errno));
        return RegularOpen::Failed;
    }
    if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
        ::close(fd);
        return RegularOpen::NotRegular;
    }
    if (!file.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
        error = file.errorString();
        ::close(fd);
        return RegularOpen::Failed;
    }
    return RegularOpen::Opened;
}
