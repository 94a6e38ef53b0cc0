#include "line/line_schema.h"
#include "line/line_batch.h"
#include "line/line_query.h"
#include "line/line_sql.h"

namespace {

struct SchemaVersion {
    int version = 0;      // 0: no schema
    int stationsFrom = 0; // 0: not kept yet (a schema from before rolling upgrades)
};

LineStatus schemaVersion(LineDatabase &database, SchemaVersion &found)
{
    QueryResult result;
    found = SchemaVersion();
    LineStatus status = runStatement(database, "schema_present", {}, &result);
    if (!status.ok() || !result.flag(0, "present"))
        return status;
    status = runStatement(database, "schema_version", {}, &result);
    if (status.ok()) {
        found.version = int(result.number(0, "version"));
        found.stationsFrom = int(result.number(0, "stations_from"));
    }
    return status;
}

// `forWork`: for a command that works on the schema, which a newer one may
// still serve; line init never works on a newer one.
LineStatus unknownVersion(LineDatabase &database, const SchemaVersion &found, bool forWork)
{
    const QString breaking =
        forWork && found.version > lineSchemaVersion()
            ? QStringLiteral(", which stations older than version %1 cannot work on")
                  .arg(found.stationsFrom > 0 ? found.stationsFrom : found.version)
            : QString();
    return LineStatus::failed(
        LineFault::SchemaUnknown,
        QStringLiteral("the line's database (%1) has schema version %2%3; this kestroctl knows "
                       "version %4")
            .arg(database.where())
            .arg(found.version)
            .arg(breaking)
            .arg(lineSchemaVersion()));
}

// The bookkeeping table, made outside the transaction so that two first
// inits do not both make it: the one that loses finds it made.
LineStatus makeSchemaTable(LineDatabase &database)
{
    QueryResult result;
    LineStatus status = runStatement(database, "schema_present", {}, &result);
    for (int tries = 0; status.ok() && !result.flag(0, "present") && tries < 2; ++tries) {
        status = runStatement(database, "make_schema_table");
        if (status.fault == LineFault::BadInput) // made by the other init meanwhile
            status = runStatement(database, "schema_present", {}, &result);
        else if (status.ok())
            break;
    }
    return status;
}

LineStatus rolesOf(LineDatabase &database, const char *statement, QStringList &roles)
{
    QueryResult result;
    const LineStatus status = runStatement(database, statement, {}, &result);
    for (int i = 0; status.ok() && i < result.rows(); ++i)
        roles << result.text(i, "role");
    return status;
}

// What `role` still lacks of what grants.sql gives it; PostgreSQL only
// warns when a grant gives nothing (the granter does not own the schema).
LineStatus checkRights(LineDatabase &database, const char *statement, const QString &role)
{
    QueryResult result;
    LineStatus status = runStatement(database, statement, {role.toUtf8()}, &result);
    QStringList missing;
    for (int i = 0; status.ok() && i < result.rows(); ++i)
        missing << result.text(i, "missing");
    if (status.ok() && !missing.isEmpty())
        status = LineStatus::failed(LineFault::Refused,
                                    QStringLiteral("role %1 was not granted %2; nothing changed "
                                                   "(line init must be run by the role that owns "
                                                   "the line's schema)")
                                        .arg(role, missing.join(QStringLiteral(", "))));
    return status;
}

LineStatus grant(LineDatabase &database, const QString &station, const QString &viewer)
{
    LineStatus status = runStatement(database, "grant_to",
                                     {station.isEmpty() ? QByteArray("") : station.toUtf8(),
                                      viewer.isEmpty() ? QByteArray("") : viewer.toUtf8()});
    if (status.ok())
        status = runQuery(database, lineScript("grants.sql").constData());
    if (status.ok() && !station.isEmpty())
        status = checkRights(database, "missing_station_rights", station);
    if (status.ok() && !viewer.isEmpty())
        status = checkRights(database, "missing_viewer_rights", viewer);
    return status;
}

LineStatus runMigrations(LineDatabase &database, int from)
{
    int count = 0;
    const LineMigration *migrations = lineMigrations(count);
    LineStatus status;
    for (int i = from; status.ok() && i < count; ++i)
        status = runQuery(database, migrations[i].sql);
    return status;
}

// The stations seen lately that the schema, once upgraded, no longer serves.
LineStatus stoppedStations(LineDatabase &database, int from, QVector<StoppedStation> &stopped)
{
    QueryResult result;
    const LineStatus status =
        runStatement(database, "running_stations", {QByteArray::number(from)}, &result);
    for (int i = 0; status.ok() && i < result.rows(); ++i) {
        const StoppedStation station{result.text(i, "station"), result.text(i, "host"),
                                     int(result.number(i, "version"))};
        if (station.version < stationsFromOf(lineSchemaVersion()))
            stopped.append(station);
    }
    return status;
}

// An upgrade recreates functions and views, and with them their grants: the
// roles of stations and dashboards are granted what they need again, so
// that none is refused after it. Rows stored before rows kept their
// identity are given it.
LineStatus upgrade(LineDatabase &database, int from, LineInitReport &report)
{
    QStringList stations, viewers;
    LineStatus status;
    if (from > 0)
        status = rolesOf(database, "station_roles", stations);
    if (status.ok() && from > 0)
        status = rolesOf(database, "viewer_roles", viewers);
    if (status.ok() && from > 0)
        status = stoppedStations(database, from, report.stopped);
    if (status.ok())
        status = runMigrations(database, from);
    if (status.ok())
        status = fillMissingIdentities(database, report.withoutIdentity);
    for (const QString &role : stations)
        status = status.ok() ? grant(database, role, QString()) : status;
    for (const QString &role : viewers)
        status = status.ok() ? grant(database, QString(), role) : status;
    return status;
}

// Brings the schema to the latest version and notes which stations it
// still serves.
LineStatus bringUpToDate(LineDatabase &database, const SchemaVersion &found, LineInitReport &report)
{
    const int latest = lineSchemaVersion();
    LineStatus status;
    if (found.version < latest)
        status = upgrade(database, found.version, report);
    if (status.ok() && found.stationsFrom != stationsFromOf(latest))
        status = runStatement(database, "add_stations_from");
    if (status.ok() && (found.version < latest || found.stationsFrom != stationsFromOf(latest)))
        status =
            runStatement(database, "set_schema_version",
                         {QByteArray::number(latest), QByteArray::number(stationsFromOf(latest))});
    return status;
}

// The version as a station's role may read it: through the function that
// schemas of rolling upgrades have, else from the table.
LineStatus workingVersion(LineDatabase &database, SchemaVersion &found)
{
    QueryResult result;
    LineStatus status = runStatement(database, "station_schema_version_present", {}, &result);
    if (!status.ok() || !result.flag(0, "present"))
        return status.ok() ? schemaVersion(database, found) : status;
    status = runStatement(database, "station_schema_version", {}, &result);
    if (status.ok()) {
        found.version = int(result.number(0, "version"));
        found.stationsFrom = int(result.number(0, "stations_from"));
    }
    return status;
}

} // namespace

LineStatus initLineSchema(LineDatabase &database, const LineRoles &roles, LineInitReport *report)
{
    LineInitReport done;
    LineStatus status = makeSchemaTable(database);
    LineTransaction transaction(database);
    if (status.ok())
        status = transaction.begin();
    if (status.ok())
        status = runStatement(database, "lock_schema");
    if (status.ok())
        status = runStatement(database, "use_line_schema");
    SchemaVersion found;
    if (status.ok())
        status = schemaVersion(database, found);
    done.from = found.version;
    if (status.ok() && found.version > lineSchemaVersion())
        return unknownVersion(database, found, false);
    if (status.ok())
        status = bringUpToDate(database, found, done);
    if (status.ok() && (!roles.station.isEmpty() || !roles.viewer.isEmpty()))
        status = grant(database, roles.station, roles.viewer);
    if (status.ok())
        status = transaction.commit();
    if (status.ok() && report)
        *report = done;
    return status;
}

LineStatus checkLineSchema(LineDatabase &database)
{
    SchemaVersion found;
    const LineStatus status = workingVersion(database, found);
    if (!status.ok())
        return status;
    if (found.version == 0)
        return LineStatus::failed(LineFault::SchemaUnknown,
                                  QStringLiteral("the line's database (%1) has no line schema; "
                                                 "run kestroctl line init")
                                      .arg(database.where()));
    // A newer schema serves this program as long as no migration since
    // its own version breaks it.
    const int stationsFrom = found.stationsFrom > 0 ? found.stationsFrom : found.version;
    if (found.version >= lineSchemaVersion() && stationsFrom <= lineSchemaVersion())
        return {};
    return unknownVersion(database, found, true);
}
