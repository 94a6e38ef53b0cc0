#include "cli/unit_steps.h"
#include "cli/exit_codes.h"
#include "config/config_values.h"
#include "config/field_rules.h"
#include "device/certificate_file.h"
#include "protocol/config_fields.h"
#include "protocol/device_message.h"

namespace {

// The given value's diagnosis. The port is only judged against a given
// server, and the addressee rule only where a given addressee calls for an
// account or server that is given empty.
QString givenDiagnosis(int row, const QStringList &values, const ValueChanges &changes)
{
    if (row == RowSmtpPort && !changes.contains(RowSmtpServerName))
        return QString();
    const QString complaint = addresseeComplaint(row, values);
    return complaint.isEmpty() ? diagnoseRow(row, values) : complaint;
}

} // namespace

QStringList givenValueProblems(const ValueChanges &changes)
{
    // Rows not given stay empty, so that they call for nothing.
    QStringList values;
    for (int row = 0; row < ConfigRowCount; ++row)
        values << QString();
    values = withChanges(values, changes);
    QStringList diagnoses = values;
    for (int row = 0; row < ConfigRowCount; ++row)
        diagnoses[row] = changes.contains(row) ? givenDiagnosis(row, values, changes) : QString();
    return problemLines(diagnoses) + textsThatDoNotFit(values);
}

int writeValues(DeviceLink &link, const QStringList &values, StatusReport report)
{
    DeviceConfig config;
    configFromValues(values, config);
    return statusExchange(link, kConfigUpdateKind, configUpdateRequest(config), report);
}

int readBackValues(DeviceLink &link, const QStringList &written, QStringList &readBack)
{
    const int code = queryValues(link, readBack);
    if (code != ExitDone)
        return code;
    return asRecorded(written) == readBack ? ExitDone : ExitDiffers;
}

int uploadCertificate(DeviceLink &link, const QByteArray &certificate, StatusReport report)
{
    return statusExchange(link, kCertificateUploadKind, certificateUploadRequest(certificate),
                          report);
}

QString certificateProblem(const QString &path, QByteArray &certificate)
{
    QString error;
    switch (readCertificateFile(path, certificate, error)) {
    case CertificateRead::Read: break;
    case CertificateRead::CannotOpen:
    case CertificateRead::CannotRead: return QStringLiteral("cannot read: %1").arg(error);
    case CertificateRead::TooLarge:
        return QStringLiteral("larger than %1 bytes").arg(CERT_DATA_MAX);
    }
    return certificate.isEmpty() ? QStringLiteral("empty") : QString();
}
