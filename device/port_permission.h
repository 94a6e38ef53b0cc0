// What to tell a technician whose serial port will not open because the
// user may not use it: on a fresh machine the user is seldom in the group
// that owns the serial devices, and the bare "Permission denied" does not
// say what to do about it.
#ifndef DEVICE_PORT_PERMISSION_H
#define DEVICE_PORT_PERMISSION_H

#include <QString>

// The device path of a port given by path or by system name: a name with a
// '/' is a path, used as given; a bare name ("ttyUSB0") is the device of that
// name under /dev/, where the system's listed ports live too.
QString portDevicePath(const QString &port);

// A one-line hint when the current user may not open `port` for reading and
// writing, naming the group that owns the device file; empty when the user
// may, or when the port fails for another reason.
QString portPermissionHint(const QString &port);

#endif // DEVICE_PORT_PERMISSION_H
