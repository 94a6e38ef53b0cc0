#include "line/line_database.h"
#include "line/line_query.h"
#include "line/line_sql.h"

#include <cstdlib>
#include <vector>

namespace {

// libpq's own notice processor prints to standard error; the server's
// notices ("relation exists, skipping") are of no use to a station.
void ignoreNotice(void *, const char *) {}

// libpq's messages end with a newline and may run over several lines.
QString oneLine(const char *text)
{
    QString line = QString::fromUtf8(text).trimmed();
    line.replace(QLatin1Char('\n'), QStringLiteral("; "));
    return line.simplified(); // the hint lines are indented with tabs
}

// Whether `connectionString` is one libpq can parse. Its own complaint is
// not passed on: it may quote the string, password and all.
bool parses(const QByteArray &connectionString)
{
    char *problem = nullptr;
    PQconninfoOption *options = PQconninfoParse(connectionString.constData(), &problem);
    PQfreemem(problem);
    PQconninfoFree(options);
    return options != nullptr;
}

LineFault faultOfState(const QByteArray &state)
{
    if (state.startsWith("08") || state.startsWith("57P"))
        return LineFault::Unreachable;
    if (state.startsWith("28") || state == "42501")
        return LineFault::Refused;
    if (state == "42P01" || state == "42883")
        return LineFault::SchemaUnknown; // a table or function of the line is missing
    if (state.startsWith("22") || state.startsWith("23") || state == "42704")
        return LineFault::BadInput;
    return LineFault::Refused;
}

} // namespace

LineDatabase::~LineDatabase()
{
    close();
}

void LineDatabase::close()
{
    if (connection_)
        PQfinish(connection_);
    connection_ = nullptr;
    prepared_.clear();
}

LineStatus LineDatabase::open(const QString &connectionString)
{
    close();
    const QByteArray given = connectionString.toUtf8();
    if (!given.isEmpty() && !parses(given))
        return LineStatus::failed(LineFault::BadConnectionString,
                                  QStringLiteral("--db: not a connection string libpq takes (a "
                                                 "postgresql:// URI or key=value pairs)"));
    // A server that never answers would hold a station forever; the
    // environment or the string may still choose another time-out.
    const char *timeout = std::getenv("PGCONNECT_TIMEOUT") ? nullptr : "10";
    const char *keys[] = {"connect_timeout", "fallback_application_name", "dbname", nullptr};
    const char *values[] = {timeout, "kestroctl", given.constData(), nullptr};
    connection_ = PQconnectdbParams(keys, values, 1);
    if (!connection_)
        return LineStatus::failed(LineFault::Unreachable,
                                  QStringLiteral("the line's database: out of memory"));
    PQsetNoticeProcessor(connection_, ignoreNotice, nullptr);
    if (PQstatus(connection_) == CONNECTION_OK)
        return {};
    const QString reason = oneLine(PQerrorMessage(connection_));
    const bool refused = reason.contains(QLatin1String("authentication failed")) ||
                         reason.contains(QLatin1String("no pg_hba.conf entry")) ||
                         reason.contains(QLatin1String("does not exist"));
    return LineStatus::failed(refused ? LineFault::Refused : LineFault::Unreachable,
                              QStringLiteral("the line's database (%1): %2").arg(where(), reason));
}

QString LineDatabase::where() const
{
    if (!connection_)
        return QStringLiteral("not connected");
    const char *host = PQhost(connection_);
    const char *database = PQdb(connection_);
    return QStringLiteral("host %1, database %2")
        .arg(QString::fromUtf8(host && *host ? host : "(local socket)"),
             QString::fromUtf8(database ? database : ""));
}

// What the tests' raw SQL and the named statements share: a result taken
// in, or the failure it holds.
class QueryRun
{
public:
    static LineStatus finish(LineDatabase &database, PGresult *given, QueryResult *result)
    {
        std::unique_ptr<PGresult, ResultFree> answer(given);
        const ExecStatusType status = answer ? PQresultStatus(answer.get()) : PGRES_FATAL_ERROR;
        if (status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK) {
            if (result)
                result->result_ = std::move(answer);
            return {};
        }
        const char *state = answer ? PQresultErrorField(answer.get(), PG_DIAG_SQLSTATE) : nullptr;
        const LineFault fault = PQstatus(database.connection()) != CONNECTION_OK || !state
                                    ? LineFault::Unreachable
                                    : faultOfState(QByteArray(state));
        const char *reason = answer ? PQresultErrorField(answer.get(), PG_DIAG_MESSAGE_PRIMARY)
                                    : PQerrorMessage(database.connection());
        return LineStatus::failed(
            fault, QStringLiteral("the line's database (%1): %2")
                       .arg(database.where(),
                            oneLine(reason ? reason : PQerrorMessage(database.connection()))));
    }
};

namespace {

LineStatus notConnected()
{
    return LineStatus::failed(LineFault::Unreachable,
                              QStringLiteral("the line's database: not connected"));
}

std::vector<const char *> valuesOf(std::initializer_list<QByteArray> parameters)
{
    std::vector<const char *> values;
    for (const QByteArray &parameter : parameters)
        values.push_back(parameter.isNull() ? nullptr : parameter.constData());
    return values;
}

// Prepares the statement under its own name, once per connection.
LineStatus prepare(LineDatabase &database, const LineStatement &statement)
{
    if (database.prepared().contains(statement.name))
        return {};
    const LineStatus status =
        QueryRun::finish(database,
                         PQprepare(database.connection(), statement.name.constData(),
                                   statement.sql.constData(), 0, nullptr),
                         nullptr);
    if (status.ok())
        database.prepared().insert(statement.name);
    return status;
}

} // namespace

LineStatus runQuery(LineDatabase &database, const char *sql,
                    std::initializer_list<QByteArray> parameters, QueryResult *result)
{
    if (!database.connection())
        return notConnected();
    const std::vector<const char *> values = valuesOf(parameters);
    return QueryRun::finish(database,
                            parameters.size() == 0
                                ? PQexec(database.connection(), sql)
                                : PQexecParams(database.connection(), sql, int(values.size()),
                                               nullptr, values.data(), nullptr, nullptr, 0),
                            result);
}

LineStatus runStatement(LineDatabase &database, const char *name,
                        std::initializer_list<QByteArray> parameters, QueryResult *result)
{
    const LineStatement *statement = lineStatement(name);
    Q_ASSERT_X(statement, "runStatement", name);
    if (!statement)
        return LineStatus::failed(
            LineFault::BadInput, QStringLiteral("no statement called %1").arg(QLatin1String(name)));
    if (!database.connection())
        return notConnected();
    if (!statement->preparable)
        return runQuery(database, statement->sql.constData(), parameters, result);
    LineStatus status = prepare(database, *statement);
    if (!status.ok())
        return status;
    const std::vector<const char *> values = valuesOf(parameters);
    return QueryRun::finish(database,
                            PQexecPrepared(database.connection(), statement->name.constData(),
                                           int(values.size()), values.data(), nullptr, nullptr, 0),
                            result);
}

int QueryResult::index(const char *column) const
{
    const int found = result_ ? PQfnumber(result_.get(), column) : -1;
    Q_ASSERT_X(found >= 0, "QueryResult", column);
    return found;
}

QString QueryResult::text(int row, int column) const
{
    return QString::fromUtf8(PQgetvalue(result_.get(), row, column));
}

QByteArray QueryResult::bytes(int row, int column) const
{
    return QByteArray(PQgetvalue(result_.get(), row, column),
                      PQgetlength(result_.get(), row, column));
}

qint64 QueryResult::number(int row, int column) const
{
    return QByteArray(PQgetvalue(result_.get(), row, column)).toLongLong();
}

bool QueryResult::isNull(int row, int column) const
{
    return PQgetisnull(result_.get(), row, column) != 0;
}

LineTransaction::~LineTransaction()
{
    if (open_)
        runStatement(database_, "rollback");
}

LineStatus LineTransaction::begin()
{
    LineStatus status = runStatement(database_, "begin");
    open_ = status.ok();
    return status;
}

LineStatus LineTransaction::commit()
{
    open_ = false;
    return runStatement(database_, "commit");
}
