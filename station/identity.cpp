#include "station/identity.h"
#include "config/config_values.h"
#include "protocol/config_fields.h"

#include <QHash>

bool assignIdentities(QVector<UnitJob> &jobs)
{
    // How many jobs give each value of each key.
    QHash<int, QHash<QString, int>> uses;
    for (const UnitJob &job : jobs) {
        for (auto it = job.changes.constBegin(); it != job.changes.constEnd(); ++it)
            ++uses[it.key()][it.value()];
    }
    bool everyJob = true;
    for (UnitJob &job : jobs) {
        job.identity.clear();
        for (auto it = job.changes.constBegin(); it != job.changes.constEnd(); ++it) {
            if (uses.value(it.key()).value(it.value()) == 1)
                job.identity.insert(it.key(), it.value());
        }
        everyJob = everyJob && !job.identity.isEmpty();
    }
    return everyJob;
}

bool holdsIdentity(const UnitJob &job, const QStringList &unitValues)
{
    if (job.identity.isEmpty() || unitValues.size() != ConfigRowCount)
        return false;
    // What the unit would hold had it been given the identity.
    const QStringList given = asRecorded(withChanges(unitValues, job.identity));
    const QStringList held = asRecorded(unitValues);
    for (auto it = job.identity.constBegin(); it != job.identity.constEnd(); ++it) {
        if (given.at(it.key()) != held.at(it.key()))
            return false;
    }
    return true;
}
