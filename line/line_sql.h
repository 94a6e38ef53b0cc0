// The line's SQL as the program carries it, from the files in line/sql/:
// the migrations that build the schema one version after another, the
// statements the program sends, each under its name, and the grants.
#ifndef LINE_LINE_SQL_H
#define LINE_LINE_SQL_H

#include <QByteArray>

// One migration: it brings the schema from version - 1 to `version`. Once
// it has landed it is never edited; a change is a new migration.
struct LineMigration {
    int version;
    const char *file;    // "0002_row_identities.sql"
    int breaksOlderThan; // stations built for an older version cannot work on it
    const char *sql;     // a script psql -f could run
};

struct LineScript {
    const char *file;
    const char *sql;
};

// The migrations, version 1 first, `count` of them.
const LineMigration *lineMigrations(int &count);

// The version the last migration makes: the one this program builds.
int lineSchemaVersion();

// The oldest station version a database migrated up to `version` still
// serves: no migration up to it breaks such a station.
int stationsFromOf(int version);

// The script called `file` ("grants.sql"); empty if there is none.
QByteArray lineScript(const char *file);

// A statement of queries.sql, by its name.
struct LineStatement {
    QByteArray name;
    QByteArray sql;
    // PostgreSQL can prepare it; else it is sent as it is, each time.
    bool preparable = false;
};

// The statement called `name`; nullptr if queries.sql has none.
const LineStatement *lineStatement(const char *name);

#endif // LINE_LINE_SQL_H
