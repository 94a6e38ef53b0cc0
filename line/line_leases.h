// What a station does on the line's database: start a run under its name,
// take a row for a fixture under a lease, keep the lease while its unit is
// on the fixture, and record the unit's result, fenced so that a row is
// passed on at most one unit. Every call names the run by its token; the
// database takes the station, its batch and its fixtures from the run.
#ifndef LINE_LINE_LEASES_H
#define LINE_LINE_LEASES_H

#include "line/line_batch.h"
#include "line/line_database.h"
#include "station/unit_queue.h"

#include <QStringList>

// What a station starts a run with.
struct StationStart {
    QString batch;
    QString station;
    QString host;
    qint64 pid = 0;
    QStringList fixtures; // the ports, each fixture's name
    double leaseSeconds = 30;
    int rowTries = 3; // units failing alike in a row that set a row aside
};

// A station's run, as the database knows it.
struct LineRun {
    QString batch;
    QString station;
    QStringList fixtures;
    QByteArray token; // proves the run to the database; never shown
};

// Who holds a row, and in which generation of its claims.
struct LineLease {
    int fixture = 0; // the run's fixture, from 1; 0: the one that holds the row
    int row = 0;     // 0: no row (a unit that failed before it took one)
    qint64 generation = 0;
};

// The batch's counts as a station sees them.
struct StationCounts {
    qint64 rows = 0;
    qint64 waiting = 0;
    qint64 leased = 0;
    qint64 expiredLeases = 0;
    qint64 passed = 0;
    qint64 setAside = 0;
    qint64 failedUnits = 0;
    qint64 kept = 0; // rows kept for the units that may hold their values
};

// Takes the station's name for a new run. StationRunning, naming the
// other's host and pid, while a live station holds it (its heartbeat is
// younger than its lease and its session is there); NoSuchBatch if the
// batch is not there. The rows an earlier run of the name held stay as they
// are until stationReady().
LineStatus startStation(LineDatabase &database, const StationStart &start, LineRun &run);

// Gives back at once the rows earlier runs of the station held, once their
// results the journal alone held are recorded; a row whose values went to
// its unit goes only to a unit that holds them.
LineStatus stationReady(LineDatabase &database, const LineRun &run);

// The run on a new connection after the old one was lost, its leases as
// they are: the results of its units in progress are still to be recorded
// against them. RunEnded if another run took the name meanwhile.
LineStatus resumeRun(LineDatabase &database, const LineRun &run);

// The run's sign of life, with its batch's counts.
LineStatus stationSeen(LineDatabase &database, const LineRun &run, StationCounts &counts);

// Takes row `unitRow` (the row whose identity the unit holds; 0: none) if
// it is free, else the first waiting row of the batch, or one whose lease
// ran out, for the lease's fixture, for the run's lease. `claimed` false:
// no row free now. `passed`: `unitRow` passed already, and `row` describes
// it (without its values); nothing is taken. On a claim `lease` and `row`
// describe what was taken.
LineStatus claimRow(LineDatabase &database, const LineRun &run, LineLease &lease, int unitRow,
                    bool &claimed, bool &passed, LineRow &row);

// Each row's identity, by row number, the values keyed by their rows in the
// configuration; rows without one are left out.
LineStatus rowIdentities(LineDatabase &database, const LineRun &run,
                         QMap<int, QMap<int, QString>> &identities);

// The rows kept for the units that may hold their values (a unit that
// failed and could not give them back, or whose station died after they were
// sent), in row order, each with where its unit was last.
LineStatus rowsKeptForTheirUnit(LineDatabase &database, const LineRun &run, QVector<KeptRow> &kept);

// The rows of the batch set aside, in row order.
LineStatus setAsideRows(LineDatabase &database, const LineRun &run, QVector<int> &rows);

// Extends the lease if the run still holds it; `held` false if the row went
// to another claim (or was given back). BeforeWriting also marks the row's
// values as sent to the unit, so that should the lease run out, the row goes
// only to a unit that holds them.
enum class Renewal { Only, BeforeWriting };
LineStatus renewLease(LineDatabase &database, const LineRun &run, const LineLease &lease,
                      bool &held, Renewal renewal = Renewal::Only);

// A unit's result: the journal's JSON line for it, and what settles its row.
struct LineRecord {
    bool passed = false;
    QString failedStep;     // empty when passed
    QString message;        // why it failed
    QByteArray journalLine; // one JSON object
    // What became of the row's identity on a unit that failed after its
    // values may have reached it: "returned", "not_held", "kept"; empty for none.
    QString identity = QString();
};

// Keeps the result and, in the same transaction, settles the row if the
// station still holds its lease under the lease's generation. `settled`
// false: the result is kept, the row is not touched (it went to another
// unit meanwhile).
LineStatus recordUnit(LineDatabase &database, const LineRun &run, const LineLease &lease,
                      const LineRecord &record, bool &settled);

// Whether a result recorded over a connection that was lost meanwhile
// reached the database: one of the station's with the lease's row and
// generation and the journal line's `time`. `settled` says whether it
// settled its row.
LineStatus findRecord(LineDatabase &database, const LineRun &run, const LineLease &lease,
                      const QString &time, bool &found, bool &settled);

#endif // LINE_LINE_LEASES_H
