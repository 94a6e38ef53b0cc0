// The line's tables, views and functions, with a version, so that a program
// never works on a database laid out in a way it does not know. The schema
// is built by the migrations of line/sql/, one version after another.
#ifndef LINE_LINE_SCHEMA_H
#define LINE_LINE_SCHEMA_H

#include "line/line_batch.h"
#include "line/line_database.h"

// The roles line init grants what they need: the one stations log in as,
// and a dashboard's, which reads the views alone. Empty: none.
struct LineRoles {
    LineRoles(const QString &station = QString(), const QString &viewer = QString())
        : station(station), viewer(viewer)
    {
    }
    QString station;
    QString viewer;
};

// A station that was seen in the last minute and that an upgrade stops: it
// was built for a version older than the schema now serves.
struct StoppedStation {
    QString station;
    QString host;
    int version = 0;
};

// What line init did beside bringing the schema up to date.
struct LineInitReport {
    int from = 0;                                 // the version it found; 0: none
    QVector<RowsWithoutIdentity> withoutIdentity; // batches with rows left without one
    QVector<StoppedStation> stopped;
};

// Creates the schema, or brings an older one up to date; on a current one
// it changes nothing. The roles given are granted what grants.sql gives
// them. An upgrade grants the roles stations and dashboards already log in
// as the same again, and gives the rows stored before rows kept their
// identity theirs. All of it in one transaction.
LineStatus initLineSchema(LineDatabase &database, const LineRoles &roles,
                          LineInitReport *report = nullptr);

// SchemaUnknown unless this program can work on the database's schema: its
// own version, or a newer one that no migration since breaks it for.
LineStatus checkLineSchema(LineDatabase &database);

#endif // LINE_LINE_SCHEMA_H
