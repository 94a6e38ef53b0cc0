// The steps of commissioning one unit, each on an open link and a set of
// values, so that the commands and station mode run the same exchanges. Each
// answers an exit code; what the device or the line did wrong is already on
// standard error.
#ifndef CLI_UNIT_STEPS_H
#define CLI_UNIT_STEPS_H

#include "cli/config_file.h"
#include "cli/device_link.h"
#include "cli/device_requests.h"
#include "config/config_values.h"
#include "config/field_rules.h"

#include <QByteArray>
#include <QStringList>

// The problems of values given without the device's (a profile, --set
// pairs, a manifest row), as valueProblems words them: each given value's own
// rule, and a rule that joins rows only where the given values settle it.
QStringList givenValueProblems(const ValueChanges &changes);

// Sends the values as a Config Update and reports the device's status as
// `report` says; ExitDone for status 0.
int writeValues(DeviceLink &link, const QStringList &values,
                StatusReport report = StatusReport::AsResult);

// Reads the configuration into `readBack`: ExitDone when it holds `written`
// as the record carries them, ExitDiffers when it does not, otherwise why
// nothing was read.
int readBackValues(DeviceLink &link, const QStringList &written, QStringList &readBack);

// Reads the certificate a unit is to get; answers why it cannot be one
// ("cannot read: ...", "larger than 8192 bytes", "empty"), or an empty string.
QString certificateProblem(const QString &path, QByteArray &certificate);

// Uploads the certificate and reports the device's status as `report` says;
// ExitDone for status 0.
int uploadCertificate(DeviceLink &link, const QByteArray &certificate,
                      StatusReport report = StatusReport::AsResult);

#endif // CLI_UNIT_STEPS_H
