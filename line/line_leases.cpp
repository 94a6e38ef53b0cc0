#include "line/line_leases.h"
#include "config/profile.h"
#include "line/line_query.h"

namespace {

QByteArray number(qint64 value)
{
    return QByteArray::number(value);
}

QByteArray seconds(double value)
{
    return QByteArray::number(value, 'f', 3);
}

} // namespace

LineStatus startStation(LineDatabase &database, const QString &station, const QString &host,
                        qint64 pid, int fixtures)
{
    QueryResult result;
    const LineStatus status =
        runQuery(database, "SELECT * FROM line_station_start($1, $2, $3::integer, $4::integer)",
                 {station.toUtf8(), host.toUtf8(), number(pid), number(fixtures)}, &result);
    if (!status.ok() || result.text(0, 0) == QLatin1String("t"))
        return status;
    return LineStatus::failed(LineFault::StationRunning,
                              QStringLiteral("station %1 is already running (host %2, pid %3)")
                                  .arg(station, result.text(0, 1), result.text(0, 2)));
}

LineStatus resumeStation(LineDatabase &database, const QString &station, const QString &host,
                         qint64 pid)
{
    // The key line_station_start locks the name under.
    QueryResult result;
    const LineStatus status =
        runQuery(database,
                 "SELECT pg_try_advisory_lock(19251, hashtext($1)), s.host, s.pid "
                 "FROM (SELECT 1) one LEFT JOIN line_stations s ON s.name = $1",
                 {station.toUtf8()}, &result);
    if (!status.ok() || result.text(0, 0) == QLatin1String("t"))
        return status.ok() ? stationSeen(database, station) : status;
    if (result.text(0, 1) == host && result.number(0, 2) == pid)
        return LineStatus::failed(LineFault::Unreachable,
                                  QStringLiteral("station %1's lost connection still holds its "
                                                 "name")
                                      .arg(station));
    return LineStatus::failed(LineFault::StationRunning,
                              QStringLiteral("station %1 is already running (host %2, pid %3)")
                                  .arg(station, result.text(0, 1), result.text(0, 2)));
}

LineStatus stationSeen(LineDatabase &database, const QString &station)
{
    return runQuery(database, "SELECT line_station_seen($1)", {station.toUtf8()});
}

LineStatus claimRow(LineDatabase &database, LineLease &lease, double leaseSeconds, int unitRow,
                    bool &claimed, bool &passed, LineRow &row)
{
    QueryResult result;
    const LineStatus status = runQuery(
        database, "SELECT * FROM line_claim($1, $2, $3, $4::double precision, $5::integer)",
        {lease.batch.toUtf8(), lease.station.toUtf8(), lease.fixture.toUtf8(),
         seconds(leaseSeconds), unitRow > 0 ? number(unitRow) : QByteArray()},
        &result);
    const bool answered = status.ok() && result.rows() == 1;
    passed = answered && result.text(0, 6) == QLatin1String("t");
    claimed = answered && !passed;
    if (!answered)
        return status;
    lease.row = int(result.number(0, 0));
    lease.generation = passed ? 0 : result.number(0, 1);
    row = LineRow();
    row.number = lease.row;
    row.unit = result.text(0, 2);
    row.values = rowValuesOf(result.bytes(0, 3));
    row.certificate = QByteArray::fromBase64(result.bytes(0, 4));
    row.certificateSha256 = result.text(0, 5);
    return status;
}

LineStatus rowIdentities(LineDatabase &database, const QString &batch,
                         QMap<int, QMap<int, QString>> &identities)
{
    QueryResult result;
    const LineStatus status = runQuery(database,
                                       "SELECT r.row_no, r.identity FROM line_rows r "
                                       "JOIN line_batches b ON b.id = r.batch_id "
                                       "WHERE b.name = $1 AND r.identity IS NOT NULL",
                                       {batch.toUtf8()}, &result);
    for (int i = 0; status.ok() && i < result.rows(); ++i) {
        const QMap<QString, QString> values = rowValuesOf(result.bytes(i, 1));
        QMap<int, QString> identity;
        for (auto it = values.constBegin(); it != values.constEnd(); ++it) {
            if (rowOfKey(it.key()) >= 0)
                identity.insert(rowOfKey(it.key()), it.value());
        }
        if (!identity.isEmpty())
            identities.insert(int(result.number(i, 0)), identity);
    }
    return status;
}

LineStatus rowsKeptForTheirUnit(LineDatabase &database, const QString &batch,
                                QMap<int, QString> &lines)
{
    QueryResult result;
    const LineStatus status =
        runQuery(database,
                 "SELECT r.row_no, r.unit, r.holder_station, r.holder_fixture FROM line_rows r "
                 "JOIN line_batches b ON b.id = r.batch_id WHERE b.name = $1 "
                 "AND r.state = 'leased' AND r.lease_end < clock_timestamp() "
                 "AND r.written_generation = r.generation AND coalesce(r.identity, '{}') <> '{}'",
                 {batch.toUtf8()}, &result);
    for (int i = 0; status.ok() && i < result.rows(); ++i)
        lines.insert(
            int(result.number(i, 0)),
            QStringLiteral("row %1 (%2) is kept for its unit, which had its values on "
                           "%3's %4 when that station stopped answering: put that unit "
                           "on a fixture of the line")
                .arg(result.text(i, 0), result.text(i, 1), result.text(i, 2), result.text(i, 3)));
    return status;
}

LineStatus setAsideRows(LineDatabase &database, const QString &batch, QVector<int> &rows)
{
    QueryResult result;
    const LineStatus status = runQuery(database,
                                       "SELECT r.row_no FROM line_rows r "
                                       "JOIN line_batches b ON b.id = r.batch_id "
                                       "WHERE b.name = $1 AND r.state = 'set_aside' "
                                       "ORDER BY r.row_no",
                                       {batch.toUtf8()}, &result);
    rows.clear();
    for (int i = 0; status.ok() && i < result.rows(); ++i)
        rows.append(int(result.number(i, 0)));
    return status;
}

LineStatus renewLease(LineDatabase &database, const LineLease &lease, double leaseSeconds,
                      bool &held, Renewal renewal)
{
    QueryResult result;
    const LineStatus status = runQuery(
        database,
        renewal == Renewal::BeforeWriting
            ? "SELECT line_writing($1, $2::integer, $3::bigint, $4, $5, $6::double precision)"
            : "SELECT line_renew($1, $2::integer, $3::bigint, $4, $5, $6::double precision)",
        {lease.batch.toUtf8(), number(lease.row), number(lease.generation), lease.station.toUtf8(),
         lease.fixture.toUtf8(), seconds(leaseSeconds)},
        &result);
    held = status.ok() && result.text(0, 0) == QLatin1String("t");
    return status;
}

LineStatus recordUnit(LineDatabase &database, const LineLease &lease, const LineRecord &record,
                      bool &settled)
{
    const bool hasRow = lease.row > 0;
    QueryResult result;
    const LineStatus status =
        runQuery(database,
                 "SELECT line_record($1, $2::integer, $3::bigint, $4, $5, $6::boolean, $7, $8, "
                 "$9::integer, $10::json)",
                 {lease.batch.toUtf8(), hasRow ? number(lease.row) : QByteArray(),
                  hasRow ? number(lease.generation) : QByteArray(), lease.station.toUtf8(),
                  lease.fixture.toUtf8(), record.passed ? "true" : "false",
                  record.failedStep.isEmpty() ? QByteArray() : record.failedStep.toUtf8(),
                  record.message.toUtf8(), number(record.rowTries), record.journalLine},
                 &result);
    settled = status.ok() && result.text(0, 0) == QLatin1String("t");
    return status;
}

LineStatus findRecord(LineDatabase &database, const LineLease &lease, const QString &time,
                      bool &found, bool &settled)
{
    const bool hasRow = lease.row > 0;
    QueryResult result;
    const LineStatus status =
        runQuery(database,
                 "SELECT r.settled FROM line_results r JOIN line_batches b ON b.id = r.batch_id "
                 "WHERE b.name = $1 AND r.station = $2 AND r.fixture = $3 "
                 "AND r.row_no IS NOT DISTINCT FROM $4::integer "
                 "AND r.generation IS NOT DISTINCT FROM $5::bigint AND r.entry->>'time' = $6",
                 {lease.batch.toUtf8(), lease.station.toUtf8(), lease.fixture.toUtf8(),
                  hasRow ? number(lease.row) : QByteArray(),
                  hasRow ? number(lease.generation) : QByteArray(), time.toUtf8()},
                 &result);
    found = status.ok() && result.rows() > 0;
    settled = found && result.text(0, 0) == QLatin1String("t");
    return status;
}
