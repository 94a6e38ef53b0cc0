#include "station/run_lock.h"

#include <QFile>
#include <QRegularExpression>

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace {

// The process that holds a lock on the file `status` describes, as the
// system lists it ("1: FLOCK  ADVISORY  WRITE 4242 08:01:1234 0 EOF"); 0 if
// it cannot be told.
qint64 holderOf(const struct stat &status)
{
    QFile locks(QStringLiteral("/proc/locks"));
    if (!locks.open(QIODevice::ReadOnly))
        return 0;
    const QString file =
        QString::asprintf("%02x:%02x:%llu", major(status.st_dev), minor(status.st_dev),
                          static_cast<unsigned long long>(status.st_ino));
    const QRegularExpression entry(
        QStringLiteral("^\\d+: FLOCK\\s+\\S+\\s+WRITE\\s+(\\d+)\\s+%1(\\s|$)")
            .arg(QRegularExpression::escape(file)));
    // A file of the proc file system tells no size: read to its end.
    for (const QByteArray &line : locks.readAll().split('\n')) {
        const QRegularExpressionMatch match = entry.match(QString::fromLatin1(line));
        if (match.hasMatch())
            return match.captured(1).toLongLong();
    }
    return 0;
}

} // namespace

RunLock::~RunLock()
{
    if (fd_ >= 0)
        ::close(fd_); // the lock goes with it
}

RunLock::Result RunLock::lock(const QString &path, mode_t createMode, QString &problem)
{
    const int flags = O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC | (createMode ? O_CREAT : 0);
    fd_ = ::open(QFile::encodeName(path).constData(), flags, createMode);
    if (fd_ < 0)
        return refuse(
            Result::Failed,
            QStringLiteral("%1: %2").arg(path, QString::fromLocal8Bit(std::strerror(errno))),
            problem);
    struct stat status;
    if (::fstat(fd_, &status) != 0 || !S_ISREG(status.st_mode))
        return refuse(Result::NotRegular, QStringLiteral("%1 is not a regular file").arg(path),
                      problem);
    if (::flock(fd_, LOCK_EX | LOCK_NB) == 0)
        return Result::Locked;
    if (errno != EWOULDBLOCK)
        return refuse(Result::Failed,
                      QStringLiteral("%1: cannot lock: %2")
                          .arg(path, QString::fromLocal8Bit(std::strerror(errno))),
                      problem);
    const qint64 holder = holderOf(status);
    return refuse(
        Result::InUse,
        holder > 0
            ? QStringLiteral("%1 is in use by another station (pid %2)").arg(path).arg(holder)
            : QStringLiteral("%1 is in use by another station").arg(path),
        problem);
}

bool RunLock::othersMayRead() const
{
    struct stat status;
    return fd_ >= 0 && ::fstat(fd_, &status) == 0 && (status.st_mode & (S_IRGRP | S_IROTH)) != 0;
}

RunLock::Result RunLock::refuse(Result result, const QString &problem, QString &told)
{
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = -1;
    told = problem;
    return result;
}
