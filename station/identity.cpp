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

void IdentityIndex::add(int id, const ValueChanges &identity)
{
    if (identity.isEmpty())
        return;
    QStringList blank;
    while (blank.size() < ConfigRowCount)
        blank << QString();
    const QStringList given = asRecorded(withChanges(blank, identity));
    ValueChanges recorded;
    for (auto it = identity.constBegin(); it != identity.constEnd(); ++it) {
        recorded.insert(it.key(), given.at(it.key()));
        byValue_[qMakePair(it.key(), given.at(it.key()))].append(id);
    }
    recorded_.insert(id, recorded);
}

int IdentityIndex::find(const QStringList &unitValues) const
{
    if (unitValues.size() != ConfigRowCount || recorded_.isEmpty())
        return -1;
    const QStringList held = asRecorded(unitValues);
    int found = -1;
    for (int row = 0; row < ConfigRowCount; ++row) {
        for (const int id : byValue_.value(qMakePair(row, held.at(row)))) {
            if (found >= 0 && id >= found)
                continue;
            const ValueChanges identity = recorded_.value(id);
            bool whole = true;
            for (auto it = identity.constBegin(); whole && it != identity.constEnd(); ++it)
                whole = held.at(it.key()) == it.value();
            found = whole ? id : found;
        }
    }
    return found;
}
