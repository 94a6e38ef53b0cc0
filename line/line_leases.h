// What a station does on the line's database: take a row for a fixture
// under a lease, keep the lease while its unit is on the fixture, and record
// the unit's result, fenced so that a row is passed on at most one unit.
#ifndef LINE_LINE_LEASES_H
#define LINE_LINE_LEASES_H

#include "line/line_batch.h"
#include "line/line_database.h"

// Who holds a row, and in which generation of its claims.
struct LineLease {
    QString batch;
    QString station;
    QString fixture;
    int row = 0; // 0: no row (a unit that failed before it took one)
    qint64 generation = 0;
};

// Registers the station under its name for as long as this connection
// lives, and gives back at once the leases an earlier run of it held.
// StationRunning, naming the other's host and pid, if the name is taken.
LineStatus startStation(LineDatabase &database, const QString &station, const QString &host,
                        qint64 pid, int fixtures);

// Takes the station's name again on a new connection after the old one was
// lost, leaving its leases as they are: the results of its units in
// progress are still to be recorded against them. Unreachable while the
// name is held by the lost session (the server has not seen it go yet);
// StationRunning if another process took the name meanwhile.
LineStatus resumeStation(LineDatabase &database, const QString &station, const QString &host,
                         qint64 pid);

// Marks the station as seen now.
LineStatus stationSeen(LineDatabase &database, const QString &station);

// Takes row `unitRow` (the row whose identity the unit holds; 0: none) if
// it is free, else the first waiting row of the batch, or one whose lease
// ran out, for the lease's station and fixture, for `leaseSeconds`.
// `claimed` false: no row free now. `passed`: `unitRow` passed already, and
// `row` describes it; nothing is taken. On a claim `lease` and `row`
// describe what was taken.
LineStatus claimRow(LineDatabase &database, LineLease &lease, double leaseSeconds, int unitRow,
                    bool &claimed, bool &passed, LineRow &row);

// Each row's identity, by row number, the values keyed by their rows in the
// configuration; rows without one are left out.
LineStatus rowIdentities(LineDatabase &database, const QString &batch,
                         QMap<int, QMap<int, QString>> &identities);

// The rows whose lease ran out after their values were sent to the unit:
// kept for that unit. Each as the operator's line that says where it was.
LineStatus rowsKeptForTheirUnit(LineDatabase &database, const QString &batch,
                                QMap<int, QString> &lines);

// The rows of the batch set aside, in row order.
LineStatus setAsideRows(LineDatabase &database, const QString &batch, QVector<int> &rows);

// Extends the lease if it is still held; `held` false if the row went to
// another claim (or was given back). BeforeWriting also marks the row's
// values as sent to the unit, so that should the lease run out, the row goes
// only to a unit that holds them.
enum class Renewal { Only, BeforeWriting };
LineStatus renewLease(LineDatabase &database, const LineLease &lease, double leaseSeconds,
                      bool &held, Renewal renewal = Renewal::Only);

// A unit's result: the journal's JSON line for it, and what settles its row.
struct LineRecord {
    bool passed = false;
    QString failedStep;     // empty when passed
    QString message;        // why it failed
    int rowTries = 3;       // units failing alike in a row that set the row aside
    QByteArray journalLine; // one JSON object
};

// Keeps the result and, in the same transaction, settles the row if the
// lease (holder and generation) still holds. `settled` false: the result is
// kept, the row is not touched (it went to another unit meanwhile).
LineStatus recordUnit(LineDatabase &database, const LineLease &lease, const LineRecord &record,
                      bool &settled);

// Whether a result recorded over a connection that was lost meanwhile
// reached the database: one with the lease's station, fixture, row and
// generation and the journal line's `time`. `settled` says whether it
// settled its row.
LineStatus findRecord(LineDatabase &database, const LineLease &lease, const QString &time,
                      bool &found, bool &settled);

#endif // LINE_LINE_LEASES_H
