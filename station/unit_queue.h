// Where a station's rows come from and where its results go. A fixture
// claims a job, commissions its unit and completes the job with the result;
// the queue decides which job comes next and keeps the record. The manifest
// with its journal is one such queue; a store shared by several stations is
// another.
#ifndef STATION_UNIT_QUEUE_H
#define STATION_UNIT_QUEUE_H

#include "config/profile.h"

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QVector>

#include <functional>

// The step at which a unit failed; None: it passed. Interrupted: the
// operator stopped the station at once while the unit was on the line.
enum class FailedStep { None, Ping, Write, Verify, Certificate, Port, Lease, Interrupted };

// The step's name in the journal ("ping", "write", "verify", "certificate",
// "port", "lease", "interrupted"); empty for None.
const char *stepName(FailedStep step);

// One unit's work.
struct UnitJob {
    QString key;               // the queue's own handle on the job; opaque to the station
    int row = 0;               // the row's number, for people
    QString unit;              // the row's label; may be empty
    ValueChanges changes;      // the values to write over the device's own
    QByteArray certificate;    // empty: no upload
    QString certificateSha256; // lowercase hex; empty without a certificate
    // The values that tell this job's unit apart from every other job's (in
    // practice its host name); empty: none do, and its unit is known by its
    // presence alone. Fill with assignIdentities (station/identity.h).
    ValueChanges identity;
    QString rowKey; // the row's content (SHA-256, lowercase hex): what the record knows it by
    // Its unit held the job's identity when it took it: it came back to it
    // (after a try that kept the job for it, say), and is counted at its
    // first try only.
    bool cameBack = false;
};

// What became of a row's identity on a unit that failed once the row's
// values may have reached it (its Config Update was sent).
enum class IdentityFate {
    None,     // it passed, or failed before anything was sent
    Returned, // its own values were written back and read back: the row is free
    NotHeld,  // it does not hold the row's values (it ignored the update): the row is free
    Kept,     // it may hold them (its port went, it stopped answering, the write-back
              // failed): the row is kept for it
};

// The fate's name in the journal ("returned", "not_held", "kept"); empty for None.
const char *identityName(IdentityFate fate);

// A row kept for its unit, and where that unit was last.
struct KeptRow {
    int row = 0;
    QString unit;    // the row's label
    QString station; // the station the unit was on (a line's); empty: this one
    QString fixture; // the fixture (port) it was on
    QString since;   // ISO 8601; empty if not known

    // "fix2", or on a line "line-a's fix2".
    QString where() const
    {
        return station.isEmpty() ? fixture : station + QStringLiteral("'s ") + fixture;
    }
};

// "row 3", or with its label "row 3 (B-0003)": a row as the operator is told of it.
QString rowLabel(int row, const QString &unit);
// The line a fixture is told about a row kept for another unit; `onto` says
// where that unit goes ("a fixture", "a fixture of the line").
QString keptRowNote(const KeptRow &kept, const QString &onto);

// A fixture's units as a supervisor counts them: a unit that came back to
// its job is counted at its first try; one that failed before it took a job
// counts as tried.
struct FixtureFigures {
    QString fixture;
    qint64 tried = 0;
    qint64 passed = 0;
    qint64 passedFirst = 0; // passed at their first try
    QString lastFailure;    // "verify: hostname differs"; empty if none failed
    // Its last 3 units failed at the same step while another fixture passed.
    bool flagged = false;

    // The share of the units tried that passed at their first try; -1 if none tried.
    double firstPassYield() const { return tried > 0 ? double(passedFirst) / double(tried) : -1; }
};

// A step and message that cost units, and how many.
struct CauseFigures {
    QString step;
    QString message;
    qint64 units = 0;
};

// What became of one unit.
struct UnitResult {
    QString fixture; // the port the unit was on
    FailedStep failedStep = FailedStep::None;
    QString message;    // why it failed; empty when it passed
    QStringList values; // as read back after the write; empty: nothing was read back
    double seconds = 0;
    QString notRecorded; // set by the station, not the queue: why the record failed
    IdentityFate identity = IdentityFate::None;

    bool passed() const { return failedStep == FailedStep::None; }
};

// A run's counts, as the operator's lines give them.
struct QueueProgress {
    int rows = 0;        // jobs in the run
    int passed = 0;      // jobs whose unit passed and was recorded
    int failedUnits = 0; // units recorded as failed, with or without a job
    // Rows set aside for the run after repeated failures, in the order they
    // were set aside; they are never claimed again, and the run ends without them.
    QVector<int> setAsideRows;
    // Rows kept for the units that may hold their values, in row order: the
    // run waits for those units.
    QVector<KeptRow> keptRows;

    // No job waits any more: each has passed or was set aside.
    bool settled() const { return passed + setAsideRows.size() >= rows; }
};

class UnitQueue
{
public:
    enum class Claim {
        Claimed,       // `job` is this fixture's until it is completed
        Ended,         // no job will come: every job passed or was set aside, or `stopping`
                       // answered true
        Unavailable,   // the queue cannot be asked now; try again later. `problem` is the
                       // line to tell, or empty when it was told already
        KeptForOthers, // no job is free for this unit but jobs kept for other units; `problem`
                       // says which, once each. Read the unit again before asking again: it
                       // may have been swapped for the unit a job is kept for
        AlreadyPassed  // the unit holds the identity of `job`, which passed: it is that job's
                       // unit, not to be written again; `job` is not held
    };

    // How the record of a completed job ended.
    enum class Completion {
        Settled,     // recorded, and the job settled
        NotRecorded, // the record could not be made (`problem` says why); the run stops
        Pending,     // kept by the station, to be recorded once the store is back; `problem`,
                     // if not empty, is a note to tell
        Unsettled,   // kept, but it settles nothing (the job went to another unit meanwhile);
                     // `problem` is the unit's line for the operator; the run goes on
    };

    virtual ~UnitQueue() = default;

    // Gives the unit on `fixture`, which holds `unitValues` (the thirteen
    // values it answered to Config Query; empty: not known), a job: the job
    // whose identity it holds (holdsIdentity) if that job is waiting (written,
    // then not recorded), AlreadyPassed if that job passed; otherwise the
    // first job that is waiting, in the queue's order, waiting while every
    // job not passed is held by another fixture, until `stopping` answers
    // true. Safe to call from several threads at once.
    virtual Claim claim(const QString &fixture, const QStringList &unitValues,
                        const std::function<bool()> &stopping, UnitJob &job, QString &problem) = 0;
    // Records the result of a claimed job and settles it in one step: passed
    // for good, or failed and waiting again for the next claim, but set aside
    // for the run once the queue's row tries (3 unless it was told otherwise)
    // units in a row failed it at the same step with the same message. False,
    // with the reason, if the record could not be made; the job then counts
    // as neither passed nor failed.
    virtual bool complete(const UnitJob &job, const UnitResult &result, QString &problem) = 0;
    // complete(), told apart further by a queue that others take from too,
    // or whose store may be out of reach for a while. By default Settled or
    // NotRecorded, as complete() answers.
    virtual Completion completeJob(const UnitJob &job, const UnitResult &result, QString &problem)
    {
        return complete(job, result, problem) ? Completion::Settled : Completion::NotRecorded;
    }
    // Records a unit that failed before it took a job (its Ping). False, with
    // the reason, if the record could not be made.
    virtual bool recordUnclaimed(const UnitResult &result, QString &problem) = 0;
    // The counts of the run so far.
    virtual QueueProgress progress() const = 0;
    // Whether the fixture still holds the job, asked before each step that
    // gives the unit its identity; false, with the reason, if the job may
    // be another fixture's by now. A queue no one else takes from always
    // holds.
    virtual bool stillHolds(const UnitJob &, const QString &, QString &) { return true; }
    // The operator asked to stop at once: a queue that waits on something
    // outside (a database) gives those waits up now.
    virtual void interrupt() {}
    // Why the queue can serve this run no more (another run took its place,
    // say); empty while it can. The run then stops.
    virtual QString fatal() const { return QString(); }
    // A note about the queue to tell the operator once, noticed while no
    // fixture asked (a store that went out of reach); empty: none.
    virtual QString note() { return QString(); }
};

#endif // STATION_UNIT_QUEUE_H
