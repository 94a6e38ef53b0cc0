// The line's database: one PostgreSQL connection, and what went wrong with
// it, returned as a value. Nothing here prints: the command line says it.
#ifndef LINE_LINE_DATABASE_H
#define LINE_LINE_DATABASE_H

#include <QByteArray>
#include <QSet>
#include <QString>

#include <functional>

struct pg_conn;

// Why a request to the line's database did not happen.
enum class LineFault {
    None,
    BadConnectionString, // --db is neither a URI nor key=value pairs
    Unreachable,         // no connection, it was lost, or no answer came in time
    Refused,             // the login, or a right the role lacks
    SchemaUnknown,       // no schema, or a version this program does not know
    BatchExists,
    NoSuchBatch,
    BadInput,       // a value the server refused (an unknown role, say)
    StationRunning, // another process runs under the same station name
    RunEnded,       // the station's name was taken by another run of it
};

struct LineStatus {
    LineFault fault = LineFault::None;
    QString message; // empty when all went well

    bool ok() const { return fault == LineFault::None; }
    static LineStatus failed(LineFault fault, const QString &message) { return {fault, message}; }
};

// What a connection is for, which sets how long its statements may take.
enum class LineUse {
    Station, // a station's calls: short, and never waited on for long
    Command, // line init, import, status, export: as long as their work takes
};

// One connection, made from anything libpq takes (a URI, key=value pairs,
// or nothing: then PGHOST, PGDATABASE, PGSERVICE, ~/.pgpass and the rest
// apply). The connection string may hold a password, so no message ever
// quotes it: they name the host and the database instead.
//
// Nothing waits for ever: the connection has a connect time-out, TCP
// keepalives and a TCP user time-out, every statement a statement_timeout
// (the connection string or the environment may set others), and the
// program itself waits for each answer no longer than its patience: a
// network that swallows traffic keeps TCP alive, and the server never sees
// the statement. A connection whose answer does not come in time is given up.
class LineDatabase
{
public:
    LineDatabase() = default;
    ~LineDatabase();
    LineDatabase(const LineDatabase &) = delete;
    LineDatabase &operator=(const LineDatabase &) = delete;

    LineStatus open(const QString &connectionString, LineUse use = LineUse::Command);
    void close();
    // "host H, database D", for messages; still known once the connection
    // is given up.
    QString where() const { return where_; }
    pg_conn *connection() const { return connection_; }
    // The named statements this connection has prepared.
    QSet<QByteArray> &prepared() { return prepared_; }
    // Asked while an answer is awaited: true gives the connection up at once
    // (the operator's second Ctrl-C).
    void setInterruption(const std::function<bool()> &interrupted) { interrupted_ = interrupted; }

    // Waits until the connection's socket can be read (or written) or the
    // answer is overdue; Unreachable, with the connection given up, if the
    // patience ran out or the wait was interrupted.
    LineStatus awaitSocket(bool forWriting, qint64 deadlineMs);
    // The deadline for an answer to a request sent now (a steady clock's ms).
    qint64 answerDeadline() const;

private:
    LineStatus connectWithin(const char *const *keys, const char *const *values);
    LineStatus giveUp(const QString &why);
    void noteWhere();

    pg_conn *connection_ = nullptr;
    QSet<QByteArray> prepared_;
    QString where_ = QStringLiteral("not connected");
    int patienceMs_ = 0;
    std::function<bool()> interrupted_;
};

#endif // LINE_LINE_DATABASE_H
