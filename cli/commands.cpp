#include "cli/commands.h"
#include "cli/config_file.h"
#include "cli/console.h"
#include "cli/device_requests.h"
#include "cli/exit_codes.h"
#include "cli/unit_steps.h"
#include "device/certificate_file.h"
#include "protocol/device_message.h"

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
    QString error;
    switch (readCertificateFile(path, certificate, error)) {
    case CertificateRead::Read: return true;
    case CertificateRead::CannotOpen:
    case CertificateRead::CannotRead:
        printProblem(QStringLiteral("%1: cannot read: %2; nothing sent").arg(path, error));
        return false;
    case CertificateRead::TooLarge: break;
    }
    printProblem(QStringLiteral("%1: larger than %2 bytes; nothing sent")
                     .arg(path, QString::number(CERT_DATA_MAX)));
    return false;
}

} // namespace

const CommandShape kCommandShapes[] = {
    {"ports", 0, false, runPorts},    {"ping", 0, true, runPing},
    {"read", 0, true, runRead},       {"write", 1, true, runWrite},
    {"diff", 1, true, runDiff},       {"upload-cert", 1, true, runUploadCert},
    {"station", 1, true, runStation},
};

const CommandShape *findCommand(const QString &name)
{
    for (const CommandShape &shape : kCommandShapes) {
        if (name == QLatin1String(shape.name))
            return &shape;
    }
    return nullptr;
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
    return statusExchange(link, kPingKind, emptyRequest(kPingKind));
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
    return uploadCertificate(link, certificate);
}
