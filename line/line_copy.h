// Rows streamed into a table in one COPY ... FROM STDIN, on a database's
// connection and in the caller's transaction: the server parses each row
// as it arrives, while the rest are still being made, instead of one
// statement or one parameter that holds them all.
#ifndef LINE_LINE_COPY_H
#define LINE_LINE_COPY_H

#include "line/line_database.h"

#include <QByteArray>

#include <initializer_list>

class LineCopy
{
public:
    explicit LineCopy(LineDatabase &database) : database_(database) {}
    // A copy begun and never ended is abandoned: none of its rows is stored.
    ~LineCopy();
    LineCopy(const LineCopy &) = delete;
    LineCopy &operator=(const LineCopy &) = delete;

    // Starts the statement of queries.sql called `name`, a COPY FROM STDIN.
    LineStatus begin(const char *name);
    // One row, its fields in the statement's columns' order, as text; a
    // null QByteArray is SQL NULL. A failure to send shows at end().
    void addRow(std::initializer_list<QByteArray> fields);
    // Sends what is left and answers whether the server stored every row.
    LineStatus end();

private:
    void send();
    LineStatus failure(const char *state, const QString &reason);

    LineDatabase &database_;
    QByteArray buffer_;
    bool copying_ = false;
    bool sendFailed_ = false;
};

#endif // LINE_LINE_COPY_H
