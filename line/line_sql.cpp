#include "line/line_sql.h"
#include "line/line_sql_files.h"

#include <QHash>
#include <QList>
#include <QRegularExpression>

#include <cstring>

namespace {

constexpr int kMigrationCount = int(sizeof kMigrations / sizeof *kMigrations);

bool preparable(const QByteArray &sql)
{
    static const QRegularExpression first(
        QStringLiteral("^\\s*(SELECT|INSERT|UPDATE|DELETE|WITH)\\b"),
        QRegularExpression::CaseInsensitiveOption);
    return first.match(QString::fromUtf8(sql)).hasMatch();
}

// queries.sql cut at each "-- name: N" line; a statement runs until the
// next name, comments and blank lines around it dropped.
QHash<QByteArray, LineStatement> parseStatements(const QByteArray &file)
{
    QHash<QByteArray, LineStatement> statements;
    LineStatement *current = nullptr;
    for (const QByteArray &line : file.split('\n')) {
        if (line.startsWith("-- name:")) {
            const QByteArray name = line.mid(8).trimmed();
            current = &statements[name];
            current->name = name;
        } else if (current && !line.trimmed().startsWith("--")) {
            current->sql += line + '\n';
        }
    }
    for (LineStatement &statement : statements) {
        statement.sql = statement.sql.trimmed();
        statement.preparable = preparable(statement.sql);
    }
    return statements;
}

} // namespace

const LineMigration *lineMigrations(int &count)
{
    count = kMigrationCount;
    return kMigrations;
}

int lineSchemaVersion()
{
    return kMigrations[kMigrationCount - 1].version;
}

int stationsFromOf(int version)
{
    int from = 1;
    for (const LineMigration &migration : kMigrations) {
        if (migration.version <= version)
            from = qMax(from, migration.breaksOlderThan);
    }
    return from;
}

QByteArray lineScript(const char *file)
{
    for (const LineScript &script : kScripts) {
        if (std::strcmp(script.file, file) == 0)
            return QByteArray(script.sql);
    }
    return QByteArray();
}

const LineStatement *lineStatement(const char *name)
{
    static const QHash<QByteArray, LineStatement> statements =
        parseStatements(lineScript("queries.sql"));
    const auto found = statements.constFind(QByteArray(name));
    return found == statements.constEnd() ? nullptr : &found.value();
}
