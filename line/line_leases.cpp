#include "line/line_leases.h"
#include "config/profile.h"
#include "line/line_query.h"
#include "line/line_sql.h"

#include <QJsonArray>
#include <QJsonDocument>

namespace {

QByteArray number(qint64 value)
{
    return QByteArray::number(value);
}

QByteArray optionalNumber(qint64 value)
{
    return value > 0 ? number(value) : QByteArray();
}

} // namespace

LineStatus startStation(LineDatabase &database, const StationStart &start, LineRun &run)
{
    QueryResult result;
    const QByteArray fixtures =
        QJsonDocument(QJsonArray::fromStringList(start.fixtures)).toJson(QJsonDocument::Compact);
    const LineStatus status = runStatement(database, "station_start",
                                           {start.station.toUtf8(), start.host.toUtf8(),
                                            number(start.pid), start.batch.toUtf8(), fixtures,
                                            QByteArray::number(start.leaseSeconds, 'f', 3),
                                            number(start.rowTries), number(lineSchemaVersion())},
                                           &result);
    if (!status.ok())
        return status;
    if (!result.flag(0, "started"))
        return LineStatus::failed(
            LineFault::StationRunning,
            QStringLiteral("station %1 is already running (host %2, pid %3)")
                .arg(start.station, result.text(0, "running_host"), result.text(0, "running_pid")));
    run = {start.batch, start.station, start.fixtures, result.bytes(0, "token")};
    return status;
}

LineStatus stationReady(LineDatabase &database, const LineRun &run)
{
    return runStatement(database, "station_ready", {run.token});
}

LineStatus resumeRun(LineDatabase &database, const LineRun &run)
{
    return runStatement(database, "station_resume", {run.token});
}

LineStatus stationSeen(LineDatabase &database, const LineRun &run, StationCounts &counts)
{
    QueryResult result;
    const LineStatus status = runStatement(database, "station_seen", {run.token}, &result);
    if (status.ok() && result.rows() == 1)
        counts = {result.number(0, "rows"),         result.number(0, "waiting"),
                  result.number(0, "leased"),       result.number(0, "expired_leases"),
                  result.number(0, "passed"),       result.number(0, "set_aside"),
                  result.number(0, "failed_units"), result.number(0, "kept")};
    return status;
}

LineStatus claimRow(LineDatabase &database, const LineRun &run, LineLease &lease, int unitRow,
                    bool &claimed, bool &passed, LineRow &row)
{
    QueryResult result;
    const LineStatus status =
        runStatement(database, "claim_row",
                     {run.token, number(lease.fixture), optionalNumber(unitRow)}, &result);
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

LineStatus rowIdentities(LineDatabase &database, const LineRun &run,
                         QMap<int, QMap<int, QString>> &identities)
{
    QueryResult result;
    const LineStatus status = runStatement(database, "row_identities", {run.token}, &result);
    for (int i = 0; status.ok() && i < result.rows(); ++i) {
        const QMap<QString, QString> values = rowValuesOf(result.bytes(i, "identity"));
        QMap<int, QString> identity;
        for (auto it = values.constBegin(); it != values.constEnd(); ++it) {
            const int row = rowOfKey(it.key());
            if (row >= 0)
                identity.insert(row, it.value());
        }
        if (!identity.isEmpty())
            identities.insert(int(result.number(i, "row_no")), identity);
    }
    return status;
}

LineStatus rowsKeptForTheirUnit(LineDatabase &database, const LineRun &run, QVector<KeptRow> &kept)
{
    return keptRowsBy(database, "kept_rows", run.token, kept);
}

LineStatus setAsideRows(LineDatabase &database, const LineRun &run, QVector<int> &rows)
{
    QueryResult result;
    const LineStatus status = runStatement(database, "set_aside_rows", {run.token}, &result);
    rows.clear();
    for (int i = 0; status.ok() && i < result.rows(); ++i)
        rows.append(int(result.number(i, "row_no")));
    return status;
}

LineStatus renewLease(LineDatabase &database, const LineRun &run, const LineLease &lease,
                      bool &held, Renewal renewal)
{
    QueryResult result;
    const LineStatus status = runStatement(
        database, renewal == Renewal::BeforeWriting ? "mark_writing" : "renew_lease",
        {run.token, number(lease.fixture), number(lease.row), number(lease.generation)}, &result);
    held = status.ok() && result.flag(0, "held");
    return status;
}

LineStatus recordUnit(LineDatabase &database, const LineRun &run, const LineLease &lease,
                      const LineRecord &record, bool &settled)
{
    const bool hasRow = lease.row > 0;
    QueryResult result;
    const LineStatus status = runStatement(
        database, "record_unit",
        {run.token, number(lease.fixture), optionalNumber(lease.row),
         hasRow ? number(lease.generation) : QByteArray(), record.passed ? "true" : "false",
         record.failedStep.isEmpty() ? QByteArray() : record.failedStep.toUtf8(),
         record.message.toUtf8(),
         record.identity.isEmpty() ? QByteArray() : record.identity.toUtf8(), record.journalLine},
        &result);
    settled = status.ok() && result.flag(0, "settled");
    return status;
}

LineStatus findRecord(LineDatabase &database, const LineRun &run, const LineLease &lease,
                      const QString &time, bool &found, bool &settled)
{
    const bool hasRow = lease.row > 0;
    QueryResult result;
    const LineStatus status =
        runStatement(database, "find_record",
                     {run.token, optionalNumber(lease.row),
                      hasRow ? number(lease.generation) : QByteArray(), time.toUtf8()},
                     &result);
    found = status.ok() && result.flag(0, "found");
    settled = found && result.flag(0, "settled");
    return status;
}
