#include "cli/unit_steps.h"
#include "cli/device_requests.h"
#include "cli/exit_codes.h"
#include "config/config_values.h"
#include "config/field_rules.h"
#include "protocol/config_fields.h"

QStringList valueProblems(const QStringList &values)
{
    const QStringList diagnoses = diagnoseAll(values);
    QStringList lines;
    for (int row = 0; row < ConfigRowCount; ++row) {
        if (!diagnoses.at(row).isEmpty())
            lines << QString::fromLatin1(kConfigFields[row].rowName) + QStringLiteral(": ") +
                         diagnoses.at(row);
    }
    return lines + textsThatDoNotFit(values);
}

int writeValues(DeviceLink &link, const QStringList &values)
{
    DeviceConfig config;
    configFromValues(values, config);
    return statusExchange(link, kConfigUpdateKind, configUpdateRequest(config));
}

int readBackValues(DeviceLink &link, const QStringList &written, QStringList &readBack)
{
    const int code = queryValues(link, readBack);
    if (code != ExitDone)
        return code;
    return asRecorded(written) == readBack ? ExitDone : ExitDiffers;
}

int uploadCertificate(DeviceLink &link, const QByteArray &certificate)
{
    return statusExchange(link, kCertificateUploadKind, certificateUploadRequest(certificate));
}

QStringList asRecorded(const QStringList &values)
{
    DeviceConfig config;
    configFromValues(values, config);
    return valuesFromConfig(config);
}
