// The line's database: one PostgreSQL connection, and what went wrong with
// it, returned as a value. Nothing here prints: the command line says it.
#ifndef LINE_LINE_DATABASE_H
#define LINE_LINE_DATABASE_H

#include <QByteArray>
#include <QSet>
#include <QString>

struct pg_conn;

// Why a request to the line's database did not happen.
enum class LineFault {
    None,
    BadConnectionString, // --db is neither a URI nor key=value pairs
    Unreachable,         // no connection, or it was lost
    Refused,             // the login, or a right the role lacks
    SchemaUnknown,       // no schema, or a version this program does not know
    BatchExists,
    NoSuchBatch,
    BadInput,       // a value the server refused (an unknown role, say)
    StationRunning, // another process runs under the same station name
};

struct LineStatus {
    LineFault fault = LineFault::None;
    QString message; // empty when all went well

    bool ok() const { return fault == LineFault::None; }
    static LineStatus failed(LineFault fault, const QString &message) { return {fault, message}; }
};

// One connection, made from anything libpq takes (a URI, key=value pairs,
// or nothing: then PGHOST, PGDATABASE, PGSERVICE, ~/.pgpass and the rest
// apply). The connection string may hold a password, so no message ever
// quotes it: they name the host and the database instead.
class LineDatabase
{
public:
    LineDatabase() = default;
    ~LineDatabase();
    LineDatabase(const LineDatabase &) = delete;
    LineDatabase &operator=(const LineDatabase &) = delete;

    LineStatus open(const QString &connectionString);
    void close();
    // "host H, database D", for messages.
    QString where() const;
    pg_conn *connection() const { return connection_; }
    // The named statements this connection has prepared.
    QSet<QByteArray> &prepared() { return prepared_; }

private:
    pg_conn *connection_ = nullptr;
    QSet<QByteArray> prepared_;
};

#endif // LINE_LINE_DATABASE_H
