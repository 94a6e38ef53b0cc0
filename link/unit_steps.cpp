#include "link/unit_steps.h"
#include "config/config_values.h"
#include "protocol/config_fields.h"
#include "protocol/device_message.h"

StepResult writeValues(DeviceLink &link, const QStringList &values)
{
    DeviceConfig config;
    configFromValues(values, config);
    return statusExchange(link, kConfigUpdateKind, configUpdateRequest(config));
}

StepResult readBackValues(DeviceLink &link, const QStringList &written, QStringList &readBack)
{
    StepResult result = queryValues(link, readBack);
    if (!result.done())
        return result;
    // Both come from the record, so text by text they compare as the device holds them.
    const QStringList sent = asRecorded(written);
    QStringList keys;
    for (int row = 0; row < ConfigRowCount; ++row) {
        if (sent.at(row) != readBack.at(row))
            keys << QLatin1String(kConfigFields[row].key);
    }
    if (keys.isEmpty())
        return result;
    result.outcome = StepOutcome::Differs;
    result.message =
        keys.join(QStringLiteral(", ")) + QLatin1String(keys.size() == 1 ? " differs" : " differ");
    return result;
}

StepResult restoreValues(DeviceLink &link, const QStringList &values)
{
    StepResult result = writeValues(link, values);
    QStringList readBack;
    return result.done() ? readBackValues(link, values, readBack) : result;
}

StepResult uploadCertificate(DeviceLink &link, const QByteArray &certificate)
{
    return statusExchange(link, kCertificateUploadKind, certificateUploadRequest(certificate));
}
