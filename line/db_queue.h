// The queue of a station on a line: the rows of one batch in the line's
// database, shared with the other stations. A job is a row under a lease;
// its result is recorded, and its row settled, only while the lease holds.
#ifndef LINE_DB_QUEUE_H
#define LINE_DB_QUEUE_H

#include "line/line_database.h"
#include "line/line_leases.h"
#include "station/journal.h"
#include "station/unit_queue.h"

#include <QMap>

#include <condition_variable>
#include <mutex>
#include <thread>

class DbQueue : public UnitQueue
{
public:
    struct Settings {
        QString batch;
        QString station;
        double leaseSeconds = 30;
        bool withSecrets = false; // passwords in the recorded results
    };

    explicit DbQueue(const Settings &settings) : settings_(settings) {}
    ~DbQueue() override;
    DbQueue(const DbQueue &) = delete;
    DbQueue &operator=(const DbQueue &) = delete;

    // Connects, checks the schema's version and takes the station's name for
    // as long as the queue lives; the leases an earlier run under that name
    // held are given back. NoSuchBatch if the batch is not there. From then
    // on the leases of the jobs in progress are renewed every third of a
    // lease, until they are completed, and the station is marked as seen.
    LineStatus open(const QString &connectionString, const QString &host, qint64 pid, int fixtures);
    // Opens the station's own journal: every result is appended to it, with
    // "batch" and "station", before the database records it. False, with the
    // reason, if it cannot be written.
    bool openJournal(const QString &path, const JournalHistory &history, QString &problem);

    // The unit's values are not matched against the batch's identities yet:
    // every unit gets the first waiting row.
    Claim claim(const QString &fixture, const QStringList &unitValues,
                const std::function<bool()> &stopping, UnitJob &job, QString &problem) override;
    // A result that comes after the row went to another unit is kept, but
    // settles nothing: for a passed unit that is answered as a record not
    // made, so that the unit is not taken for commissioned.
    bool complete(const UnitJob &job, const UnitResult &result, QString &problem) override;
    bool recordUnclaimed(const UnitResult &result, QString &problem) override;
    // The batch's counts, all stations together; the last known ones while
    // the database cannot be asked.
    QueueProgress progress() const override;

    // Extends the job's lease; false, with the reason, if it was lost or the
    // database cannot be asked.
    bool stillHolds(const UnitJob &job, const QString &fixture, QString &problem) override;

private:
    // With the lock held: the fixture's lease on the job (generation 0 if it
    // holds none).
    LineLease leaseOf(const UnitJob &job, const QString &fixture) const;
    bool record(const UnitJob &job, const UnitResult &result, bool &settled, QString &problem);
    // With the lock held: true while a row is waiting or leased.
    bool rowsOpen(QString &problem) const;

    void renewHeld();

    Settings settings_;
    mutable std::mutex mutex_; // one connection, one request at a time
    mutable LineDatabase database_;
    mutable QueueProgress last_;
    struct Holding {
        QString fixture;
        qint64 generation = 0; // of the claim, which fences its result
    };
    QMap<QString, Holding> held_; // the jobs in progress, by key (the row's number)
    bool closing_ = false;
    std::condition_variable wake_;
    std::thread renewer_;
    JournalWriter journal_;
    bool journalOpen_ = false;
};

#endif // LINE_DB_QUEUE_H
