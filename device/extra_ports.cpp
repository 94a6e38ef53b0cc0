#include "device/extra_ports.h"

#include <QByteArray>
#include <QString>

QStringList extraPortPaths()
{
    return QString::fromLocal8Bit(qgetenv("KESTRO_EXTRA_PORTS"))
        .split(QLatin1Char(':'), Qt::SkipEmptyParts);
}
