#include "line/line_batch.h"
#include "base/json_text.h"
#include "config/profile.h"
#include "line/line_copy.h"
#include "line/line_query.h"
#include "protocol/config_fields.h"
#include "station/identity.h"

#include <QSet>

#include <nlohmann/json.hpp>

namespace {

using Json = nlohmann::ordered_json;

// Each row's identity, by profile row, as the station computes it.
QVector<ValueChanges> identitiesOf(const QVector<LineRow> &rows)
{
    QVector<UnitJob> jobs(rows.size());
    for (int i = 0; i < rows.size(); ++i) {
        const QMap<QString, QString> &values = rows.at(i).values;
        for (auto it = values.constBegin(); it != values.constEnd(); ++it) {
            const int row = rowOfKey(it.key());
            if (row >= 0)
                jobs[i].changes.insert(row, it.value());
        }
    }
    assignIdentities(jobs);
    QVector<ValueChanges> identities;
    identities.reserve(jobs.size());
    for (const UnitJob &job : jobs)
        identities.append(job.identity);
    return identities;
}

Json identityJson(const ValueChanges &identity)
{
    Json object = Json::object();
    for (auto it = identity.constBegin(); it != identity.constEnd(); ++it)
        object[kConfigFields[it.key()].key] = it.value().toStdString();
    return object;
}

QByteArray valuesText(const QMap<QString, QString> &values)
{
    Json object = Json::object();
    for (auto it = values.constBegin(); it != values.constEnd(); ++it)
        object[it.key().toStdString()] = it.value().toStdString();
    return jsonText(object);
}

// Each distinct certificate once, SHA-256 to its bytes in base64.
QByteArray certificatesOf(const QVector<LineRow> &rows)
{
    Json certificates = Json::object();
    QSet<QString> held;
    for (const LineRow &row : rows) {
        if (row.certificateSha256.isEmpty() || held.contains(row.certificateSha256))
            continue;
        held.insert(row.certificateSha256);
        certificates[row.certificateSha256.toStdString()] =
            row.certificate.toBase64().toStdString();
    }
    return jsonText(certificates);
}

// Text for a column that is never NULL, even when it is empty.
QByteArray textOf(const QString &text)
{
    const QByteArray utf8 = text.toUtf8();
    return utf8.isNull() ? QByteArray("") : utf8;
}

// Each row as COPY takes it, to the server that parses it while the next
// is made.
void sendRows(LineCopy &copy, const QByteArray &batchId, const QVector<LineRow> &rows)
{
    const QVector<ValueChanges> identities = identitiesOf(rows);
    for (int i = 0; i < rows.size(); ++i) {
        const LineRow &row = rows.at(i);
        copy.addRow(
            {batchId, QByteArray::number(row.number), textOf(row.unit), valuesText(row.values),
             jsonText(identityJson(identities.at(i))),
             row.certificateSha256.isEmpty() ? QByteArray() : row.certificateSha256.toUtf8()});
    }
}

// The identities are let go before the server's checks of the rows (their
// batch, their certificate) are waited for.
LineStatus copyRows(LineDatabase &database, const QByteArray &batchId, const QVector<LineRow> &rows)
{
    LineCopy copy(database);
    const LineStatus status = copy.begin("copy_rows");
    if (!status.ok())
        return status;
    sendRows(copy, batchId, rows);
    return copy.end();
}

// Finds the rows whose host names an open batch holds; BadInput if any does.
LineStatus findSharedHostnames(LineDatabase &database, const QVector<LineRow> &rows,
                               QVector<SharedHostname> &shared)
{
    const QString key = QLatin1String(kConfigFields[RowHostname].key);
    Json hostnames = Json::array();
    bool any = false;
    for (const LineRow &row : rows) {
        const QString hostname = row.values.value(key);
        hostnames.push_back(hostname.isEmpty() ? Json(nullptr) : Json(hostname.toStdString()));
        any = any || !hostname.isEmpty();
    }
    QueryResult result;
    const LineStatus status =
        any ? runStatement(database, "shared_hostnames", {jsonText(hostnames)}, &result)
            : LineStatus();
    for (int i = 0; status.ok() && i < result.rows(); ++i) {
        const int place = int(result.number(i, "place")) - 1;
        if (place >= 0 && place < rows.size())
            shared.append({rows.at(place).number, rows.at(place).values.value(key),
                           result.text(i, "batch"), int(result.number(i, "batch_row"))});
    }
    if (!status.ok() || shared.isEmpty())
        return status;
    return LineStatus::failed(LineFault::BadInput,
                              QStringLiteral("%1 of the rows give host names that open batches "
                                             "hold already")
                                  .arg(shared.size()));
}

LineStatus noSuchBatch(const QString &batch)
{
    return LineStatus::failed(LineFault::NoSuchBatch,
                              QStringLiteral("batch %1 does not exist").arg(batch));
}

// Gives the batch's rows without an identity theirs, worked out over all its
// rows as at import; `left` counts those that still have none.
LineStatus fillBatch(LineDatabase &database, const QByteArray &batchId, int &left)
{
    QueryResult result;
    const LineStatus status = runStatement(database, "rows_of_batch", {batchId}, &result);
    QVector<LineRow> rows;
    for (int i = 0; status.ok() && i < result.rows(); ++i) {
        LineRow row;
        row.number = int(result.number(i, "row_no"));
        row.values = rowValuesOf(result.bytes(i, "row_values"));
        rows.append(row);
    }
    const QVector<ValueChanges> identities = identitiesOf(rows);
    Json given = Json::array();
    left = 0;
    for (int i = 0; i < rows.size(); ++i) {
        if (!result.flag(i, "without_identity"))
            continue; // kept as it was
        if (identities.at(i).isEmpty())
            ++left;
        else
            given.push_back(
                {{"n", rows.at(i).number}, {"identity", identityJson(identities.at(i))}});
    }
    if (!status.ok() || given.empty())
        return status;
    return runStatement(database, "set_identities", {batchId, jsonText(given)});
}

} // namespace

QMap<QString, QString> rowValuesOf(const QByteArray &json)
{
    QMap<QString, QString> values;
    const Json object = Json::parse(json.toStdString(), nullptr, false);
    if (!object.is_object())
        return values;
    for (auto it = object.begin(); it != object.end(); ++it) {
        if (it.value().is_string())
            values.insert(QString::fromStdString(it.key()),
                          QString::fromStdString(it.value().get<std::string>()));
    }
    return values;
}

LineStatus fillMissingIdentities(LineDatabase &database, QVector<RowsWithoutIdentity> &left)
{
    QueryResult batches;
    LineStatus status = runStatement(database, "batches_without_identity", {}, &batches);
    for (int i = 0; status.ok() && i < batches.rows(); ++i) {
        int rows = 0;
        status = fillBatch(database, batches.bytes(i, "batch_id"), rows);
        if (status.ok() && rows > 0)
            left.append({batches.text(i, "batch"), rows});
    }
    return status;
}

LineStatus importBatch(LineDatabase &database, const QString &batch, const QVector<LineRow> &rows,
                       QVector<SharedHostname> *shared)
{
    LineTransaction transaction(database);
    LineStatus status = transaction.begin();
    if (status.ok() && shared)
        status = runStatement(database, "lock_batches");
    QueryResult created;
    if (status.ok())
        status = runStatement(database, "insert_batch", {batch.toUtf8()}, &created);
    if (status.ok() && created.rows() == 0)
        return LineStatus::failed(LineFault::BatchExists,
                                  QStringLiteral("batch %1 exists").arg(batch));
    if (status.ok() && shared)
        status = findSharedHostnames(database, rows, *shared);
    if (status.ok())
        status = runStatement(database, "insert_certificates", {certificatesOf(rows)});
    if (status.ok())
        status = copyRows(database, created.bytes(0, "id"), rows);
    return status.ok() ? transaction.commit() : status;
}

namespace {

LineStatus stationsOf(LineDatabase &database, const QByteArray &batchId,
                      QVector<StationProgress> &stations)
{
    QueryResult result;
    const LineStatus status = runStatement(database, "batch_stations", {batchId}, &result);
    for (int i = 0; status.ok() && i < result.rows(); ++i) {
        StationProgress station;
        station.station = result.text(i, "station");
        station.fixtures = int(result.number(i, "fixtures"));
        station.passed = result.number(i, "passed");
        station.failed = result.number(i, "failed");
        station.unitsPerHour = result.number(i, "units_per_hour");
        station.lastSeen = result.text(i, "last_seen");
        stations.append(station);
    }
    return status;
}

// Each station's fixtures, as fixture_yield gives them.
LineStatus fixturesOf(LineDatabase &database, BatchProgress &batch)
{
    QueryResult result;
    const LineStatus status =
        runStatement(database, "batch_fixtures", {batch.batch.toUtf8()}, &result);
    for (int i = 0; status.ok() && i < result.rows(); ++i) {
        const QString name = result.text(i, "station");
        for (StationProgress &station : batch.stations) {
            if (station.station == name)
                station.fixtureFigures.append(
                    {result.text(i, "fixture"), result.number(i, "tried"),
                     result.number(i, "passed"), result.number(i, "passed_first"),
                     result.text(i, "last_failure"), result.flag(i, "flagged")});
        }
    }
    return status;
}

// The rate over the last 10 minutes, the time left at it, and the causes.
LineStatus figuresOf(LineDatabase &database, const QByteArray &batchId, BatchProgress &batch)
{
    QueryResult result;
    LineStatus status = runStatement(database, "batch_rate", {batchId}, &result);
    if (status.ok()) {
        const qint64 lately = result.number(0, "passed_lately");
        const qint64 left = batch.rows - batch.passed - batch.setAside;
        batch.passedPerHour = 6 * lately;
        batch.etaSeconds = lately > 0 ? left * 600 / lately : -1;
        status = runStatement(database, "batch_causes", {batch.batch.toUtf8()}, &result);
    }
    for (int i = 0; status.ok() && i < result.rows(); ++i)
        batch.causes.append(
            {result.text(i, "step"), result.text(i, "message"), result.number(i, "units")});
    return status.ok() ? fixturesOf(database, batch) : status;
}

// The batch's stations, their figures and its kept rows, for line status.
LineStatus detailOf(LineDatabase &database, const QByteArray &batchId, BatchProgress &batch)
{
    LineStatus status = stationsOf(database, batchId, batch.stations);
    if (status.ok())
        status = figuresOf(database, batchId, batch);
    if (status.ok() && batch.kept > 0)
        status = keptRowsBy(database, "batch_kept_rows", batchId, batch.keptRows);
    return status;
}

BatchProgress progressOf(const QueryResult &result, int i)
{
    BatchProgress batch;
    batch.batch = result.text(i, "batch");
    batch.rows = result.number(i, "rows");
    batch.waiting = result.number(i, "waiting");
    batch.leased = result.number(i, "leased");
    batch.expiredLeases = result.number(i, "expired_leases");
    batch.passed = result.number(i, "passed");
    batch.setAside = result.number(i, "set_aside");
    batch.failedUnits = result.number(i, "failed_units");
    batch.kept = result.number(i, "kept");
    return batch;
}

} // namespace

LineStatus batchProgress(LineDatabase &database, const QString &batch,
                         QVector<BatchProgress> &batches, WithStations withStations)
{
    QueryResult result;
    LineStatus status = runStatement(database, "batch_progress",
                                     {batch.isEmpty() ? QByteArray() : batch.toUtf8()}, &result);
    for (int i = 0; status.ok() && i < result.rows(); ++i) {
        batches.append(progressOf(result, i));
        if (withStations == WithStations::Yes)
            status = detailOf(database, result.bytes(i, "batch_id"), batches.last());
    }
    if (status.ok() && !batch.isEmpty() && batches.isEmpty())
        return noSuchBatch(batch);
    return status;
}

LineStatus exportBatch(LineDatabase &database, const QString &batch,
                       const std::function<bool(const QByteArray &)> &line)
{
    QueryResult found;
    LineStatus status = runStatement(database, "batch_id", {batch.toUtf8()}, &found);
    if (status.ok() && found.rows() == 0)
        return noSuchBatch(batch);
    QueryResult result;
    if (status.ok())
        status = runStatement(database, "batch_results", {found.bytes(0, "id")}, &result);
    for (int i = 0; status.ok() && i < result.rows(); ++i) {
        Json entry = Json::parse(result.bytes(i, "entry").toStdString(), nullptr, false);
        if (!entry.is_object())
            entry = Json::object();
        // What the database knows goes over what the station wrote.
        entry["row"] =
            result.isNull(i, "row_no") ? Json(nullptr) : Json(result.number(i, "row_no"));
        entry["result"] = result.flag(i, "passed") ? "passed" : "failed";
        // A unit whose row had gone to another unit by the time its result
        // came: it is not the row's unit.
        if (!result.isNull(i, "row_no") && !result.flag(i, "settled"))
            entry["settled"] = false;
        entry["batch"] = batch.toStdString();
        entry["station"] = result.text(i, "station").toStdString();
        if (!line(jsonText(entry)))
            break;
    }
    return status;
}

LineStatus keptRowsBy(LineDatabase &database, const char *statement, const QByteArray &key,
                      QVector<KeptRow> &kept)
{
    QueryResult result;
    const LineStatus status = runStatement(database, statement, {key}, &result);
    kept.clear();
    for (int i = 0; status.ok() && i < result.rows(); ++i)
        kept.append({int(result.number(i, "row_no")), result.text(i, "unit"),
                     result.text(i, "holder_station"), result.text(i, "holder_fixture"),
                     result.text(i, "since")});
    return status;
}

LineStatus releaseRow(LineDatabase &database, const QString &batch, int row, const QString &reason,
                      QString &unit, QString &where)
{
    QueryResult result;
    const LineStatus status =
        runStatement(database, "release_row",
                     {batch.toUtf8(), QByteArray::number(row), reason.toUtf8()}, &result);
    if (status.ok() && result.rows() == 1) {
        unit = result.text(0, "unit");
        where = QStringLiteral("%1's %2").arg(result.text(0, "unit_station"),
                                              result.text(0, "unit_fixture"));
    }
    return status;
}
