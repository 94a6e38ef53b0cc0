// The configuration record as thirteen texts in row order (see
// protocol/config_fields.h), the form in which the window's table and
// kestroctl's files hold it.
#ifndef CONFIG_CONFIG_VALUES_H
#define CONFIG_CONFIG_VALUES_H

#include "config/profile.h"
#include "protocol/device_config.h"

#include <QStringList>

// Each text runs to the first NUL of its array, or to the array's end if
// there is none; the length byte is not trusted. Invalid UTF-8 shows as
// replacement characters. The port is written in decimal.
QStringList valuesFromConfig(const DeviceConfig &config);

// Fills the whole record from the values: each text as byte count, UTF-8
// bytes and NUL, cut at the last whole character that fits; the port as a
// decimal number, 0 when the text is none.
void configFromValues(const QStringList &values, DeviceConfig &config);

// The values as the device holds them after an Update: texts cut to their
// arrays, the port as the number it stands for (0 when it is none).
QStringList asRecorded(const QStringList &values);

// The SMTP port's number, when `value` is one the record can hold: the one
// reading of a port text for the record, the files and the journal.
bool smtpPortNumber(const QString &value, ushort &port);

// The thirteen values with the changes made.
QStringList withChanges(QStringList values, const ValueChanges &changes);

// The problems of values given without the device's (a profile, --set
// pairs, a manifest row), as valueProblems words them: each given value's own
// rule, and a rule that joins rows only where the given values settle it.
QStringList givenValueProblems(const ValueChanges &changes);

#endif // CONFIG_CONFIG_VALUES_H
