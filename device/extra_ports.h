#ifndef DEVICE_EXTRA_PORTS_H
#define DEVICE_EXTRA_PORTS_H

#include <QStringList>

// Device paths that the system's port list never shows (pseudo-terminals such
// as a socat bridge or the device simulator), taken from the environment
// variable KESTRO_EXTRA_PORTS: paths separated by ':', empty parts skipped.
QStringList extraPortPaths();

#endif // DEVICE_EXTRA_PORTS_H
