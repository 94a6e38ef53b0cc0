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
        runStatement(database, "station_start",
                     {station.toUtf8(), host.toUtf8(), number(pid), number(fixtures)}, &result);
    if (!status.ok() || result.flag(0, "started"))
        return status;
    return LineStatus::failed(
        LineFault::StationRunning,
        QStringLiteral("station %1 is already running (host %2, pid %3)")
            .arg(station, result.text(0, "running_host"), result.text(0, "running_pid")));
}

LineStatus resumeStation(LineDatabase &database, const QString &station, const QString &host,
                         qint64 pid)
{
    QueryResult result;
    const LineStatus status = runStatement(database, "station_resume", {station.toUtf8()}, &result);
    if (!status.ok() || result.flag(0, "taken"))
        return status.ok() ? stationSeen(database, station) : status;
    if (result.text(0, "host") == host && result.number(0, "pid") == pid)
        return LineStatus::failed(LineFault::Unreachable,
                                  QStringLiteral("station %1's lost connection still holds its "
                                                 "name")
                                      .arg(station));
    return LineStatus::failed(LineFault::StationRunning,
                              QStringLiteral("station %1 is already running (host %2, pid %3)")
                                  .arg(station, result.text(0, "host"), result.text(0, "pid")));
}

LineStatus stationSeen(LineDatabase &database, const QString &station)
{
    return runStatement(database, "station_seen", {station.toUtf8()});
}

LineStatus claimRow(LineDatabase &database, LineLease &lease, double leaseSeconds, int unitRow,
                    bool &claimed, bool &passed, LineRow &row)
{
    QueryResult result;
    const LineStatus status =
        runStatement(database, "claim_row",
                     {lease.batch.toUtf8(), lease.station.toUtf8(), lease.fixture.toUtf8(),
                      seconds(leaseSeconds), unitRow > 0 ? number(unitRow) : QByteArray()},
                     &result);
    const bool answered = status.ok() && result.rows() == 1;
    passed = answered && result.flag(0, "already_passed");
    claimed = answered && !passed;
    if (!answered)
        return status;
    lease.row = int(result.number(0, "claimed_row"));
    lease.generation = passed ? 0 : result.number(0, "claimed_generation");
    row = LineRow();
    row.number = lease.row;
    row.unit = result.text(0, "claimed_unit");
    row.values = rowValuesOf(result.bytes(0, "claimed_values"));
    row.certificate = QByteArray::fromBase64(result.bytes(0, "claimed_certificate"));
    row.certificateSha256 = result.text(0, "claimed_sha256");
    return status;
}

LineStatus rowIdentities(LineDatabase &database, const QString &batch,
                         QMap<int, QMap<int, QString>> &identities)
{
    QueryResult result;
    const LineStatus status = runStatement(database, "row_identities", {batch.toUtf8()}, &result);
    for (int i = 0; status.ok() && i < result.rows(); ++i) {
        const QMap<QString, QString> values = rowValuesOf(result.bytes(i, "identity"));
        QMap<int, QString> identity;
        for (auto it = values.constBegin(); it != values.constEnd(); ++it) {
            if (rowOfKey(it.key()) >= 0)
                identity.insert(rowOfKey(it.key()), it.value());
        }
        if (!identity.isEmpty())
            identities.insert(int(result.number(i, "row_no")), identity);
    }
    return status;
}

LineStatus rowsKeptForTheirUnit(LineDatabase &database, const QString &batch,
                                QMap<int, QString> &lines)
{
    QueryResult result;
    const LineStatus status = runStatement(database, "kept_rows", {batch.toUtf8()}, &result);
    for (int i = 0; status.ok() && i < result.rows(); ++i)
        lines.insert(int(result.number(i, "row_no")),
                     QStringLiteral("row %1 (%2) is kept for its unit, which had its values on "
                                    "%3's %4 when that station stopped answering: put that unit "
                                    "on a fixture of the line")
                         .arg(result.text(i, "row_no"), result.text(i, "unit"),
                              result.text(i, "holder_station"), result.text(i, "holder_fixture")));
    return status;
}

LineStatus setAsideRows(LineDatabase &database, const QString &batch, QVector<int> &rows)
{
    QueryResult result;
    const LineStatus status = runStatement(database, "set_aside_rows", {batch.toUtf8()}, &result);
    rows.clear();
    for (int i = 0; status.ok() && i < result.rows(); ++i)
        rows.append(int(result.number(i, "row_no")));
    return status;
}

LineStatus renewLease(LineDatabase &database, const LineLease &lease, double leaseSeconds,
                      bool &held, Renewal renewal)
{
    QueryResult result;
    const LineStatus status =
        runStatement(database, renewal == Renewal::BeforeWriting ? "mark_writing" : "renew_lease",
                     {lease.batch.toUtf8(), number(lease.row), number(lease.generation),
                      lease.station.toUtf8(), lease.fixture.toUtf8(), seconds(leaseSeconds)},
                     &result);
    held = status.ok() && result.flag(0, "held");
    return status;
}

LineStatus recordUnit(LineDatabase &database, const LineLease &lease, const LineRecord &record,
                      bool &settled)
{
    const bool hasRow = lease.row > 0;
    QueryResult result;
    const LineStatus status =
        runStatement(database, "record_unit",
                     {lease.batch.toUtf8(), hasRow ? number(lease.row) : QByteArray(),
                      hasRow ? number(lease.generation) : QByteArray(), lease.station.toUtf8(),
                      lease.fixture.toUtf8(), record.passed ? "true" : "false",
                      record.failedStep.isEmpty() ? QByteArray() : record.failedStep.toUtf8(),
                      record.message.toUtf8(), number(record.rowTries), record.journalLine},
                     &result);
    settled = status.ok() && result.flag(0, "settled");
    return status;
}

LineStatus findRecord(LineDatabase &database, const LineLease &lease, const QString &time,
                      bool &found, bool &settled)
{
    const bool hasRow = lease.row > 0;
    QueryResult result;
    const LineStatus status =
        runStatement(database, "find_record",
                     {lease.batch.toUtf8(), lease.station.toUtf8(), lease.fixture.toUtf8(),
                      hasRow ? number(lease.row) : QByteArray(),
                      hasRow ? number(lease.generation) : QByteArray(), time.toUtf8()},
                     &result);
    found = status.ok() && result.rows() > 0;
    settled = found && result.flag(0, "settled");
    return status;
}
