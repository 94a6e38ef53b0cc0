// What tells one unit of a run from another: the values its job gives that
// no other job gives. A unit read before it takes a job is known by them, so
// that a unit left on its fixture is never given a second identity.
#ifndef STATION_IDENTITY_H
#define STATION_IDENTITY_H

#include "station/unit_queue.h"

#include <QStringList>
#include <QVector>

// Fills each job's identity with those of its values that no other job
// shares; false if some job is left without one.
bool assignIdentities(QVector<UnitJob> &jobs);

// Whether `unitValues` (the thirteen values a unit holds) hold the job's
// whole identity, each value compared as the device records it; false for
// a job without one, or unknown values.
bool holdsIdentity(const UnitJob &job, const QStringList &unitValues);

#endif // STATION_IDENTITY_H
