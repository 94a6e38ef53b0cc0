#include "line/line_schema.h"
#include "line/line_batch.h"
#include "line/line_query.h"
#include "line/line_schema_v1.sql.h"
#include "line/line_schema_v2.sql.h"
#include "line/line_schema_v3.sql.h"

namespace {

// The scripts that bring version N-1 to N, at index N-1.
const char *const kUpgrades[] = {kLineSchemaV1, kLineSchemaV2, kLineSchemaV3};
static_assert(sizeof kUpgrades / sizeof *kUpgrades == kLineSchemaVersion,
              "one script for each version");

// What a station's role is granted: read the version and the progress,
// call the functions; no table to write.
// @ROLE@ stands for the role, @SCHEMA@ for the schema that holds the line's
// tables. The functions as the latest version has them.
constexpr char kStationGrants[] = R"SQL(
GRANT USAGE ON SCHEMA @SCHEMA@ TO @ROLE@;
GRANT SELECT ON line_schema, line_batches, line_rows, line_results, line_stations,
    line_progress, station_rates TO @ROLE@;
GRANT EXECUTE ON FUNCTION line_claim(text, text, text, double precision, integer) TO @ROLE@;
GRANT EXECUTE ON FUNCTION line_renew(text, integer, bigint, text, text, double precision),
    line_writing(text, integer, bigint, text, text, double precision) TO @ROLE@;
GRANT EXECUTE ON FUNCTION line_record(text, integer, bigint, text, text, boolean, text, text,
                                      integer, json) TO @ROLE@;
GRANT EXECUTE ON FUNCTION line_station_start(text, text, integer, integer) TO @ROLE@;
GRANT EXECUTE ON FUNCTION line_station_seen(text) TO @ROLE@;
)SQL";

// Only one init at a time: a second waits, then finds the schema current.
constexpr char kInitLock[] = "SELECT pg_advisory_xact_lock(19251, 0)";

// The version the database holds: 0 for none.
LineStatus schemaVersion(LineDatabase &database, int &version)
{
    QueryResult result;
    LineStatus status =
        runQuery(database, "SELECT to_regclass('line_schema') IS NOT NULL", {}, &result);
    if (!status.ok() || result.text(0, 0) != QLatin1String("t")) {
        version = 0;
        return status;
    }
    status = runQuery(database, "SELECT coalesce(max(version), 0) FROM line_schema", {}, &result);
    version = status.ok() ? int(result.number(0, 0)) : 0;
    return status;
}

LineStatus unknownVersion(LineDatabase &database, int version)
{
    return LineStatus::failed(
        LineFault::SchemaUnknown,
        QStringLiteral("the line's database (%1) has schema version %2; this kestroctl knows "
                       "version %3")
            .arg(database.where())
            .arg(version)
            .arg(kLineSchemaVersion));
}

// The schema that holds line_schema, quoted as SQL needs it.
LineStatus schemaName(LineDatabase &database, QByteArray &name)
{
    QueryResult result;
    const LineStatus status = runQuery(database,
                                       "SELECT relnamespace::regnamespace::text FROM pg_class "
                                       "WHERE oid = 'line_schema'::regclass",
                                       {}, &result);
    if (status.ok())
        name = result.bytes(0, 0);
    return status;
}

LineStatus runUpgrades(LineDatabase &database, int from)
{
    LineStatus status = runQuery(database, "CREATE TABLE IF NOT EXISTS line_schema "
                                           "(version integer NOT NULL)");
    QByteArray schema;
    if (status.ok())
        status = schemaName(database, schema);
    for (int version = from + 1; status.ok() && version <= kLineSchemaVersion; ++version)
        status = runQuery(
            database, QByteArray(kUpgrades[version - 1]).replace("@SCHEMA@", schema).constData());
    if (status.ok())
        status = runQuery(database, "DELETE FROM line_schema");
    if (status.ok())
        status = runQuery(database, "INSERT INTO line_schema VALUES ($1::integer)",
                          {QByteArray::number(kLineSchemaVersion)});
    return status;
}

LineStatus grantStation(LineDatabase &database, const QString &role)
{
    QByteArray schema;
    LineStatus status = schemaName(database, schema);
    const QByteArray given = role.toUtf8();
    char *quoted =
        PQescapeIdentifier(database.connection(), given.constData(), size_t(given.size()));
    if (!quoted)
        return LineStatus::failed(LineFault::BadInput,
                                  QStringLiteral("--station-role: not a role name"));
    const QByteArray script =
        QByteArray(kStationGrants).replace("@SCHEMA@", schema).replace("@ROLE@", quoted);
    PQfreemem(quoted);
    return status.ok() ? runQuery(database, script.constData()) : status;
}

// The roles stations log in as: the grantees of the station's sign of life,
// which every version has, but neither its owner nor PUBLIC.
constexpr char kStationRoles[] =
    "SELECT DISTINCT r.rolname FROM pg_proc p CROSS JOIN LATERAL aclexplode(p.proacl) a "
    "JOIN pg_roles r ON r.oid = a.grantee "
    "WHERE p.oid = to_regprocedure('line_station_seen(text)') AND a.privilege_type = 'EXECUTE' "
    "AND a.grantee <> p.proowner ORDER BY 1";

// An upgrade recreates functions a station calls, and with them their
// grants: the station's roles are granted what a station needs again, so
// that no station is refused after it. Rows stored before rows kept their
// identity are given it.
LineStatus upgrade(LineDatabase &database, int from, QVector<RowsWithoutIdentity> &withoutIdentity)
{
    QueryResult roles;
    LineStatus status = runQuery(database, kStationRoles, {}, &roles);
    if (status.ok())
        status = runUpgrades(database, from);
    if (status.ok())
        status = fillMissingIdentities(database, withoutIdentity);
    for (int i = 0; status.ok() && i < roles.rows(); ++i)
        status = grantStation(database, roles.text(i, 0));
    return status;
}

} // namespace

LineStatus initLineSchema(LineDatabase &database, const QString &stationRole,
                          QVector<RowsWithoutIdentity> *withoutIdentity)
{
    QVector<RowsWithoutIdentity> left;
    LineTransaction transaction(database);
    LineStatus status = transaction.begin();
    if (status.ok())
        status = runQuery(database, kInitLock);
    int version = 0;
    if (status.ok())
        status = schemaVersion(database, version);
    if (status.ok() && version > kLineSchemaVersion)
        return unknownVersion(database, version);
    if (status.ok() && version < kLineSchemaVersion)
        status = upgrade(database, version, left);
    if (status.ok() && !stationRole.isEmpty())
        status = grantStation(database, stationRole);
    if (status.ok())
        status = transaction.commit();
    if (status.ok() && withoutIdentity)
        *withoutIdentity = left;
    return status;
}

LineStatus checkLineSchema(LineDatabase &database)
{
    int version = 0;
    const LineStatus status = schemaVersion(database, version);
    if (!status.ok())
        return status;
    if (version == 0)
        return LineStatus::failed(LineFault::SchemaUnknown,
                                  QStringLiteral("the line's database (%1) has no line schema; "
                                                 "run kestroctl line init")
                                      .arg(database.where()));
    return version == kLineSchemaVersion ? LineStatus() : unknownVersion(database, version);
}
