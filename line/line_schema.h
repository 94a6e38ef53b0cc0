// The line's tables, views and functions, with a version, so that a program
// never works on a database laid out in a way it does not know.
#ifndef LINE_LINE_SCHEMA_H
#define LINE_LINE_SCHEMA_H

#include "line/line_batch.h"
#include "line/line_database.h"

// The version this program creates and understands.
inline constexpr int kLineSchemaVersion = 2;

// Creates the schema, or brings an older one up to date; on a current one
// it changes nothing. With a `stationRole`, grants that existing role what a
// station needs and no more: claim, renew and record, through the line's
// functions, but no table to write. An upgrade keeps what the roles stations
// already log in as may do, and gives the rows stored before rows kept their
// identity theirs; `withoutIdentity`, if given, takes the batches with rows
// still left without one. All of it in one transaction.
LineStatus initLineSchema(LineDatabase &database, const QString &stationRole,
                          QVector<RowsWithoutIdentity> *withoutIdentity = nullptr);

// SchemaUnknown unless the database holds the schema of this very version.
LineStatus checkLineSchema(LineDatabase &database);

#endif // LINE_LINE_SCHEMA_H
