#include "line/line_database.h"
#include "line/line_query.h"
#include "line/line_sql.h"

#include <QVector>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <vector>

#include <poll.h>

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
    // A statement the server cancelled for taking too long, or a lock not
    // had in time, is an outage like any other.
    if (state.startsWith("08") || state.startsWith("57P") || state == "57014" || state == "55P03")
        return LineFault::Unreachable;
    if (state == "KL001")
        return LineFault::RunEnded;
    if (state == "KL002")
        return LineFault::NoSuchBatch;
    if (state.startsWith("28") || state == "42501")
        return LineFault::Refused;
    if (state == "42P01" || state == "42883")
        return LineFault::SchemaUnknown; // a table or function of the line is missing
    if (state.startsWith("22") || state.startsWith("23") || state == "42704")
        return LineFault::BadInput;
    return LineFault::Refused;
}

qint64 nowMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

constexpr int kSliceMs = 100; // how often a wait looks at the interruption
constexpr int kConnectSeconds = 10;
// The server cancels a statement after its statement_timeout; the program
// waits a little longer, so that the server's answer comes first if there is one.
constexpr int kStationStatementMs = 10000;
constexpr int kCommandStatementMs = 300000;
constexpr int kAnswerGraceMs = 5000;

struct Setting {
    const char *key;
    QByteArray value;
};

// What suits a line unless the environment or the connection string says
// otherwise: a dead peer is noticed within seconds, not hours.
QVector<Setting> defaultsFor(LineUse use)
{
    const int statementMs = use == LineUse::Station ? kStationStatementMs : kCommandStatementMs;
    return {{"connect_timeout", QByteArray::number(kConnectSeconds)},
            {"keepalives", "1"},
            {"keepalives_idle", "5"},
            {"keepalives_interval", "2"},
            {"keepalives_count", "3"},
            {"tcp_user_timeout", "10000"},
            {"options",
             "-c statement_timeout=" + QByteArray::number(statementMs) +
                 " -c lock_timeout=" + QByteArray::number(statementMs / 2) +
                 " -c idle_in_transaction_session_timeout=" + QByteArray::number(statementMs * 2)},
            {"fallback_application_name", "kestroctl"}};
}

// The settings the environment sets (PGCONNECT_TIMEOUT, PGOPTIONS, ...),
// which then go before the program's own defaults.
QSet<QByteArray> setByEnvironment()
{
    PQconninfoOption *options = PQconndefaults();
    QSet<QByteArray> set;
    for (PQconninfoOption *option = options; option && option->keyword; ++option) {
        if (option->envvar && std::getenv(option->envvar))
            set.insert(QByteArray(option->keyword));
    }
    PQconninfoFree(options);
    return set;
}

// The setting `key` as the connection ended up with it.
int settingOf(pg_conn *connection, const char *key, int otherwise)
{
    PQconninfoOption *options = PQconninfo(connection);
    int value = otherwise;
    for (PQconninfoOption *option = options; option && option->keyword; ++option) {
        if (qstrcmp(option->keyword, key) == 0 && option->val && *option->val)
            value = QByteArray(option->val).toInt();
    }
    PQconninfoFree(options);
    return value;
}

} // namespace

LineFault faultOfAnswer(pg_conn *connection, const char *state)
{
    return PQstatus(connection) != CONNECTION_OK || !state || !*state
               ? LineFault::Unreachable
               : faultOfState(QByteArray(state));
}

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

LineStatus LineDatabase::open(const QString &connectionString, LineUse use)
{
    close();
    const QByteArray given = connectionString.toUtf8();
    if (!given.isEmpty() && !parses(given))
        return LineStatus::failed(LineFault::BadConnectionString,
                                  QStringLiteral("--db: not a connection string libpq takes (a "
                                                 "postgresql:// URI or key=value pairs)"));
    // The defaults come before dbname, so that the string overrides them.
    const QVector<Setting> defaults = defaultsFor(use);
    const QSet<QByteArray> fromEnvironment = setByEnvironment();
    std::vector<const char *> keys, values;
    for (const Setting &setting : defaults) {
        if (fromEnvironment.contains(setting.key))
            continue;
        keys.push_back(setting.key);
        values.push_back(setting.value.constData());
    }
    keys.push_back("dbname");
    values.push_back(given.constData());
    keys.push_back(nullptr);
    values.push_back(nullptr);
    patienceMs_ =
        (use == LineUse::Station ? kStationStatementMs : kCommandStatementMs) + kAnswerGraceMs;
    return connectWithin(keys.data(), values.data());
}

// Connects without blocking, so that a server that never answers and the
// operator's stop are both noticed in time.
LineStatus LineDatabase::connectWithin(const char *const *keys, const char *const *values)
{
    connection_ = PQconnectStartParams(keys, values, 1);
    if (!connection_)
        return LineStatus::failed(LineFault::Unreachable,
                                  QStringLiteral("the line's database: out of memory"));
    PQsetNoticeProcessor(connection_, ignoreNotice, nullptr);
    noteWhere();
    const qint64 deadline =
        nowMs() + 1000 * qMax(2, settingOf(connection_, "connect_timeout", kConnectSeconds));
    PostgresPollingStatusType polled = PGRES_POLLING_WRITING;
    while (PQstatus(connection_) != CONNECTION_BAD && polled != PGRES_POLLING_OK &&
           polled != PGRES_POLLING_FAILED) {
        const LineStatus waited = awaitSocket(polled == PGRES_POLLING_WRITING, deadline);
        if (!waited.ok())
            return waited;
        polled = PQconnectPoll(connection_);
    }
    noteWhere();
    // Requests are sent without blocking too: a large one on a network that
    // swallows traffic would otherwise hang in the middle of its sending.
    if (PQstatus(connection_) == CONNECTION_OK && PQsetnonblocking(connection_, 1) == 0)
        return {};
    const QString reason = oneLine(PQerrorMessage(connection_));
    const bool refused = reason.contains(QLatin1String("authentication failed")) ||
                         reason.contains(QLatin1String("no pg_hba.conf entry")) ||
                         reason.contains(QLatin1String("does not exist"));
    return LineStatus::failed(refused ? LineFault::Refused : LineFault::Unreachable,
                              QStringLiteral("the line's database (%1): %2").arg(where_, reason));
}

void LineDatabase::noteWhere()
{
    const char *host = PQhost(connection_);
    const char *database = PQdb(connection_);
    where_ = QStringLiteral("host %1, database %2")
                 .arg(QString::fromUtf8(host && *host ? host : "(local socket)"),
                      QString::fromUtf8(database ? database : ""));
}

qint64 LineDatabase::answerDeadline() const
{
    return nowMs() + patienceMs_;
}

LineStatus LineDatabase::awaitSocket(bool forWriting, qint64 deadlineMs)
{
    for (;;) {
        if (interrupted_ && interrupted_())
            return giveUp(QStringLiteral("the station was stopped at once"));
        const qint64 left = deadlineMs - nowMs();
        if (left <= 0)
            return giveUp(QStringLiteral("no answer within %1 s; the connection was given up")
                              .arg((patienceMs_ + 999) / 1000));
        pollfd watched{PQsocket(connection_), short(forWriting ? POLLOUT : POLLIN), 0};
        if (watched.fd < 0)
            return giveUp(QStringLiteral("the connection has no socket"));
        const int ready = ::poll(&watched, 1, int(qMin<qint64>(left, kSliceMs)));
        if (ready > 0 || (ready < 0 && errno != EINTR))
            return {};
    }
}

LineStatus LineDatabase::giveUp(const QString &why)
{
    close();
    return LineStatus::failed(LineFault::Unreachable,
                              QStringLiteral("the line's database (%1): %2").arg(where_, why));
}

// What the tests' raw SQL and the named statements share: a request sent
// without blocking, its answer awaited no longer than the connection's
// patience, and a result taken in, or the failure it holds.
class QueryRun
{
public:
    static LineStatus exchange(LineDatabase &database, const std::function<int(pg_conn *)> &send,
                               QueryResult *result)
    {
        pg_conn *connection = database.connection();
        const qint64 deadline = database.answerDeadline();
        if (!send(connection))
            return finish(database, nullptr, result);
        int flushed = 0;
        while ((flushed = PQflush(connection)) == 1) {
            const LineStatus waited = database.awaitSocket(true, deadline);
            if (!waited.ok())
                return waited;
        }
        std::unique_ptr<PGresult, ResultFree> kept;
        for (;;) {
            while (flushed == 0 && PQisBusy(connection)) {
                const LineStatus waited = database.awaitSocket(false, deadline);
                if (!waited.ok())
                    return waited;
                if (!PQconsumeInput(connection))
                    return finish(database, nullptr, result);
            }
            PGresult *next = flushed == 0 ? PQgetResult(connection) : nullptr;
            if (!next)
                break;
            // A script's first failure, else its last result.
            if (!kept || succeeded(kept.get()))
                kept.reset(next);
            else
                PQclear(next);
        }
        return finish(database, kept.release(), result);
    }

private:
    static bool succeeded(const PGresult *answer)
    {
        const ExecStatusType status = PQresultStatus(answer);
        return status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK;
    }

    static LineStatus finish(LineDatabase &database, PGresult *given, QueryResult *result)
    {
        std::unique_ptr<PGresult, ResultFree> answer(given);
        if (answer && succeeded(answer.get())) {
            if (result)
                result->result_ = std::move(answer);
            return {};
        }
        pg_conn *connection = database.connection();
        const char *state = answer ? PQresultErrorField(answer.get(), PG_DIAG_SQLSTATE) : nullptr;
        const LineFault fault = faultOfAnswer(connection, state);
        const char *reason = answer ? PQresultErrorField(answer.get(), PG_DIAG_MESSAGE_PRIMARY)
                                    : PQerrorMessage(connection);
        return LineStatus::failed(
            fault,
            QStringLiteral("the line's database (%1): %2")
                .arg(database.where(), oneLine(reason ? reason : PQerrorMessage(connection))));
    }
};

namespace {

LineStatus notConnected(const LineDatabase &database)
{
    return LineStatus::failed(
        LineFault::Unreachable,
        QStringLiteral("the line's database (%1): not connected").arg(database.where()));
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
    const LineStatus status = QueryRun::exchange(
        database,
        [&statement](pg_conn *connection) {
            return PQsendPrepare(connection, statement.name.constData(), statement.sql.constData(),
                                 0, nullptr);
        },
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
        return notConnected(database);
    const std::vector<const char *> values = valuesOf(parameters);
    return QueryRun::exchange(
        database,
        [&](pg_conn *connection) {
            return parameters.size() == 0
                       ? PQsendQuery(connection, sql)
                       : PQsendQueryParams(connection, sql, int(values.size()), nullptr,
                                           values.data(), nullptr, nullptr, 0);
        },
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
        return notConnected(database);
    if (!statement->preparable)
        return runQuery(database, statement->sql.constData(), parameters, result);
    LineStatus status = prepare(database, *statement);
    if (!status.ok())
        return status;
    const std::vector<const char *> values = valuesOf(parameters);
    return QueryRun::exchange(
        database,
        [&](pg_conn *connection) {
            return PQsendQueryPrepared(connection, statement->name.constData(), int(values.size()),
                                       values.data(), nullptr, nullptr, 0);
        },
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
