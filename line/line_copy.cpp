#include "line/line_copy.h"
#include "line/line_query.h"
#include "line/line_sql.h"

#include <libpq-fe.h>

#include <memory>

namespace {

// Rows go out a buffer at a time: large enough that a send is worth its
// call, small enough that a batch is never held whole a second time.
constexpr int kBufferBytes = 256 * 1024;

// COPY's text format writes a backslash before its own specials: the tab
// between fields, the newline after a row, and the backslash itself.
const char *escapeOf(char c)
{
    switch (c) {
    case '\\': return "\\\\";
    case '\t': return "\\t";
    case '\n': return "\\n";
    case '\r': return "\\r";
    default: return nullptr;
    }
}

void appendField(QByteArray &buffer, const QByteArray &field)
{
    if (field.isNull()) {
        buffer += "\\N";
        return;
    }
    int plain = 0; // where the run of characters that need no escape began
    for (int at = 0; at < field.size(); ++at) {
        if (const char *escape = escapeOf(field.at(at))) {
            buffer.append(field.constData() + plain, at - plain).append(escape);
            plain = at + 1;
        }
    }
    buffer.append(field.constData() + plain, field.size() - plain);
}

} // namespace

LineCopy::~LineCopy()
{
    if (!copying_)
        return;
    PGconn *connection = database_.connection();
    PQputCopyEnd(connection, "abandoned");
    while (PGresult *result = PQgetResult(connection))
        PQclear(result);
}

LineStatus LineCopy::failure(const char *state, const QString &reason)
{
    return LineStatus::failed(
        faultOfAnswer(database_.connection(), state),
        QStringLiteral("the line's database (%1): %2").arg(database_.where(), reason.simplified()));
}

LineStatus LineCopy::begin(const char *name)
{
    const LineStatement *statement = lineStatement(name);
    Q_ASSERT_X(statement, "LineCopy", name);
    if (!statement || !database_.connection())
        return failure(nullptr, QStringLiteral("not connected"));
    std::unique_ptr<PGresult, ResultFree> result(
        PQexec(database_.connection(), statement->sql.constData()));
    if (PQresultStatus(result.get()) != PGRES_COPY_IN)
        return failure(PQresultErrorField(result.get(), PG_DIAG_SQLSTATE),
                       QString::fromUtf8(PQresultErrorMessage(result.get())));
    copying_ = true;
    sendFailed_ = false;
    buffer_.reserve(2 * kBufferBytes); // reserved, it stays when emptied
    return {};
}

void LineCopy::addRow(std::initializer_list<QByteArray> fields)
{
    if (!copying_ || sendFailed_)
        return;
    bool first = true;
    for (const QByteArray &field : fields) {
        if (!first)
            buffer_ += '\t';
        first = false;
        appendField(buffer_, field);
    }
    buffer_ += '\n';
    if (buffer_.size() >= kBufferBytes)
        send();
}

void LineCopy::send()
{
    sendFailed_ = sendFailed_ ||
                  PQputCopyData(database_.connection(), buffer_.constData(), buffer_.size()) != 1;
    buffer_.resize(0);
}

LineStatus LineCopy::end()
{
    if (!copying_)
        return failure(nullptr, QStringLiteral("no copy under way"));
    copying_ = false;
    PGconn *connection = database_.connection();
    // A row that did not go out takes the whole copy with it.
    if (!buffer_.isEmpty())
        send();
    if (PQputCopyEnd(connection, sendFailed_ ? "not every row was sent" : nullptr) != 1)
        return failure(nullptr, QString::fromUtf8(PQerrorMessage(connection)));
    std::unique_ptr<PGresult, ResultFree> result(PQgetResult(connection));
    while (PGresult *more = PQgetResult(connection))
        PQclear(more);
    if (PQresultStatus(result.get()) == PGRES_COMMAND_OK)
        return {};
    return failure(PQresultErrorField(result.get(), PG_DIAG_SQLSTATE),
                   QString::fromUtf8(result
                                         ? PQresultErrorField(result.get(), PG_DIAG_MESSAGE_PRIMARY)
                                         : PQerrorMessage(connection)));
}
