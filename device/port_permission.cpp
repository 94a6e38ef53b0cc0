#include "device/port_permission.h"

#include <QFile>

#include <cerrno>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Who may use a device file besides root.
struct DeviceOwners {
    QString user;            // empty when it cannot be named
    QString group;           // empty when it cannot be named
    bool groupMayUse = true; // members of the group may read and write it
};

DeviceOwners ownersOf(const QByteArray &path)
{
    DeviceOwners owners;
    struct stat status = {};
    if (::stat(path.constData(), &status) != 0)
        return owners;
    if (const passwd *user = ::getpwuid(status.st_uid))
        owners.user = QString::fromLocal8Bit(user->pw_name);
    if (const group *group = ::getgrgid(status.st_gid))
        owners.group = QString::fromLocal8Bit(group->gr_name);
    owners.groupMayUse = (status.st_mode & (S_IRGRP | S_IWGRP)) == (S_IRGRP | S_IWGRP);
    return owners;
}

} // namespace

QString portDevicePath(const QString &port)
{
    return port.contains(QLatin1Char('/')) ? port : QStringLiteral("/dev/") + port;
}

QString portPermissionHint(const QString &port)
{
    const QString path = portDevicePath(port);
    const QByteArray encoded = QFile::encodeName(path);
    if (::access(encoded.constData(), R_OK | W_OK) == 0 || errno != EACCES)
        return QString();
    const DeviceOwners owners = ownersOf(encoded);
    // Joining the group helps only where the group may use the device.
    if (!owners.groupMayUse)
        return QStringLiteral("Permission denied on %0: only its owner%1 may use it; ask an "
                              "administrator for access.")
            .arg(path,
                 owners.user.isEmpty() ? QString() : QStringLiteral(" (%0)").arg(owners.user));
    if (owners.group.isEmpty())
        return QStringLiteral("Permission denied on %0: add your user to the group that owns it "
                              "(usually dialout) and log in again.")
            .arg(path);
    // The group this machine actually uses, which is not always dialout.
    return QStringLiteral("Permission denied on %0: add your user to the group %1, which owns it, "
                          "and log in again.")
        .arg(path, owners.group);
}
