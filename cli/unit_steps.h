// The steps of commissioning one unit, each on an open link and a set of
// values, so that the commands and station mode run the same exchanges. Each
// answers an exit code; what the device or the line did wrong is already on
// standard error.
#ifndef CLI_UNIT_STEPS_H
#define CLI_UNIT_STEPS_H

#include "cli/config_file.h"
#include "cli/device_link.h"
#include "cli/device_requests.h"

#include <QByteArray>
#include <QStringList>

// Every problem the window's rules find in the thirteen values, as
// "<row name>: <diagnosis>", then the texts that do not fit the record; empty
// when the values may be sent.
QStringList valueProblems(const QStringList &values);

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

// The values as the record carries them: texts cut to their arrays, the port
// as the number it stands for.
QStringList asRecorded(const QStringList &values);

#endif // CLI_UNIT_STEPS_H
