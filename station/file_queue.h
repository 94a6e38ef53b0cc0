// The embedded queue of a single station: the manifest's rows in manifest
// order, and the journal as the record. A row is waiting, held by one
// fixture, passed, or set aside; a row whose unit failed waits again, until
// it has failed too often the same way.
#ifndef STATION_FILE_QUEUE_H
#define STATION_FILE_QUEUE_H

#include "station/identity.h"
#include "station/journal.h"
#include "station/unit_queue.h"

#include <QHash>
#include <QSet>
#include <QVector>

#include <condition_variable>
#include <mutex>

class FileQueue : public UnitQueue
{
public:
    // The jobs keyed by their row numbers; the rows in `passedRows` passed
    // in an earlier run, those in `keptRows` are kept for the units an earlier
    // run left them on (with the port each was on). A row is set aside once
    // `rowTries` units in a row failed it at the same step with the same
    // message. A row whose unit failed and may hold its values is kept for
    // that unit: only a unit that holds its identity takes it again.
    FileQueue(const QVector<UnitJob> &jobs, const QSet<int> &passedRows, bool withSecrets,
              int rowTries = 3, const QHash<int, QString> &keptRows = {});

    // Opens the journal the results are appended to; false, with the reason,
    // if it cannot be written. Until then, no record can be made.
    bool openJournal(const QString &path, const JournalHistory &history, QString &problem);

    Claim claim(const QString &fixture, const QStringList &unitValues,
                const std::function<bool()> &stopping, UnitJob &job, QString &problem) override;
    bool complete(const UnitJob &job, const UnitResult &result, QString &problem) override;
    bool recordUnclaimed(const UnitResult &result, QString &problem) override;
    QueueProgress progress() const override;

private:
    enum class State { Waiting, Held, Passed, SetAside, Kept };

    // How the row's last units failed: the same way, `count` times in a row.
    struct Failures {
        FailedStep step = FailedStep::None;
        QString message;
        int count = 0;
    };

    int indexOf(const UnitJob &job) const;
    State settle(int index, const UnitResult &result, bool wasKept);
    QString keptRowNote();
    KeptRow keptRowAt(int index) const;
    int indexHeldBy(const QStringList &unitValues) const;
    bool append(const UnitJob &job, const UnitResult &result, QString &problem);

    IdentityIndex heldBy_; // the jobs' identities, by job index
    QHash<QString, int> indexOfKey_;
    QVector<QString> keptWhere_; // the port a kept row's unit was on
    QHash<int, bool> wasKept_;   // the held jobs, whether each was kept when taken
    QSet<int> toldKept_;         // kept rows told to a fixture, once each
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    QVector<UnitJob> jobs_;
    QVector<State> states_;
    QVector<Failures> failures_;
    QVector<int> setAside_;
    int rowTries_ = 3;
    JournalWriter journal_;
    bool journalOpen_ = false;
    bool withSecrets_ = false;
    int passed_ = 0;
    int failedUnits_ = 0;
};

#endif // STATION_FILE_QUEUE_H
