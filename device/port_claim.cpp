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

const char kInUse[] = "in use by another program";

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
    reason_.clear();
    const QString given = QFileInfo(portDevicePath(name_)).absoluteFilePath();
    const QByteArray local = QFile::encodeName(given);
    struct stat status;
    if (::stat(local.constData(), &status) != 0)
        return openFailed(errno, given, problem);
    const QString notSerial = QStringLiteral("not a serial port");
    if (!S_ISCHR(status.st_mode))
        return refuse(PortState::NotSerial, notSerial, given + QStringLiteral(" is ") + notSerial,
                      problem);
    // Opening does not write: no byte goes out until the port is ours.
    const int fd = ::open(local.constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return openFailed(errno, given, problem);
    if (!::isatty(fd)) {
        ::close(fd);
        return refuse(PortState::NotSerial, notSerial, given + QStringLiteral(" is ") + notSerial,
                      problem);
    }
    path_ = QFileInfo(given).canonicalFilePath();
    return lock(fd, problem);
}

// A terminal that another program opened for itself alone refuses the open
// with EBUSY: to the user that is the same as the lock being taken.
PortState PortClaim::openFailed(int error, const QString &given, QString &problem)
{
    const PortState state = stateOfOpenError(error);
    if (state == PortState::Busy)
        return refuse(state, QString::fromLatin1(kInUse), name_ + QStringLiteral(" is ") + kInUse,
                      problem);
    return refuse(state, systemError(error),
                  QStringLiteral("cannot open %1: %2").arg(given, systemError(error)), problem);
}

PortState PortClaim::lock(int fd, QString &problem)
{
    if (::flock(fd, LOCK_EX | LOCK_NB) == 0) {
        fd_ = fd;
        return PortState::Claimed;
    }
    const int error = errno;
    ::close(fd);
    if (error == EWOULDBLOCK)
        return refuse(PortState::Busy, QString::fromLatin1(kInUse),
                      name_ + QStringLiteral(" is ") + kInUse, problem);
    return refuse(PortState::Refused, QStringLiteral("cannot lock: %1").arg(systemError(error)),
                  QStringLiteral("cannot lock %1: %2").arg(name_, systemError(error)), problem);
}

PortState PortClaim::refuse(PortState state, const QString &reason, const QString &problem,
                            QString &told)
{
    reason_ = reason;
    told = problem;
    return state;
}

void PortClaim::release()
{
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = -1;
}
