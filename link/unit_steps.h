// The steps of commissioning one unit, each on an open link and a set of
// values, so that the commands and the station run the same exchanges. Each
// answers its outcome; the link has told what the line did wrong.
#ifndef LINK_UNIT_STEPS_H
#define LINK_UNIT_STEPS_H

#include "config/config_values.h"
#include "device/certificate_file.h"
#include "link/device_link.h"
#include "link/device_requests.h"

#include <QByteArray>
#include <QStringList>

// Sends the values as a Config Update: Done for status 0.
StepResult writeValues(DeviceLink &link, const QStringList &values);

// Reads the configuration into `readBack`: Done when it holds `written` as
// the record carries them, Differs when it does not (the message names the
// keys that differ), otherwise why nothing was read.
StepResult readBackValues(DeviceLink &link, const QStringList &written, QStringList &readBack);

// Writes `values` back as a Config Update and reads them back: Done when
// the unit holds them again, as the record carries them.
StepResult restoreValues(DeviceLink &link, const QStringList &values);

// Uploads the certificate: Done for status 0.
StepResult uploadCertificate(DeviceLink &link, const QByteArray &certificate);

#endif // LINK_UNIT_STEPS_H
