// The steps on one unit, on a link whose unit has answered its Ping.
#ifndef STATION_COMMISSION_H
#define STATION_COMMISSION_H

#include "link/device_link.h"
#include "station/unit_queue.h"

#include <functional>

// Writes the job's values over the unit's own, `deviceValues` as it answered
// them to the Config Query before it took the job (if the rules accept the
// whole: a rule may need a value only the device gave), reads them back and
// compares, then uploads the certificate. The result's fixture is left to
// the caller. The steps' own diagnoses are told through the link.
// `holds`, if given, is asked before the values are written and before the
// certificate: false stops the unit there, failed at "lease" with its reason.
// A unit that fails once its Config Update was sent gives the row's
// identity back if it still answers and holds it: it is written back to
// `deviceValues` and read back; the result's identity says what became of it.
UnitResult commission(DeviceLink &link, const UnitJob &job, const QStringList &deviceValues,
                      const std::function<bool(QString &why)> &holds = {});

#endif // STATION_COMMISSION_H
