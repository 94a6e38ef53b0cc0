#include "device/port_claim.h"
#include "device/port_permission.h"

#include <QFileInfo>

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

QString systemError(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

// What a failed open of the port says about it.
PortState stateOfOpenError(int error)
{
    switch (error) {
    case ENOENT:
    case ENXIO:
    case ENODEV: return PortState::Absent;
    case EBUSY: return PortState::Busy;
    case EISDIR: return PortState::NotSerial;
    default: return PortState::Refused;
    }
}

} // namespace

PortState PortClaim::claim(QString &problem)
{
    release();
    const QString given = QFileInfo(portDevicePath(name_)).absoluteFilePath();
    const QByteArray local = QFile::encodeName(given);
    struct stat status;
    if (::stat(local.constData(), &status) != 0) {
        problem = QStringLiteral("cannot open %1: %2").arg(given, systemError(errno));
        return stateOfOpenError(errno);
    }
    if (!S_ISCHR(status.st_mode)) {
        problem = QStringLiteral("%1 is not a serial port").arg(given);
        return PortState::NotSerial;
    }
    // Opening does not write: no byte goes out until the port is ours.
    const int fd = ::open(local.constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        problem = QStringLiteral("cannot open %1: %2").arg(given, systemError(errno));
        return stateOfOpenError(errno);
    }
    if (!::isatty(fd)) {
        ::close(fd);
        problem = QStringLiteral("%1 is not a serial port").arg(given);
        return PortState::NotSerial;
    }
    path_ = QFileInfo(given).canonicalFilePath();
    return lock(fd, problem);
}

PortState PortClaim::lock(int fd, QString &problem)
{
    if (::flock(fd, LOCK_EX | LOCK_NB) == 0) {
        fd_ = fd;
        return PortState::Claimed;
    }
    const int error = errno;
    ::close(fd);
    if (error == EWOULDBLOCK) {
        problem = QStringLiteral("%1 is in use by another program").arg(name_);
        return PortState::Busy;
    }
    problem = QStringLiteral("cannot lock %1: %2").arg(name_, systemError(error));
    return PortState::Refused;
}

void PortClaim::release()
{
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = -1;
}
