// Statements on the line's database, for the line library's own sources:
// text parameters in, text cells out, a failure as a LineStatus. The
// program sends only the named statements of line/sql/queries.sql and the
// scripts beside it; raw SQL is for the tests and the benchmarks.
#ifndef LINE_LINE_QUERY_H
#define LINE_LINE_QUERY_H

#include "line/line_database.h"

#include <QByteArray>
#include <QString>

#include <libpq-fe.h>

#include <initializer_list>
#include <memory>

struct ResultFree {
    void operator()(PGresult *result) const { PQclear(result); }
};

// A statement's rows; cells as text (NULL reads as empty, see isNull).
class QueryResult
{
public:
    int rows() const { return result_ ? PQntuples(result_.get()) : 0; }
    QString text(int row, int column) const;
    QByteArray bytes(int row, int column) const;
    qint64 number(int row, int column) const;
    bool isNull(int row, int column) const;
    // The same by the column's name, as the statement names it.
    QString text(int row, const char *column) const { return text(row, index(column)); }
    QByteArray bytes(int row, const char *column) const { return bytes(row, index(column)); }
    qint64 number(int row, const char *column) const { return number(row, index(column)); }
    bool isNull(int row, const char *column) const { return isNull(row, index(column)); }
    // "t" as PostgreSQL writes true.
    bool flag(int row, const char *column) const { return text(row, column) == QLatin1String("t"); }

private:
    friend class QueryRun;
    int index(const char *column) const;
    std::unique_ptr<PGresult, ResultFree> result_;
};

// Why the server refused a request, from the SQLSTATE of its answer (null
// if none came); Unreachable whenever the connection itself is gone.
LineFault faultOfAnswer(pg_conn *connection, const char *state);

// Runs one statement (or, without parameters, several) with the parameters
// as text; `result`, if given, takes its rows. A null QByteArray is SQL NULL.
LineStatus runQuery(LineDatabase &database, const char *sql,
                    std::initializer_list<QByteArray> parameters = {},
                    QueryResult *result = nullptr);

// Runs the statement of queries.sql called `name`: prepared the first time
// this connection runs it, executed from then on.
LineStatus runStatement(LineDatabase &database, const char *name,
                        std::initializer_list<QByteArray> parameters = {},
                        QueryResult *result = nullptr);

// A sequence of statements that either all take effect or none: rolled back
// unless commit() was called and succeeded.
class LineTransaction
{
public:
    explicit LineTransaction(LineDatabase &database) : database_(database) {}
    ~LineTransaction();
    LineTransaction(const LineTransaction &) = delete;
    LineTransaction &operator=(const LineTransaction &) = delete;

    LineStatus begin();
    LineStatus commit();

private:
    LineDatabase &database_;
    bool open_ = false;
};

#endif // LINE_LINE_QUERY_H
