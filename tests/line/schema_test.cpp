// The line's migrations as a contract: a landed migration never changes,
// and every way to the latest version (a fresh line init, or an upgrade
// from a database any earlier version made) ends in the schema that
// line/sql/schema.sql writes out.
#include "line/line_database.h"
#include "line/line_query.h"
#include "line/line_sql.h"

#include <QCryptographicHash>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <unistd.h>

namespace {

// The SHA-256 of each migration as it landed. A migration is never edited
// once it is here: a change to the schema is a new migration.
const char *const kLanded[][2] = {
    {"0001_batches_rows_leases.sql",
     "19246cfccff4aaeab2ab90e516db0f3a99bf61aeb5e881a12d38fb2b3b001f95"},
    {"0002_row_identities.sql", "f0020509139232e2e1c59c3c3d158198f35fc9527b2d28e09e850f9c68156274"},
    {"0003_claim_by_index_and_written_rows.sql",
     "dee0cfcfb1bbd705da0c465169eb3add751052820513eda2f21d811c9def8aa9"},
    {"0004_station_runs.sql", "aa5da12aa4155a5393b89bf2792690e7e61f5700d32fda879ea732d4b84e925c"},
    {"0005_rows_kept_for_their_units.sql",
     "07406d3e50c6bd3415350839026317d0f49542dc020011b0ec348faf6eb0b224"},
    {"0006_yield_and_causes.sql",
     "4e23aae77efa8879b66c118e9aeb7725f05e0a6818e0ebc8779a55255e4effe8"},
};

constexpr int kPatienceMs = 60000;

QByteArray run(const QString &program, const QStringList &arguments, int *exitCode = nullptr)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process.start(program, arguments);
    if (!process.waitForFinished(kPatienceMs))
        process.kill();
    process.waitForFinished();
    if (exitCode)
        *exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    return process.readAllStandardOutput();
}

// The schema as scripts/line-schema writes it.
QByteArray dumpOf(const QString &database)
{
    return run(QStringLiteral(SOURCE_DIR "/scripts/line-schema"), {"--print", database});
}

// The migrations up to `version`, and the version in line_schema, as that
// version's line init left them.
void buildUpTo(LineDatabase &database, int version)
{
    int count = 0;
    const LineMigration *migrations = lineMigrations(count);
    if (version > 0)
        QVERIFY(runQuery(database, "SET search_path = public, pg_temp; "
                                   "CREATE TABLE line_schema (version integer NOT NULL)")
                    .ok());
    for (int i = 0; i < version; ++i) {
        const LineStatus status = runQuery(database, migrations[i].sql);
        QVERIFY2(status.ok(), qPrintable(status.message));
    }
    if (version > 0)
        QVERIFY(runQuery(database, "INSERT INTO line_schema VALUES ($1::integer)",
                         {QByteArray::number(version)})
                    .ok());
}

} // namespace

class SchemaTest : public QObject
{
    Q_OBJECT

private slots:
    void migrationsAreFrozen();
    void everyWayEndsInTheSchema_data();
    void everyWayEndsInTheSchema();
    void cleanupTestCase();

private:
    QStringList made_; // databases to drop
};

void SchemaTest::migrationsAreFrozen()
{
    int count = 0;
    const LineMigration *migrations = lineMigrations(count);
    QVERIFY(count >= int(sizeof kLanded / sizeof *kLanded));
    for (int i = 0; i < count; ++i) {
        const QByteArray number = QByteArray(migrations[i].file).left(4);
        QVERIFY2(i < int(sizeof kLanded / sizeof *kLanded),
                 qPrintable("migration " + number + " has no checksum here: add it as it lands"));
        QCOMPARE(QByteArray(migrations[i].file), QByteArray(kLanded[i][0]));
        const QByteArray sha =
            QCryptographicHash::hash(migrations[i].sql, QCryptographicHash::Sha256).toHex();
        QVERIFY2(sha == kLanded[i][1],
                 qPrintable("migration " + number +
                            " was changed after it landed: add a new one instead"));
    }
}

// From every version's database, as that version's line init left it: the
// migrations up to it, and its number in line_schema.
void SchemaTest::everyWayEndsInTheSchema_data()
{
    QTest::addColumn<int>("from");
    QTest::addColumn<QString>("script"); // what made the database instead of the migrations
    int count = 0;
    lineMigrations(count);
    QTest::newRow("a fresh line init") << 0 << QString();
    for (int version = 1; version <= count; ++version)
        QTest::addRow("upgraded from version %d", version) << version << QString();
    QTest::newRow("upgraded from the first script of version 3")
        << 3 << QStringLiteral(SOURCE_DIR "/tests/line/data/first_version_3.sql");
}

void SchemaTest::everyWayEndsInTheSchema()
{
    QFETCH(int, from);
    QFETCH(QString, script);
    if (qEnvironmentVariableIsEmpty("PGHOST") && qEnvironmentVariableIsEmpty("PGPORT") &&
        qEnvironmentVariableIsEmpty("PGSERVICE") && qEnvironmentVariableIsEmpty("PGDATABASE"))
        QFAIL("no PostgreSQL server: run under pg_virtualenv, as scripts/test does");
    const QString name = QStringLiteral("kestro_schema_%1_%2").arg(::getpid()).arg(made_.size());
    LineDatabase server, database;
    QVERIFY(server.open(QString()).ok());
    QVERIFY(runQuery(server, ("CREATE DATABASE " + name).toUtf8().constData()).ok());
    made_ << name;
    QVERIFY(database.open("dbname=" + name).ok());
    if (!script.isEmpty()) {
        QFile made(script);
        QVERIFY(made.open(QIODevice::ReadOnly));
        const LineStatus status = runQuery(database, made.readAll().constData());
        QVERIFY2(status.ok(), qPrintable(status.message));
    } else {
        buildUpTo(database, from);
    }
    int exitCode = -1;
    run(QStringLiteral(KESTROCTL_PATH), {"line", "init", "--db", "dbname=" + name}, &exitCode);
    QCOMPARE(exitCode, 0);
    QFile committed(QStringLiteral(SOURCE_DIR "/line/sql/schema.sql"));
    QVERIFY(committed.open(QIODevice::ReadOnly));
    const QByteArray expected = committed.readAll(), dumped = dumpOf(name);
    if (dumped != expected) {
        QTemporaryDir dir;
        QFile file(dir.filePath("dumped.sql"));
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(dumped) == dumped.size());
        file.close();
        QFAIL(run("diff", {"-u", committed.fileName(), file.fileName()}).left(4000).constData());
    }
}

void SchemaTest::cleanupTestCase()
{
    LineDatabase server;
    if (!server.open(QString()).ok())
        return;
    for (const QString &name : made_)
        runQuery(server,
                 ("DROP DATABASE IF EXISTS " + name + " WITH (FORCE)").toUtf8().constData());
}

QTEST_GUILESS_MAIN(SchemaTest)
#include "schema_test.moc"
