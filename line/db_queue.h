// The queue of a station on a line: the rows of one batch in the line's
// database, shared with the other stations. A job is a row under a lease;
// its result is recorded, and its row settled, only while the lease holds.
#ifndef LINE_DB_QUEUE_H
#define LINE_DB_QUEUE_H

#include "line/line_database.h"
#include "line/line_leases.h"
#include "station/identity.h"
#include "station/journal.h"
#include "station/unit_queue.h"

#include <QMap>
#include <QSet>
#include <QStringList>
#include <QVector>

#include <atomic>
#include <chrono>
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
        // A row is set aside, for every station, once this many units in a
        // row failed it at the same step with the same message.
        int rowTries = 3;
    };

    explicit DbQueue(const Settings &settings) : settings_(settings) {}
    ~DbQueue() override;
    DbQueue(const DbQueue &) = delete;
    DbQueue &operator=(const DbQueue &) = delete;

    // Connects, checks the schema's version and starts the station's run
    // under its name, with `fixtures` (the ports); what an earlier run
    // journalled alone is recorded, then the leases earlier runs under that
    // name held are given back. NoSuchBatch if the batch is not there. From
    // then on, in a thread of the queue's own, the leases of the jobs in
    // progress are renewed every third of a lease until they are completed,
    // the station tells the database it is alive and reads its batch's
    // counts about once a second, and a lost connection is made again.
    // `abandon`, if given and set meanwhile, gives up the waits of open().
    LineStatus open(const QString &connectionString, const QString &host, qint64 pid,
                    const QStringList &fixtures, const std::atomic<bool> *abandon = nullptr);
    // Opens the station's own journal: every result is appended to it, with
    // "batch" and "station", as the database records it. False, with the
    // reason, if it cannot be written.
    bool openJournal(const QString &path, const JournalHistory &history, QString &problem);
    // Called before open(): takes the results an earlier run under this name
    // journalled while the database was away, for open() to record, fenced
    // by their claims, before it gives that run's leases back.
    void readUnrecorded(const QString &path);

    // A unit that holds the identity of a row that passed (on any station) is
    // that row's: AlreadyPassed, with it. One that holds a row's not passed
    // takes that row, waiting while a live lease holds it; any other unit
    // takes the first waiting row.
    Claim claim(const QString &fixture, const QStringList &unitValues,
                const std::function<bool()> &stopping, UnitJob &job, QString &problem) override;
    // Settled or Pending as true; a late result (Unsettled) as false, with
    // the unit's line, so that the unit is not taken for commissioned.
    bool complete(const UnitJob &job, const UnitResult &result, QString &problem) override;
    // A result is written to the station's journal inside the transaction
    // that records it, so a journal that cannot be written records nothing.
    // While the database is out of reach, the result goes to the journal
    // alone, marked "recorded": false, and is recorded (fenced as ever)
    // once the database is back, before any row is claimed again.
    Completion completeJob(const UnitJob &job, const UnitResult &result, QString &problem) override;
    bool recordUnclaimed(const UnitResult &result, QString &problem) override;
    // The batch's counts, all stations together, as last read: never waits
    // for the database.
    QueueProgress progress() const override;

    // Extends the job's lease, and marks the row's values as sent to the
    // unit: should the lease run out, the row goes only to a unit that holds
    // them. False, with the reason, if the lease was lost, and also when the
    // database did not answer: an answer that did not arrive is no yes.
    bool stillHolds(const UnitJob &job, const QString &fixture, QString &problem) override;
    // Gives up at once every wait for the database.
    void interrupt() override { interrupted_ = true; }
    QString fatal() const override;
    // An outage noticed while no fixture asked (the station's own sign of
    // life), told once.
    QString note() override;

    // The results the database has not taken yet (they are in the journal);
    // never waits for the database.
    int unrecorded() const;

private:
    struct Pending {
        QString port; // the unit's, as its journal line has it
        LineLease lease;
        LineRecord record;
        QString lateLine; // the unit's line should the result come too late
    };
    struct Holding {
        QString fixture;
        qint64 generation = 0; // of the claim, which fences its result
        bool marked = false;   // the row's values were sent to the unit under it
    };

    // With the lock held: the fixture's lease on the job (generation 0 if it
    // holds none).
    LineLease leaseOf(const UnitJob &job, const QString &fixture) const;
    int fixtureNumber(const QString &fixture) const;
    // With the lock held: one try at a claim. False when no row is free now
    // and the fixture should ask again; else `answer` is the claim's.
    bool claimOnce(const QString &fixture, int unitRow, UnitJob &job, QString &problem,
                   Claim &answer);
    // With the lock held, no row taken: whether the fixture should stop
    // asking (`answer`: the run ended, or the queue cannot be asked now).
    bool nothingFree(LineStatus status, QString &problem, Claim &answer);
    Completion record(const UnitJob &job, const UnitResult &result, QString &problem);
    Completion unrecordedCompletion(const Pending &pending, QString &problem);
    void addUnrecorded(const QByteArray &line);
    LineStatus recordJournalled(const Pending &pending, bool &settled, QString &problem);
    LineStatus startRun();
    StationCounts counts() const;
    // The row whose identity the unit holds, or 0.
    int rowHeldBy(const QStringList &unitValues) const;
    // With the lock held: reads the batch's counts (the run's sign of life
    // too) into the progress the station is told.
    LineStatus refreshCounts();
    // With the lock held: the line about a row kept for its unit not told
    // yet, or an empty one.
    QString keptRowNote();
    // With the lock held: the database is out of reach if `status` says so,
    // or the run is over if another took its name; answers the line for the
    // operator.
    QString unavailable(const LineStatus &status);
    void noteFailure(const LineStatus &status);
    void lost(const LineStatus &status);
    QString outageNote();
    // With the lock held: connects again if the database was lost and the
    // back-off allows, then records what is pending. True once reachable.
    bool reconnect();
    LineStatus resume();
    void recordPending();

    void keepUp();
    void renewHeld();

    Settings settings_;
    mutable std::mutex mutex_; // one connection, one request at a time
    LineDatabase database_;
    LineRun run_;
    mutable std::mutex countsMutex_; // the counts alone, read without waiting for the database
    QueueProgress last_;
    StationCounts counts_;
    QString fatal_; // why the run cannot go on; empty while it can
    std::atomic<bool> interrupted_{false};
    QMap<QString, Holding> held_; // the jobs in progress, by key (the row's number)
    // Each row's identity, by row number; fixed at the batch's import.
    QMap<int, QMap<int, QString>> identities_;
    IdentityIndex heldBy_; // the same, to find a unit's row by its values
    bool closing_ = false;
    std::condition_variable wake_;
    std::thread keeper_;
    JournalWriter journal_;
    bool journalOpen_ = false;

    // Where to connect again.
    QString connectionString_;
    // An outage: its reason, whether it was told, when to try again.
    bool reachable_ = true;
    bool toldOutage_ = false; // with countsMutex_, as outageToTell_
    QString outageToTell_;
    LineStatus outage_;
    int backoffMs_ = 0;
    std::chrono::steady_clock::time_point nextTry_;
    QVector<Pending> pending_; // in the order they came
    // How many, read without waiting for the database (whose call may hold the lock).
    std::atomic<int> unrecorded_{0};
    QStringList lateLines_;    // late results found while recording what was pending
    QSet<int> toldKept_;       // rows kept for their units, told once each
};

#endif // LINE_DB_QUEUE_H
