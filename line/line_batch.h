// A batch of rows on the line's database: imported whole, watched while
// stations work through it, and its results exported.
#ifndef LINE_LINE_BATCH_H
#define LINE_LINE_BATCH_H

#include "line/line_database.h"
#include "station/unit_queue.h"

#include <QByteArray>
#include <QMap>
#include <QString>
#include <QVector>

#include <functional>

// One row as a station will send it: the values by their profile keys, and
// the certificate (empty: none).
struct LineRow {
    int number = 0;
    QString unit;
    QMap<QString, QString> values;
    QByteArray certificate;
    QString certificateSha256; // lowercase hex; empty without a certificate
};

// A new row whose host name a row of an open batch (one with rows that are
// neither passed nor set aside) has too, of any case.
struct SharedHostname {
    int row = 0;      // the new row's number
    QString hostname; // as the new row gives it
    QString batch;    // the open batch
    int batchRow = 0; // its row with the host name
};

// Stores the batch and its rows in one transaction: all rows or none. Each
// distinct certificate is stored once. BatchExists if the name is taken.
// Given `shared`, a host name that an open batch holds already stops the
// import: every row that gives one goes to `shared`, and the answer is
// BadInput. Without it, rows may share host names with other batches (a
// batch that replaces another).
LineStatus importBatch(LineDatabase &database, const QString &batch, const QVector<LineRow> &rows,
                       QVector<SharedHostname> *shared = nullptr);

// A row's values (or identity) as the database keeps them, a JSON object of
// strings by profile key; anything else reads as none.
QMap<QString, QString> rowValuesOf(const QByteArray &json);

// A batch some of whose rows are left without an identity: their values are
// all shared with other rows, so their units are known by presence alone.
struct RowsWithoutIdentity {
    QString batch;
    int rows = 0;
};

// Gives every row stored without an identity (imported before rows kept
// one) the identity import gives, worked out over its whole batch, batch by
// batch, in the caller's transaction. `left` takes each batch with rows
// that still have none.
LineStatus fillMissingIdentities(LineDatabase &database, QVector<RowsWithoutIdentity> &left);

struct StationProgress {
    QString station;
    int fixtures = 0;
    qint64 passed = 0;
    qint64 failed = 0;
    qint64 unitsPerHour = 0;                // units tried in the last 10 minutes, times 6
    QString lastSeen;                       // ISO 8601, empty if the station never registered
    QVector<FixtureFigures> fixtureFigures; // each fixture that tried a unit of the batch
};

struct BatchProgress {
    QString batch;
    qint64 rows = 0;
    qint64 waiting = 0;
    qint64 leased = 0;
    qint64 expiredLeases = 0; // of the leased: lease run out, not yet claimed again
    qint64 passed = 0;
    qint64 setAside = 0;
    qint64 failedUnits = 0;
    qint64 kept = 0;                   // rows kept for the units that may hold their values
    QVector<KeptRow> keptRows;         // which, and where their units were (with the stations)
    QVector<StationProgress> stations; // each that tried a unit of the batch or holds a row
    // With the stations: rows passed per hour over the last 10 minutes, and
    // the seconds left at that rate (-1: none passed lately); the three
    // commonest causes of failure.
    qint64 passedPerHour = 0;
    qint64 etaSeconds = -1;
    QVector<CauseFigures> causes;
};

// Every batch in import order, or only `batch` (NoSuchBatch if it is not
// there); each with its stations, unless a station asks for the counts alone.
enum class WithStations { Yes, No };
LineStatus batchProgress(LineDatabase &database, const QString &batch,
                         QVector<BatchProgress> &batches,
                         WithStations withStations = WithStations::Yes);

// The rows kept for their units that `statement` gives for `key` (a batch's
// id, or a station run's token), each with where its unit was last.
LineStatus keptRowsBy(LineDatabase &database, const char *statement, const QByteArray &key,
                      QVector<KeptRow> &kept);

// Frees row `row` of the batch, kept for a unit that is lost for good, for
// any unit, and keeps the reason with who released it (the session's role).
// `unit` takes the row's label, `where` where its unit was last. BadInput if
// the row is kept for no unit.
LineStatus releaseRow(LineDatabase &database, const QString &batch, int row, const QString &reason,
                      QString &unit, QString &where);

// Hands `line` every unit tried in the batch, oldest first, as the JSON line
// its station journalled, with "batch" and "station" added. Stops early when
// `line` answers false.
LineStatus exportBatch(LineDatabase &database, const QString &batch,
                       const std::function<bool(const QByteArray &line)> &line);

#endif // LINE_LINE_BATCH_H
