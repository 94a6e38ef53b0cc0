#include "cli/commands.h"
#include "config/profile.h"
#include "cli/console.h"
#include "cli/device_requests.h"
#include "cli/exit_codes.h"
#include "protocol/device_message.h"

#include <QFile>
#include <QSaveFile>
#include <QSerialPortInfo>

namespace {

QString orDash(const QString &text)
{
    return text.isEmpty() ? QStringLiteral("-") : text;
}

QString vidPid(const QSerialPortInfo &info)
{
    if (!info.hasVendorIdentifier() || !info.hasProductIdentifier())
        return QStringLiteral("-");
    return QStringLiteral("%1:%2")
        .arg(info.vendorIdentifier(), 4, 16, QLatin1Char('0'))
        .arg(info.productIdentifier(), 4, 16, QLatin1Char('0'));
}

// Opens the file that `read -o` writes before the device is asked, so that
// a file that cannot be written costs no exchange. A file with the
// passwords in it is for its owner's eyes only.
bool openOutput(QSaveFile &output, bool withSecrets)
{
    if (!output.open(QIODevice::WriteOnly)) {
        printProblem(
            QStringLiteral("%1: cannot write: %2").arg(output.fileName(), output.errorString()));
        return false;
    }
    if (withSecrets)
        output.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    return true;
}

bool commitOutput(QSaveFile &output, const QByteArray &json)
{
    if (output.write(json) == json.size() && output.commit())
        return true;
    printProblem(
        QStringLiteral("%1: cannot write: %2").arg(output.fileName(), output.errorString()));
    return false;
}

// The certificate file, if it can be read and fits one upload.
bool readCertificate(const QString &path, QByteArray &certificate)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        printProblem(
            QStringLiteral("%1: cannot read: %2; nothing sent").arg(path, file.errorString()));
        return false;
    }
    // One byte more than an upload carries tells a file that would be cut
    // from one that fits exactly.
    certificate = file.read(CERT_DATA_MAX + 1);
    if (file.error() != QFileDevice::NoError) {
        printProblem(
            QStringLiteral("%1: cannot read: %2; nothing sent").arg(path, file.errorString()));
        return false;
    }
    if (certificate.size() > CERT_DATA_MAX) {
        printProblem(
            QStringLiteral("%1: larger than %2 bytes; nothing sent").arg(path).arg(CERT_DATA_MAX));
        return false;
    }
    return true;
}

} // namespace

int runCommand(const Invocation &invocation)
{
    static const struct {
        const char *name;
        int (*run)(const Invocation &);
    } commands[] = {
        {"ports", runPorts}, {"ping", runPing}, {"read", runRead},
        {"write", runWrite}, {"diff", runDiff}, {"upload-cert", runUploadCert},
    };
    for (const auto &command : commands) {
        if (invocation.command == QLatin1String(command.name))
            return command.run(invocation);
    }
    printProblem(QStringLiteral("unknown command '%1'").arg(invocation.command));
    return ExitUsage;
}

int runPorts(const Invocation &)
{
    const QList<QSerialPortInfo> ports = QSerialPortInfo::availablePorts();
    for (const QSerialPortInfo &info : ports) {
        const QStringList fields = {orDash(info.portName()),     orDash(info.systemLocation()),
                                    orDash(info.description()),  orDash(info.manufacturer()),
                                    orDash(info.serialNumber()), vidPid(info)};
        printResult(fields.join(QLatin1Char('\t')));
    }
    if (ports.isEmpty())
        printProblem(QStringLiteral("no serial ports found"));
    return ExitDone;
}

int runPing(const Invocation &invocation)
{
    DeviceLink link(linkSettings(invocation));
    if (!link.open())
        return ExitPort;
    return statusExchange(link, kPingKind, requestMessage(MSG_PING_REQUEST));
}

int runRead(const Invocation &invocation)
{
    QSaveFile output(invocation.outputFile);
    const bool toFile = !invocation.outputFile.isEmpty();
    if (toFile && !openOutput(output, !invocation.omitSecrets))
        return ExitInvalidInput;
    DeviceLink link(linkSettings(invocation));
    QStringList values;
    const int code = openAndQueryValues(link, values);
    if (code != ExitDone)
        return code;
    const QByteArray json = valuesJson(values, invocation.omitSecrets);
    if (!toFile)
        printResultText(json);
    else if (!commitOutput(output, json))
        return ExitInvalidInput;
    return ExitDone;
}

int runUploadCert(const Invocation &invocation)
{
    QByteArray certificate;
    if (!readCertificate(invocation.file, certificate))
        return ExitInvalidInput;
    DeviceLink link(linkSettings(invocation));
    if (!link.open())
        return ExitPort;
    return statusExchange(link, kCertificateUploadKind, certificateUploadRequest(certificate));
}
