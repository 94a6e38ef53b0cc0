// ports: the serial ports a station can use, the system's and the ones it
// does not list ($KESTRO_EXTRA_PORTS), each with its stable by-id name.
#include "base/json_text.h"
#include "cli/commands.h"
#include "cli/config_file.h"
#include "cli/console.h"
#include "cli/exit_codes.h"
#include "device/extra_ports.h"

#include <QDir>
#include <QFileInfo>
#include <QSerialPortInfo>

#include <nlohmann/json.hpp>

namespace {

// One port as listed; an empty text is a value the system does not know.
struct PortListing {
    QString port, path, byId, description, manufacturer, serialNumber, vid, pid;
};

QString hex4(quint16 value)
{
    return QStringLiteral("%1").arg(value, 4, 16, QLatin1Char('0'));
}

// The name under /dev/serial/by-id/ that leads to `path`: it stays the same
// whichever order adapters are plugged in.
QString byIdName(const QString &path)
{
    const QString target = QFileInfo(path).canonicalFilePath();
    const QDir byId(QStringLiteral("/dev/serial/by-id"));
    for (const QFileInfo &link : byId.entryInfoList(QDir::System | QDir::Files)) {
        if (!target.isEmpty() && link.canonicalFilePath() == target)
            return link.absoluteFilePath();
    }
    return QString();
}

PortListing listing(const QSerialPortInfo &info)
{
    PortListing port{info.portName(),
                     info.systemLocation(),
                     byIdName(info.systemLocation()),
                     info.description(),
                     info.manufacturer(),
                     info.serialNumber(),
                     {},
                     {}};
    if (info.hasVendorIdentifier())
        port.vid = hex4(info.vendorIdentifier());
    if (info.hasProductIdentifier())
        port.pid = hex4(info.productIdentifier());
    return port;
}

QList<PortListing> listedPorts()
{
    QList<PortListing> ports;
    for (const QSerialPortInfo &info : QSerialPortInfo::availablePorts())
        ports << listing(info);
    for (const QString &path : extraPortPaths())
        ports << PortListing{QFileInfo(path).fileName(), path, byIdName(path), {}, {}, {}, {}, {}};
    return ports;
}

QString orDash(const QString &text)
{
    return text.isEmpty() ? QStringLiteral("-") : text;
}

// The columns as they always were, then the by-id name, so that scripts
// reading the first columns read on.
QString textLine(const PortListing &port)
{
    const QString vidPid =
        port.vid.isEmpty() || port.pid.isEmpty() ? QString() : port.vid + ':' + port.pid;
    return QStringList{orDash(port.port),         orDash(port.path),
                       orDash(port.description),  orDash(port.manufacturer),
                       orDash(port.serialNumber), orDash(vidPid),
                       orDash(port.byId)}
        .join(QLatin1Char('\t'));
}

QString jsonLine(const PortListing &port)
{
    const QList<QPair<const char *, QString>> members = {{"port", port.port},
                                                         {"path", port.path},
                                                         {"by_id", port.byId},
                                                         {"description", port.description},
                                                         {"manufacturer", port.manufacturer},
                                                         {"serial_number", port.serialNumber},
                                                         {"vid", port.vid},
                                                         {"pid", port.pid}};
    nlohmann::ordered_json line = nlohmann::ordered_json::object();
    for (const auto &member : members)
        line[member.first] = member.second.isEmpty()
                                 ? nlohmann::ordered_json(nullptr)
                                 : nlohmann::ordered_json(member.second.toStdString());
    return QString::fromUtf8(jsonText(line));
}

} // namespace

int runPorts(const Invocation &invocation)
{
    const QList<PortListing> ports = listedPorts();
    for (const PortListing &port : ports)
        printResult(invocation.json ? jsonLine(port) : textLine(port));
    if (ports.isEmpty())
        printProblem(QStringLiteral("no serial ports found"));
    return ExitDone;
}
