// What tells one unit of a run from another: the values its job gives that
// no other job gives. A unit read before it takes a job is known by them, so
// that a unit left on its fixture is never given a second identity.
#ifndef STATION_IDENTITY_H
#define STATION_IDENTITY_H

#include "station/unit_queue.h"

#include <QHash>
#include <QPair>
#include <QStringList>
#include <QVector>

// Fills each job's identity with those of its values that no other job
// shares; false if some job is left without one.
bool assignIdentities(QVector<UnitJob> &jobs);

// Whether `unitValues` (the thirteen values a unit holds) hold the job's
// whole identity, each value compared as the device records it; false for
// a job without one, or unknown values.
bool holdsIdentity(const UnitJob &job, const QStringList &unitValues);

// The identities of many jobs, to find the one a unit holds without asking
// every job: holdsIdentity's answer, looked up by the values themselves, as
// the device records them, so that a unit costs the same however many jobs
// there are.
class IdentityIndex
{
public:
    // Adds job `id`'s identity; one without any is never found.
    void add(int id, const ValueChanges &identity);
    // The smallest id whose whole identity `unitValues` hold; -1 if none.
    int find(const QStringList &unitValues) const;
    int size() const { return recorded_.size(); }

private:
    QHash<QPair<int, QString>, QVector<int>> byValue_; // (row, value as recorded) to ids
    QHash<int, ValueChanges> recorded_;                // each id's identity, as recorded
};

#endif // STATION_IDENTITY_H
