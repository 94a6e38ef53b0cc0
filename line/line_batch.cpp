#include "line/line_batch.h"
#include "config/profile.h"
#include "line/line_query.h"
#include "station/identity.h"

#include <nlohmann/json.hpp>

namespace {

using Json = nlohmann::ordered_json;

QByteArray jsonText(const Json &json)
{
    const std::string text = json.dump(-1, ' ', false, Json::error_handler_t::replace);
    return QByteArray(text.data(), int(text.size()));
}

// Each row's identity, by the values' keys, as the station computes it.
QVector<Json> identitiesOf(const QVector<LineRow> &rows)
{
    QVector<UnitJob> jobs;
    for (const LineRow &row : rows) {
        UnitJob job;
        for (auto it = row.values.constBegin(); it != row.values.constEnd(); ++it) {
            if (rowOfKey(it.key()) >= 0)
                job.changes.insert(rowOfKey(it.key()), it.value());
        }
        jobs.append(job);
    }
    assignIdentities(jobs);
    QVector<Json> identities;
    for (int i = 0; i < rows.size(); ++i) {
        Json identity = Json::object();
        for (auto it = rows.at(i).values.constBegin(); it != rows.at(i).values.constEnd(); ++it) {
            if (jobs.at(i).identity.contains(rowOfKey(it.key())))
                identity[it.key().toStdString()] = it.value().toStdString();
        }
        identities.append(identity);
    }
    return identities;
}

// The rows as one JSON array, and each distinct certificate once, for two
// statements that store them all.
void rowsAsJson(const QVector<LineRow> &rows, QByteArray &rowsJson, QByteArray &certificatesJson)
{
    Json all = Json::array();
    Json certificates = Json::object();
    const QVector<Json> identities = identitiesOf(rows);
    for (const LineRow &row : rows) {
        Json values = Json::object();
        for (auto it = row.values.constBegin(); it != row.values.constEnd(); ++it)
            values[it.key().toStdString()] = it.value().toStdString();
        const std::string sha = row.certificateSha256.toStdString();
        all.push_back({{"n", row.number},
                       {"unit", row.unit.toStdString()},
                       {"values", values},
                       {"identity", identities.at(int(all.size()))},
                       {"sha", sha.empty() ? Json(nullptr) : Json(sha)}});
        if (!sha.empty() && !certificates.contains(sha))
            certificates[sha] = row.certificate.toBase64().toStdString();
    }
    rowsJson = jsonText(all);
    certificatesJson = jsonText(certificates);
}

constexpr char kInsertCertificates[] =
    "INSERT INTO line_certificates (sha256, bytes) "
    "SELECT key, decode(value, 'base64') FROM jsonb_each_text($1::jsonb) "
    "ON CONFLICT (sha256) DO NOTHING";
constexpr char kInsertRows[] =
    "INSERT INTO line_rows (batch_id, row_no, unit, row_values, identity, certificate_sha256) "
    "SELECT $1::bigint, (r->>'n')::integer, r->>'unit', r->'values', r->'identity', r->>'sha' "
    "FROM jsonb_array_elements($2::jsonb) r";

LineStatus noSuchBatch(const QString &batch)
{
    return LineStatus::failed(LineFault::NoSuchBatch,
                              QStringLiteral("batch %1 does not exist").arg(batch));
}

constexpr char kBatchesWithoutIdentity[] =
    "SELECT b.id, b.name FROM line_batches b WHERE EXISTS "
    "(SELECT 1 FROM line_rows r WHERE r.batch_id = b.id AND r.identity IS NULL) ORDER BY b.id";
constexpr char kSetIdentities[] =
    "UPDATE line_rows r SET identity = e->'identity' FROM jsonb_array_elements($2::jsonb) e "
    "WHERE r.batch_id = $1::bigint AND r.row_no = (e->>'n')::integer AND r.identity IS NULL";

// Gives the batch's rows without an identity theirs, worked out over all its
// rows as at import; `left` counts those that still have none.
LineStatus fillBatch(LineDatabase &database, const QByteArray &batchId, int &left)
{
    QueryResult result;
    const LineStatus status = runQuery(database,
                                       "SELECT row_no, row_values, identity IS NULL FROM line_rows "
                                       "WHERE batch_id = $1::bigint ORDER BY row_no",
                                       {batchId}, &result);
    QVector<LineRow> rows;
    for (int i = 0; status.ok() && i < result.rows(); ++i) {
        LineRow row;
        row.number = int(result.number(i, 0));
        row.values = rowValuesOf(result.bytes(i, 1));
        rows.append(row);
    }
    const QVector<Json> identities = identitiesOf(rows);
    Json given = Json::array();
    left = 0;
    for (int i = 0; i < rows.size(); ++i) {
        if (result.text(i, 2) != QLatin1String("t"))
            continue; // kept as it was
        if (identities.at(i).empty())
            ++left;
        else
            given.push_back({{"n", rows.at(i).number}, {"identity", identities.at(i)}});
    }
    if (!status.ok() || given.empty())
        return status;
    return runQuery(database, kSetIdentities, {batchId, jsonText(given)});
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
    LineStatus status = runQuery(database, kBatchesWithoutIdentity, {}, &batches);
    for (int i = 0; status.ok() && i < batches.rows(); ++i) {
        int rows = 0;
        status = fillBatch(database, batches.bytes(i, 0), rows);
        if (status.ok() && rows > 0)
            left.append({batches.text(i, 1), rows});
    }
    return status;
}

LineStatus importBatch(LineDatabase &database, const QString &batch, const QVector<LineRow> &rows)
{
    QByteArray rowsJson;
    QByteArray certificatesJson;
    rowsAsJson(rows, rowsJson, certificatesJson);
    LineTransaction transaction(database);
    LineStatus status = transaction.begin();
    QueryResult created;
    if (status.ok())
        status = runQuery(database,
                          "INSERT INTO line_batches (name) VALUES ($1) "
                          "ON CONFLICT (name) DO NOTHING RETURNING id",
                          {batch.toUtf8()}, &created);
    if (status.ok() && created.rows() == 0)
        return LineStatus::failed(LineFault::BatchExists,
                                  QStringLiteral("batch %1 exists").arg(batch));
    if (status.ok())
        status = runQuery(database, kInsertCertificates, {certificatesJson});
    if (status.ok())
        status = runQuery(database, kInsertRows, {created.bytes(0, 0), rowsJson});
    return status.ok() ? transaction.commit() : status;
}

namespace {

constexpr char kProgress[] =
    "SELECT b.id, p.batch, p.rows, p.waiting, p.leased, p.expired_leases, p.passed, "
    "p.set_aside, p.failed_units FROM line_progress p JOIN line_batches b ON b.name = p.batch "
    "WHERE $1::text IS NULL OR p.batch = $1 ORDER BY b.id";

constexpr char kStations[] =
    "WITH names AS (SELECT station FROM line_results WHERE batch_id = $1::bigint "
    "  UNION SELECT holder_station FROM line_rows WHERE batch_id = $1::bigint "
    "  AND state = 'leased') "
    "SELECT n.station, coalesce(s.fixtures, 0), "
    "  count(r.id) FILTER (WHERE r.passed), count(r.id) FILTER (WHERE NOT r.passed), "
    "  6 * count(r.id) FILTER (WHERE r.recorded_at > now() - interval '10 minutes'), "
    "  coalesce(to_char(s.last_seen AT TIME ZONE 'UTC', 'YYYY-MM-DD\"T\"HH24:MI:SS.MS\"+00:00\"'), "
    "'') "
    "FROM names n LEFT JOIN line_stations s ON s.name = n.station "
    "LEFT JOIN line_results r ON r.batch_id = $1::bigint AND r.station = n.station "
    "GROUP BY n.station, s.fixtures, s.last_seen ORDER BY n.station";

LineStatus stationsOf(LineDatabase &database, const QByteArray &batchId,
                      QVector<StationProgress> &stations)
{
    QueryResult result;
    const LineStatus status = runQuery(database, kStations, {batchId}, &result);
    for (int i = 0; status.ok() && i < result.rows(); ++i) {
        StationProgress station;
        station.station = result.text(i, 0);
        station.fixtures = int(result.number(i, 1));
        station.passed = result.number(i, 2);
        station.failed = result.number(i, 3);
        station.unitsPerHour = result.number(i, 4);
        station.lastSeen = result.text(i, 5);
        stations.append(station);
    }
    return status;
}

BatchProgress progressOf(const QueryResult &result, int i)
{
    BatchProgress batch;
    batch.batch = result.text(i, 1);
    batch.rows = result.number(i, 2);
    batch.waiting = result.number(i, 3);
    batch.leased = result.number(i, 4);
    batch.expiredLeases = result.number(i, 5);
    batch.passed = result.number(i, 6);
    batch.setAside = result.number(i, 7);
    batch.failedUnits = result.number(i, 8);
    return batch;
}

} // namespace

LineStatus batchProgress(LineDatabase &database, const QString &batch,
                         QVector<BatchProgress> &batches, WithStations withStations)
{
    QueryResult result;
    LineStatus status =
        runQuery(database, kProgress, {batch.isEmpty() ? QByteArray() : batch.toUtf8()}, &result);
    for (int i = 0; status.ok() && i < result.rows(); ++i) {
        batches.append(progressOf(result, i));
        if (withStations == WithStations::Yes)
            status = stationsOf(database, result.bytes(i, 0), batches.last().stations);
    }
    if (status.ok() && !batch.isEmpty() && batches.isEmpty())
        return noSuchBatch(batch);
    return status;
}

LineStatus exportBatch(LineDatabase &database, const QString &batch,
                       const std::function<bool(const QByteArray &)> &line)
{
    QueryResult found;
    LineStatus status =
        runQuery(database, "SELECT id FROM line_batches WHERE name = $1", {batch.toUtf8()}, &found);
    if (status.ok() && found.rows() == 0)
        return noSuchBatch(batch);
    QueryResult result;
    if (status.ok())
        status = runQuery(database,
                          "SELECT entry::text, station FROM line_results "
                          "WHERE batch_id = $1::bigint ORDER BY id",
                          {found.bytes(0, 0)}, &result);
    for (int i = 0; status.ok() && i < result.rows(); ++i) {
        Json entry = Json::parse(result.bytes(i, 0).toStdString(), nullptr, false);
        if (!entry.is_object())
            entry = Json::object();
        entry["batch"] = batch.toStdString();
        entry["station"] = result.text(i, 1).toStdString();
        if (!line(jsonText(entry)))
            break;
    }
    return status;
}
