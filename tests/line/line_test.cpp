// The line's database against a real server: kestroctl's line commands, and
// the leases that keep one row on one unit.
#include "line/db_queue.h"
#include "line/line_batch.h"
#include "line/line_leases.h"
#include "line/line_query.h"
#include "line/line_schema.h"
#include "line/line_sql.h"
#include "protocol/config_fields.h"
#include "tests/line/rows_named.h"
#include "tests/support/devsim_process.h"
#include "tests/support/qtest_support.h"
#include "tests/support/raw_pty.h"

#include <QCryptographicHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>

#include <mutex>
#include <thread>
#include <vector>

#include <signal.h>
#include <unistd.h>

namespace {

constexpr int kRunPatienceMs = 30000;

struct Run {
    int exitCode = -1;
    QString out;
    QString err;
};

Run kestroctl(const QStringList &arguments, const QString &folder = QString())
{
    QProcess process;
    process.setWorkingDirectory(folder);
    process.start(QStringLiteral(KESTROCTL_PATH), arguments);
    if (!process.waitForFinished(kRunPatienceMs))
        process.kill();
    process.waitForFinished();
    Run run;
    if (process.exitStatus() == QProcess::NormalExit)
        run.exitCode = process.exitCode();
    run.out = QString::fromUtf8(process.readAllStandardOutput());
    run.err = QString::fromUtf8(process.readAllStandardError());
    return run;
}

// The schema's definition as pg_dump gives it, to tell whether init changed it.
QByteArray schemaDump(const QString &database)
{
    QProcess dump;
    dump.start(QStringLiteral("pg_dump"), {"--schema-only", "--dbname", database});
    dump.waitForFinished(kRunPatienceMs);
    QByteArray schema;
    for (const QByteArray &line : dump.readAllStandardOutput().split('\n')) {
        if (!line.startsWith("\\restrict") && !line.startsWith("\\unrestrict"))
            schema += line + '\n'; // a key of its own for every dump
    }
    return dump.exitCode() == 0 ? schema : QByteArray("pg_dump failed");
}

// A run of `station` on `batch`, its fixtures fix1 to fix4, its earlier
// runs' rows given back; an empty token if it could not start.
LineRun runOf(LineDatabase &database, const QString &batch, const QString &station,
              double leaseSeconds = 30)
{
    LineRun run;
    const StationStart start{batch,        station, "host-t", 1, {"fix1", "fix2", "fix3", "fix4"},
                             leaseSeconds, 3};
    if (!startStation(database, start, run).ok() || !stationReady(database, run).ok())
        run.token.clear();
    return run;
}

// Claims a row for the lease's fixture; its number, or 0 if none was free.
int claim(LineDatabase &database, const LineRun &run, LineLease &lease)
{
    bool claimed = false, passed = false;
    LineRow row;
    const LineStatus status = claimRow(database, run, lease, 0, claimed, passed, row);
    return status.ok() && claimed ? row.number : (status.ok() ? 0 : -1);
}

bool record(LineDatabase &database, const LineRun &run, const LineLease &lease, bool passed)
{
    const QByteArray line =
        QStringLiteral(R"({"row":%1,"result":"%2","port":"%3"})")
            .arg(lease.row)
            .arg(QLatin1String(passed ? "passed" : "failed"), run.fixtures.value(lease.fixture - 1))
            .toUtf8();
    bool settled = false;
    const LineStatus status =
        recordUnit(database, run, lease, {passed, passed ? QString() : "write", {}, line}, settled);
    return status.ok() && settled;
}

BatchProgress batchProgressOf(LineDatabase &database, const QString &batch)
{
    QVector<BatchProgress> batches;
    return batchProgress(database, batch, batches).ok() ? batches.value(0) : BatchProgress();
}

// pg_virtualenv's cluster that serves PGPORT, as "VERSION NAME"; empty if
// there is none.
QString clusterName()
{
    QProcess list;
    list.start(QStringLiteral("pg_lsclusters"), {"-h"});
    list.waitForFinished(kRunPatienceMs);
    const QString port = qEnvironmentVariable("PGPORT", "5432");
    for (const QString &line : QString::fromUtf8(list.readAllStandardOutput()).split('\n')) {
        const QStringList fields = line.simplified().split(' ');
        if (fields.size() > 2 && fields.at(2) == port)
            return fields.at(0) + ' ' + fields.at(1);
    }
    return QString();
}

// Stops the server at once (its sessions cut), or starts it again.
bool serverIs(const QString &cluster, const char *action)
{
    QStringList arguments = cluster.split(' ') << QString::fromLatin1(action);
    if (qstrcmp(action, "stop") == 0)
        arguments << "-m"
                  << "fast";
    return QProcess::execute(QStringLiteral("pg_ctlcluster"), arguments) == 0;
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// The host name a simulator's state file holds; empty if none.
QString hostnameIn(const QString &state)
{
    return QJsonDocument::fromJson(readFile(state)).object().value("hostname").toString();
}

// Starts a stopped server again however the test ends, for those after it.
struct ServerBack {
    QString cluster;
    bool stopped = false;
    ~ServerBack()
    {
        if (stopped)
            serverIs(cluster, "start");
    }
};

} // namespace

class LineTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void commands_data();
    void commands();
    void anUpgradeKeepsRolesAndGivesIdentities();
    void leasesFenceEveryResult();
    void concurrentClaimersNeverShareARow();
    void databaseQueueServesStations();
    void stationsShareABatch();
    void aKilledStationsRowPassesElsewhere();
    void aStationThatLostItsLeaseStops_data();
    void aStationThatLostItsLeaseStops();
    void aResultOutlivesTheDatabase();
    void aLostCommitIsMarked();
    void aPulledUnitKeepsItsRowOnTheLine();
    void aKeptRowIsReleasedByHand();
    void aSupervisorSeesYieldsAndCauses();

private:
    bool open(LineDatabase &database);
    void sql(const QByteArray &statement);
    qint64 leasedOf(const QString &batch);

    QTemporaryDir dir_;
    QString name_;     // the test's own database
    QString database_; // its connection string
    QString role_;
};

bool LineTest::open(LineDatabase &database)
{
    const LineStatus status = database.open(database_);
    if (!status.ok())
        qWarning("%s", qPrintable(status.message));
    return status.ok();
}

void LineTest::sql(const QByteArray &statement)
{
    LineDatabase database;
    QVERIFY(open(database));
    const LineStatus status = runQuery(database, statement.constData());
    QVERIFY2(status.ok(), qPrintable(status.message));
}

qint64 LineTest::leasedOf(const QString &batch)
{
    LineDatabase database;
    return open(database) ? batchProgressOf(database, batch).leased : -1;
}

void LineTest::initTestCase()
{
    QVERIFY(dir_.isValid());
    const QByteArray environment =
        qgetenv("PGHOST") + qgetenv("PGPORT") + qgetenv("PGSERVICE") + qgetenv("PGDATABASE");
    if (environment.isEmpty())
        QFAIL("no PostgreSQL server for the line's tests: run them under pg_virtualenv, as "
              "scripts/test does (PGHOST, PGPORT, PGSERVICE and PGDATABASE are all unset)");
    name_ = QStringLiteral("kestro_line_%1").arg(::getpid());
    role_ = name_ + QStringLiteral("_station");
    LineDatabase server;
    const LineStatus status = server.open(QString());
    QVERIFY2(status.ok(), qPrintable(status.message));
    QVERIFY(runQuery(server, ("CREATE DATABASE " + name_).toUtf8().constData()).ok());
    QVERIFY(
        runQuery(server,
                 ("CREATE ROLE " + role_ + " LOGIN PASSWORD 'pw-never-shown'").toUtf8().constData())
            .ok());
    QVERIFY(runQuery(server, ("CREATE ROLE " + role_ + "_viewer").toUtf8().constData()).ok());
    database_ = QStringLiteral("dbname=") + name_;
    LineDatabase database;
    QVERIFY(open(database) && initLineSchema(database, role_).ok());
    writeFile(dir_.filePath("units.csv"), "unit,hostname,certificate\nB-1,unit-1,a.pem\n"
                                          "B-2,unit-2,a.pem\nB-3,unit-3,\n");
    writeFile(dir_.filePath("bad.csv"), "unit,hostname,smtp_server,smtp_port\n"
                                        "B-4,unit-4,mail,25\nB-5,unit-5,mail,26\n");
    writeFile(dir_.filePath("shared.csv"), "unit,hostname\nS-1,new-1\nS-2,UNIT-2\n");
    writeFile(dir_.filePath("a.pem"), QByteArray(100, 'a'));
    writeFile(dir_.filePath("site.pem"), QByteArray(50, 's'));
}

void LineTest::cleanupTestCase()
{
    LineDatabase server;
    if (name_.isEmpty() || !server.open(QString()).ok())
        return;
    for (const QString &database : {name_, name_ + QStringLiteral("_v1")})
        runQuery(server,
                 ("DROP DATABASE IF EXISTS " + database + " WITH (FORCE)").toUtf8().constData());
    for (const QString &role : {role_, role_ + QStringLiteral("_viewer")})
        runQuery(server, ("DROP ROLE IF EXISTS " + role).toUtf8().constData());
}

void LineTest::commands_data()
{
    QTest::addColumn<QByteArray>("before");     // SQL run first
    QTest::addColumn<QStringList>("arguments"); // "@/" the test's folder, "@db" its database,
                                                // "@role" the station's role, "@as-role" its login
    QTest::addColumn<int>("exitCode");
    // What standard output and standard error must contain; after a leading
    // '!', what they must not.
    QTest::addColumn<QString>("out");
    QTest::addColumn<QStringList>("err");
    QTest::addColumn<bool>("schemaKept"); // the schema is the same after the run

    const QByteArray none;
    const QStringList db{"--db", "@db"};
    const QStringList import{"line", "import", "@/units.csv", "--batch", "B1"};
    const int latest = lineSchemaVersion();
    const QString version = QStringLiteral("has schema version %1").arg(latest);
    QTest::newRow("init") << none << QStringList{"line", "init"} + db << 0 << version
                          << QStringList() << false;
    QTest::newRow("init again changes nothing")
        << none << QStringList{"line", "init"} + db << 0 << version << QStringList() << true;
    QTest::newRow("5: a role that does not exist")
        << none << QStringList{"line", "init", "--station-role", "nobody_here"} + db << 5 << ""
        << QStringList{"role \"nobody_here\" does not exist"} << true;
    QTest::newRow("the station's role")
        << none << QStringList{"line", "init", "--station-role", "@role"} + db << 0
        << "may claim, renew and record" << QStringList() << false;
    QTest::newRow("import") << none << import + QStringList{"--certificate", "@/site.pem"} + db << 0
                            << "batch B1: 3 rows imported" << QStringList() << false;
    QTest::newRow("5: the batch exists")
        << none << import + db << 5 << "!imported"
        << QStringList{"batch B1 exists; nothing imported"} << true;
    QTest::newRow("5: a bad row: nothing imported")
        << none << QStringList{"line", "import", "@/bad.csv", "--batch", "B2"} + db << 5 << ""
        << QStringList{"row 2: SMTP Port", "nothing imported"} << true;
    QTest::newRow("5: nothing of it stored")
        << none << QStringList{"line", "status", "--batch", "B2"} + db << 5 << ""
        << QStringList{"batch B2 does not exist"} << true;
    QTest::newRow("2: import needs a batch")
        << none << QStringList{"line", "import", "@/units.csv"} + db << 2 << ""
        << QStringList{"line import needs --batch NAME"} << true;
    QTest::newRow("2: a lease for a manifest")
        << none << QStringList{"-p", "/dev/null", "station", "@/units.csv", "--lease", "5"} << 2
        << "" << QStringList{"--db, --station and --lease need --batch NAME"} << true;
    QTest::newRow("9: one who does not own the schema cannot grant")
        << none << QStringList{"line", "init", "--station-role", "@role", "--db", "@as-role"} << 9
        << "!may claim" << QStringList{"permission denied for table line_schema"} << true;
    QTest::newRow("9: nor with rights of its own: what it did not grant is named")
        << QByteArray("GRANT ALL ON ALL TABLES IN SCHEMA public TO @role; "
                      "GRANT ALL ON ALL FUNCTIONS IN SCHEMA public TO @role")
        << QStringList{"line", "init", "--station-role", "@role_viewer", "--db", "@as-role"} << 9
        << "!may claim"
        << QStringList{"role @role_viewer was not granted EXECUTE on line_schema_version(), "
                       "EXECUTE on line_station_start(",
                       "line init must be run by the role that owns the line's schema"}
        << true;
    QTest::newRow("the dashboard's role, and the station's as it was")
        << QByteArray("REVOKE ALL ON ALL TABLES IN SCHEMA public FROM @role; "
                      "REVOKE ALL ON ALL FUNCTIONS IN SCHEMA public FROM @role")
        << QStringList{"line", "init", "--station-role", "@role", "--viewer-role", "@role_viewer"} +
               db
        << 0 << "may read the views line_progress, station_rates, fixture_yield and failure_causes"
        << QStringList() << false;
    QTest::newRow("9: the station's role cannot import")
        << none << QStringList{"line", "import", "@/units.csv", "--batch", "B3", "--db", "@as-role"}
        << 9 << "" << QStringList{"permission denied for table line_batches", "!pw-never-shown"}
        << true;
    QTest::newRow("9: a wrong password is never shown")
        << none
        << QStringList{"line", "status", "--db", "postgresql://@role:wrong-pw-xyz@localhost/@name"}
        << 9 << "" << QStringList{"password authentication failed", "!wrong-pw-xyz"} << true;
    QTest::newRow("2: a connection string libpq cannot parse")
        << none << QStringList{"line", "status", "--db", "password=secret-xyz nonsense"} << 2 << ""
        << QStringList{"--db: not a connection string", "!secret-xyz"} << true;
    QTest::newRow("9: no server") << none
                                  << QStringList{"line", "status", "--db",
                                                 "host=127.0.0.1 port=1 password=secret-xyz"}
                                  << 9 << ""
                                  << QStringList{"(host 127.0.0.1, database", "!secret-xyz"}
                                  << true;
    QTest::newRow("5: a host name an open batch holds, of another case")
        << none << QStringList{"line", "import", "@/shared.csv", "--batch", "B4"} + db << 5 << ""
        << QStringList{"row 2: hostname UNIT-2 is already in batch B1 (row 2)\n",
                       "!row 1:", "host names that an open batch holds; nothing imported"}
        << true;
    QTest::newRow("2: a batch's name of 201 characters")
        << none << QStringList{"line", "import", "@/units.csv", "--batch", QString(201, 'n')} + db
        << 2 << "" << QStringList{"--batch: a name of at most 200 characters (this one has 201)"}
        << true;
    QTest::newRow("a batch's name is shown, never played to the terminal; its host names shared")
        << none
        << QStringList{"line",    "import",   "@/units.csv",
                       "--batch", "E\x1b[2J", "--allow-shared-identities"} +
               db
        << 0 << "batch E\\x1b[2J: 3 rows imported" << QStringList() << false;
    QTest::newRow("and in its status")
        << none << QStringList{"line", "status", "--batch", "E\x1b[2J"} + db << 0
        << "batch E\\x1b[2J: 3 rows: 3 waiting" << QStringList() << true;
    QTest::newRow("status as JSON")
        << none << QStringList{"line", "status", "--json"} + db << 0
        << R"({"batch":"B1","rows":3,"waiting":3,"leased":0,"passed":0,"set_aside":0,)"
           R"("failed_units":0,"units_per_hour":0,"eta_seconds":null,"first_pass_yield":null,)"
           R"("causes":[],"kept":[],"stations":[]})"
        << QStringList() << true;
    QTest::newRow("a station's journal named after its batch stays in the folder")
        << QByteArray(
               "INSERT INTO line_batches (name) VALUES ('../J\x1b');"
               "INSERT INTO line_rows (batch_id, row_no, unit, row_values, state) "
               "SELECT id, 1, 'J-1', '{}', 'passed' FROM line_batches WHERE name = '../J\x1b'")
        << QStringList{"-p", "/dev/null", "station", "--batch", "../J\x1b", "--station", "st"} + db
        << 0 << "all 1 rows of batch ../J\\x1b passed already (.._J_.st.journal)" << QStringList()
        << true;
    // A station runs on a newer schema until a migration breaks stations of
    // its version: here it gets as far as the batch.
    const QStringList station{"-p", "/dev/null", "station", "--batch", "NO-SUCH", "--db", "@db"};
    const QByteArray newer = QByteArray::number(latest + 1);
    QTest::newRow("a newer schema that still serves this station")
        << "UPDATE line_schema SET version = " + newer +
               ", stations_from = " + QByteArray::number(latest)
        << station << 5 << "" << QStringList{"batch NO-SUCH does not exist; nothing sent"} << true;
    QTest::newRow("9: a newer schema that breaks it")
        << "UPDATE line_schema SET stations_from = " + newer << station << 9 << ""
        << QStringList{QStringLiteral("has schema version %1, which stations older than version "
                                      "%1 cannot work on; this kestroctl knows version %2")
                           .arg(latest + 1)
                           .arg(latest)}
        << true;
    QTest::newRow("9: a schema from a later version")
        << QByteArray("UPDATE line_schema SET version = 99") << QStringList{"line", "init"} + db
        << 9 << ""
        << QStringList{QStringLiteral("has schema version 99; this kestroctl knows version %1")
                           .arg(latest)}
        << true;
    QTest::newRow("init on the version it knows")
        << QByteArray("UPDATE line_schema SET version = 1") << QStringList{"line", "init"} + db << 0
        << "" << QStringList() << true;
}

void LineTest::commands()
{
    QFETCH(QByteArray, before);
    QFETCH(QStringList, arguments);
    QFETCH(int, exitCode);
    QFETCH(QString, out);
    QFETCH(QStringList, err);
    QFETCH(bool, schemaKept);

    if (!before.isEmpty())
        sql(before.replace("@role", role_.toUtf8()));
    const QString asRole =
        QStringLiteral("dbname=%1 user=%2 password=pw-never-shown").arg(name_, role_);
    for (QString &argument : arguments) {
        argument.replace(QLatin1String("@/"), dir_.path() + QLatin1Char('/'));
        argument.replace(QLatin1String("@db"), database_);
        argument.replace(QLatin1String("@as-role"), asRole);
        argument.replace(QLatin1String("@role"), role_);
        argument.replace(QLatin1String("@name"), name_);
    }
    const QByteArray schema = schemaDump(name_);
    const Run run = kestroctl(arguments, dir_.path());
    QVERIFY2(run.exitCode == exitCode, qPrintable(run.err));
    QVERIFY2(out.startsWith('!') ? !run.out.contains(out.mid(1)) : run.out.contains(out),
             qPrintable(run.out));
    for (QString text : err) {
        text.replace(QLatin1String("@role"), role_);
        QVERIFY2(text.startsWith('!') ? !run.err.contains(text.mid(1)) : run.err.contains(text),
                 qPrintable(run.err));
    }
    const QString password = QString::fromLocal8Bit(qgetenv("PGPASSWORD"));
    QVERIFY(password.isEmpty() || !(run.out + run.err).contains(password));
    if (schemaKept)
        QCOMPARE(schemaDump(name_), schema);
}

// A database of version 1, the station's role granted what version 1 gave
// it, with rows imported then: the upgrade keeps the role's right to claim
// and record through the functions it replaces, and gives the old rows the
// identity import gives (none to rows whose values are all shared); run
// again, it changes nothing.
void LineTest::anUpgradeKeepsRolesAndGivesIdentities()
{
    const QString old = name_ + QStringLiteral("_v1");
    LineDatabase server, database, station;
    QVERIFY(server.open(QString()).ok() &&
            runQuery(server, ("CREATE DATABASE " + old).toUtf8().constData()).ok());
    int migrations = 0;
    const QByteArray v1 =
        "SET search_path = public, pg_temp;" + QByteArray(lineMigrations(migrations)[0].sql) + R"(
        CREATE TABLE line_schema (version integer NOT NULL); INSERT INTO line_schema VALUES (1);
        GRANT USAGE ON SCHEMA public TO @R; GRANT SELECT ON line_schema, line_batches, line_rows,
            line_results, line_stations, line_progress, station_rates TO @R;
        GRANT EXECUTE ON FUNCTION line_claim(text, text, text, double precision),
            line_renew(text, integer, bigint, text, text, double precision),
            line_record(text, integer, bigint, text, text, boolean, text, boolean, json),
            line_station_start(text, text, integer, integer), line_station_seen(text) TO @R;
        INSERT INTO line_batches (name) VALUES ('V'), ('W');
        INSERT INTO line_rows (batch_id, row_no, unit, row_values) VALUES
            (1, 1, 'V-1', '{"hostname": "unit-a", "ssid": "plant"}'),
            (1, 2, 'V-2', '{"hostname": "unit-b", "ssid": "plant"}'),
            (1, 3, 'V-3', '{"hostname": "unit-c", "ssid": "lab"}'),
            (2, 1, 'W-1', '{"ssid": "plant"}'), (2, 2, 'W-2', '{"ssid": "plant"}');)";
    QVERIFY(database.open("dbname=" + old).ok() &&
            runQuery(database, QByteArray(v1).replace("@R", role_.toUtf8())).ok());

    const QStringList init{"line", "init", "--db", "dbname=" + old};
    const Run upgraded = kestroctl(init);
    QCOMPARE(upgraded.exitCode, 0);
    QVERIFY2(upgraded.out.contains("batch W: 2 rows have no identity; their units are known by "
                                   "presence only"),
             qPrintable(upgraded.out));
    QueryResult identities; // as import gives them
    QVERIFY(runQuery(database,
                     "SELECT string_agg(coalesce(identity::text, '-'), ' ' ORDER BY batch_id, "
                     "row_no) FROM line_rows",
                     {}, &identities)
                .ok());
    QCOMPARE(identities.text(0, 0), QStringLiteral(R"({"hostname": "unit-a"} {"hostname": )"
                                                   R"("unit-b"} {"ssid": "lab", "hostname": )"
                                                   R"("unit-c"} - -)"));
    const QByteArray schema = schemaDump(old);
    const Run twice = kestroctl(init);
    QVERIFY2(twice.exitCode == 0 && !twice.out.contains("identity"), qPrintable(twice.out));
    QCOMPARE(schemaDump(old), schema);

    // The role logs in and works the batch as it did before the upgrade.
    QVERIFY(station.open("dbname=" + old + " user=" + role_ + " password=pw-never-shown").ok());
    const LineRun run = runOf(station, "V", "st-v");
    LineLease lease{1};
    QCOMPARE(claim(station, run, lease), 1);
    QVERIFY(record(station, run, lease, true));
}

// Two stations on one batch: claims in row order, a lease that runs out
// goes to the next claimer, the late holder can neither renew nor settle
// (its result is kept), a station's name is held once, and one started
// again gives its leases back.
void LineTest::leasesFenceEveryResult()
{
    LineDatabase a, b, s, again;
    QVERIFY(open(a) && open(b) && open(s) && open(again));
    QVERIFY(importBatch(a, "F", rowsNamed(4)).ok());
    LineRun runA, runB, taken;
    QVERIFY(startStation(a, {"F", "st-a", "host-a", 11, {"fix1", "fix2"}, 30, 3}, runA).ok());
    QVERIFY(startStation(b, {"F", "st-b", "host-b", 22, {"fix1", "fix2"}, 30, 3}, runB).ok());
    const LineRun runS = runOf(s, "F", "st-s", 1); // its leases run out at once
    const StationStart twin{"F", "st-a", "host-c", 33, {"fix1"}, 30, 3};
    const LineStatus refused = startStation(again, twin, taken);
    QCOMPARE(int(refused.fault), int(LineFault::StationRunning));
    QCOMPARE(refused.message,
             QStringLiteral("station st-a is already running (host host-a, pid 11)"));

    LineLease a1{1}, b1{1}, b2{2}, s1{1};
    QCOMPARE(claim(a, runA, a1), 1);
    QCOMPARE(claim(b, runB, b1), 2);
    QCOMPARE(claim(s, runS, s1), 3);
    QThread::msleep(1200);
    QCOMPARE(claim(b, runB, b2), 3); // the lease ran out: the row is taken again
    QCOMPARE(b2.generation, s1.generation + 1);
    bool held = true;
    QVERIFY(renewLease(s, runS, s1, held).ok() && !held);
    QVERIFY(!record(s, runS, s1, true)); // late: kept, not settled
    QVERIFY(record(b, runB, b2, true));
    QVERIFY(record(a, runA, a1, false)); // failed: row 1 waits again
    QCOMPARE(claim(a, runA, a1), 1);
    QVERIFY(renewLease(a, runA, a1, held).ok() && held);

    a.close();            // the station dies; its name is free once the server has seen it go
    bool started = false; // QTRY_VERIFY asks once more when it is true
    QTRY_VERIFY(started || (started = startStation(again, twin, taken).ok() &&
                                      stationReady(again, taken).ok()));
    QCOMPARE(claim(b, runB, b1 = LineLease{1}), 1); // given back, not left to expire
    QVERIFY(record(b, runB, b1, true));

    const Run status = kestroctl({"line", "status", "--json", "--batch", "F", "--db", database_});
    const QJsonObject batch = QJsonDocument::fromJson(status.out.toUtf8()).object();
    QCOMPARE(batch.value("passed").toInt(), 2);
    QCOMPARE(batch.value("waiting").toInt(), 1);
    QCOMPARE(batch.value("leased").toInt(), 1); // row 2, st-b's
    QCOMPARE(batch.value("failed_units").toInt(), 1);
    const QJsonArray stations = batch.value("stations").toArray();
    QCOMPARE(stations.size(), 3);
    QCOMPARE(stations.at(0).toObject().keys(),
             (QStringList{"failed", "first_pass_yield", "fixtures", "last_seen", "passed",
                          "station", "tried", "units_per_hour"}));
    QCOMPARE(stations.at(1).toObject().value("passed").toInt(), 2); // st-b
    QCOMPARE(stations.at(2).toObject().value("units_per_hour").toInt(), 6 * 1);

    const Run exported = kestroctl({"line", "export", "--batch", "F", "--db", database_});
    const QStringList lines = exported.out.split('\n', Qt::SkipEmptyParts);
    QCOMPARE(lines.size(), 4);
    QCOMPARE(lines.first(), QStringLiteral(R"({"row":3,"result":"passed","port":"fix1",)"
                                           R"("settled":false,"batch":"F","station":"st-s"})"));
    QVERIFY(lines.last().contains(
        R"("row":1,"result":"passed","port":"fix1","batch":"F","station":"st-b")"));
}

// Claimers on connections of their own, all at once: every row is given to
// exactly one of them.
void LineTest::concurrentClaimersNeverShareARow()
{
    constexpr int kRows = 120;
    constexpr int kClaimers = 8;
    {
        LineDatabase database;
        QVERIFY(open(database));
        QVERIFY(importBatch(database, "C", rowsNamed(kRows)).ok());
    }
    std::mutex mutex;
    QVector<int> claims(kRows + 1, 0);
    std::vector<std::thread> claimers;
    for (int i = 0; i < kClaimers; ++i)
        claimers.emplace_back([&, i] {
            LineDatabase database;
            if (!database.open(database_).ok())
                return;
            const LineRun run = runOf(database, "C", QStringLiteral("st-%1").arg(i));
            LineLease lease{1};
            for (int row;
                 (row = claim(database, run, lease)) > 0 && record(database, run, lease, true);) {
                const std::lock_guard<std::mutex> lock(mutex);
                ++claims[row];
            }
        });
    for (std::thread &claimer : claimers)
        claimer.join();
    QCOMPARE(claims.count(1), kRows);
    LineDatabase database;
    QVector<BatchProgress> progress;
    QVERIFY(open(database) && batchProgress(database, "C", progress).ok());
    QCOMPARE(progress.value(0).passed, qint64(kRows));
}

// The database queue beyond the contract every queue keeps: a station's
// name is held once, and a job whose row was claimed again is no longer
// held, and its pass is kept but not taken for one.
void LineTest::databaseQueueServesStations()
{
    LineDatabase database;
    QVERIFY(open(database) && importBatch(database, "Q", rowsNamed(1)).ok());
    DbQueue queue({"Q", "q-a", 30, false}), twin({"Q", "q-a", 30, false});
    QVERIFY(queue.open(database_, "host-a", 1, {"fix1", "fix2"}).ok());
    QCOMPARE(int(twin.open(database_, "host-a", 3, {"fix1"}).fault),
             int(LineFault::StationRunning));
    UnitJob job;
    QString problem;
    QCOMPARE(queue.claim(
                 "fix1", QStringList(), [] { return false; }, job, problem),
             UnitQueue::Claim::Claimed);
    QVERIFY(queue.stillHolds(job, "fix1", problem));
    sql("UPDATE line_rows SET generation = generation + 1 "
        "FROM line_batches b WHERE b.id = batch_id AND b.name = 'Q'"); // claimed elsewhere
    QVERIFY(!queue.stillHolds(job, "fix1", problem));
    QCOMPARE(problem, QStringLiteral("row 1's lease was lost; the row may be on another unit now"));
    QVERIFY(!queue.complete(job, {"fix1", FailedStep::None, {}, {}, 1.0, {}}, problem));
    QCOMPARE(problem, QStringLiteral("row 1 (U-1) on fix1: passed on the unit but the row went to "
                                     "another unit (lease lost); commission this unit again"));
    QCOMPARE(batchProgressOf(database, "Q").passed, qint64(0));

    // A pass an earlier run journalled alone is recorded, fenced by its
    // claim, before that run's leases are given back; and only once.
    LineLease lease{1};
    sql("UPDATE line_rows SET state = 'waiting' FROM line_batches b "
        "WHERE b.id = batch_id AND b.name = 'Q'");
    {
        LineDatabase earlier; // the earlier run, gone since
        QVERIFY(open(earlier));
        QCOMPARE(claim(earlier, runOf(earlier, "Q", "q-r"), lease), 1);
    }
    const QString journal = dir_.filePath("q-r.journal");
    writeFile(journal, QStringLiteral(R"({"time":"t1","row":1,"unit":"U-1","port":"fix1",)"
                                      R"("result":"passed","batch":"Q","station":"q-r",)"
                                      R"("recorded":false,"generation":%1})"
                                      "\n")
                           .arg(lease.generation)
                           .toUtf8());
    for (int run = 0; run < 2; ++run) {
        DbQueue again({"Q", "q-r", 30, false});
        again.readUnrecorded(journal);
        bool opened = false; // once the earlier queue's session is gone
        QTRY_VERIFY(opened || (opened = again.open(database_, "host-r", 5, {"fix1"}).ok()));
    }
    QCOMPARE(batchProgressOf(database, "Q").passed, qint64(1));
    QCOMPARE(batchProgressOf(database, "Q").failedUnits, qint64(0));
    const Run exported = kestroctl({"line", "export", "--batch", "Q", "--db", database_});
    QCOMPARE(exported.out.count(R"("time":"t1")"), 1);

    // A unit moved to another station's fixture is known there by the
    // identity its row gave it: it takes that row again, and once the row
    // passed, takes none.
    QVERIFY(importBatch(database, "M", rowsNamed(3)).ok());
    DbQueue first({"M", "m-1", 30, false}), second({"M", "m-2", 30, false});
    QVERIFY(first.open(database_, "host-m", 7, {"fix1"}).ok() &&
            second.open(database_, "host-m", 8, {"fix9"}).ok());
    QStringList unit = {QStringLiteral("unit-2")};
    while (unit.size() < ConfigRowCount)
        unit << QString();
    const auto never = [] { return false; };
    QCOMPARE(first.claim("fix1", unit, never, job, problem), UnitQueue::Claim::Claimed);
    QVERIFY(first.complete(job, {"fix1", FailedStep::Verify, {}, {}, 1.0, {}}, problem));
    QCOMPARE(second.claim("fix9", unit, never, job, problem), UnitQueue::Claim::Claimed);
    QCOMPARE(job.row, 2);
    QVERIFY(second.complete(job, {"fix9", FailedStep::None, {}, {}, 1.0, {}}, problem));
    QCOMPARE(first.claim("fix1", unit, never, job, problem), UnitQueue::Claim::AlreadyPassed);
    QCOMPARE(job.row, 2);
}

// A line of three stations, each of two fixtures whose adapters stay while
// their units are swapped, on one batch of twelve rows: every row is passed
// on exactly one unit, as the units themselves hold it, not only as the
// database says. The stations log in as the station's role, and a second
// station of one name is refused.
void LineTest::stationsShareABatch()
{
    constexpr int kStations = 3, kFixtures = 2 * kStations, kRows = 2 * kFixtures;
    QByteArray rows = "unit,hostname\n";
    QStringList hostnames; // the batch's, sorted
    for (int i = 1; i <= kRows; ++i) {
        hostnames << QStringLiteral("unit-%1").arg(i, 3, 10, QLatin1Char('0'));
        rows += QStringLiteral("S-%1,%2\n").arg(i).arg(hostnames.last()).toUtf8();
    }
    writeFile(dir_.filePath("line.csv"), rows);
    QVERIFY(QProcess::execute(KESTROCTL_PATH, {"line", "import", dir_.filePath("line.csv"),
                                               "--batch", "S", "--certificate",
                                               dir_.filePath("site.pem"), "--db", database_}) == 0);
    const QString asRole =
        QStringLiteral("dbname=%1 user=%2 password=pw-never-shown").arg(name_, role_);
    const QStringList common{"station", "--batch", "S", "--db", asRole};
    QStringList ports; // links that appear once the fixtures' simulators start
    for (int i = 0; i < kFixtures; ++i)
        ports << dir_.filePath(QStringLiteral("fix%1").arg(i));
    QProcess stations[kStations];
    for (int s = 0; s < kStations; ++s) {
        stations[s].setWorkingDirectory(dir_.path());
        stations[s].start(KESTROCTL_PATH,
                          QStringList{"-p", ports[2 * s], "-p", ports[2 * s + 1]} + common +
                              QStringList{"--station", QStringLiteral("st-%1").arg(s)});
    }
    QString said;
    QTRY_VERIFY2_WITH_TIMEOUT(
        (said += stations[0].readAllStandardError()).contains("waiting for the next"),
        qPrintable(said), 10000);
    const Run twin =
        kestroctl(QStringList{"-p", "/dev/null"} + common + QStringList{"--station", "st-0"});
    QCOMPARE(twin.exitCode, 5);
    QVERIFY2(twin.err.contains("station st-0 is already running (host "), qPrintable(twin.err));
    // Each fixture's second unit takes the first one's place once that passed,
    // after a silence of a few presence checks: seen as the first unit gone,
    // or, missed under load, as another unit by its host name.
    const auto stateOf = [this](int fixture, char unit) {
        return dir_.filePath(QStringLiteral("u%1-%2.json").arg(fixture).arg(unit));
    };
    std::vector<std::unique_ptr<DevsimProcess>> fixtures;
    for (int i = 0; i < kFixtures; ++i) {
        fixtures.push_back(std::make_unique<DevsimProcess>());
        QVERIFY(fixtures.back()->start({"--link", ports[i], "--swap-gap", "500", "--state",
                                        stateOf(i, 'a'), "--state", stateOf(i, 'b')}));
    }
    QString out[kStations];
    QVector<bool> swapped(kFixtures);
    const auto swapPassedUnits = [&] {
        for (int i = 0; i < kFixtures; ++i) {
            out[i / 2] += stations[i / 2].readAllStandardOutput();
            if (!swapped[i] && out[i / 2].contains(" on " + ports[i] + ": passed in "))
                swapped[i] = ::kill(pid_t(fixtures[i]->process().processId()), SIGUSR1) == 0;
        }
        return !swapped.contains(false);
    };
    QTRY_VERIFY2_WITH_TIMEOUT(swapPassedUnits(), qPrintable(out[0] + out[1] + out[2]),
                              kRunPatienceMs);
    for (QProcess &station : stations) {
        const bool finished = station.waitForFinished(kRunPatienceMs);
        QVERIFY2(finished && station.exitStatus() == QProcess::NormalExit,
                 station.readAllStandardError().constData());
        QCOMPARE(station.exitCode(), 0);
    }
    QStringList held; // by the twelve units
    for (int i = 0; i < kFixtures; ++i)
        held << hostnameIn(stateOf(i, 'a')) << hostnameIn(stateOf(i, 'b'));
    held.sort();
    QCOMPARE(held, hostnames);
    const Run status = kestroctl({"line", "status", "--json", "--batch", "S", "--db", database_});
    const QJsonObject batch = QJsonDocument::fromJson(status.out.toUtf8()).object();
    QCOMPARE(batch.value("passed").toInt(), kRows);
    QCOMPARE(batch.value("failed_units").toInt(), 0);
    const QJsonArray perStation = batch.value("stations").toArray();
    QCOMPARE(perStation.size(), kStations);
    for (const QJsonValue &station : perStation)
        QCOMPARE(station.toObject().value("passed").toInt(), kRows / kStations);
    const Run exported = kestroctl({"line", "export", "--batch", "S", "--db", database_});
    QCOMPARE(exported.out.count('\n'), kRows);
    QCOMPARE(exported.out.count(R"("result":"passed")"), kRows);
    for (int s = 0; s < kStations; ++s)
        QVERIFY(QFile::exists(dir_.filePath(QStringLiteral("S.st-%1.journal").arg(s))));
}

// A station killed while its unit is slow to answer, after the row's values
// went to the unit: once its lease runs out, the row is given to no other
// unit, which would then share its identity, but passes on another station
// when that unit is moved there.
void LineTest::aKilledStationsRowPassesElsewhere()
{
    LineDatabase database;
    QVERIFY(open(database) && importBatch(database, "K", rowsNamed(2)).ok());
    const QString written = dir_.filePath("slow.json");
    DevsimProcess slow, moved;
    QVERIFY(slow.start({"--delay", "1500", "--state", written}));
    const QStringList common{"station", "--batch", "K", "--db", database_, "--lease", "3"};
    QProcess killed;
    killed.setWorkingDirectory(dir_.path());
    killed.start(KESTROCTL_PATH,
                 QStringList{"-p", slow.portPath()} + common + QStringList{"--station", "st-k"});
    QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(written), 10000);
    killed.kill();
    QVERIFY(killed.waitForFinished());
    slow.stop();
    const LineRun early = runOf(database, "K", "st-e"); // its unit, moved at once, waits
    LineLease lease{1};
    bool claimed = true, passed = false;
    LineRow row;
    QVERIFY(claimRow(database, early, lease, 1, claimed, passed, row).ok() && !claimed);
    QTRY_VERIFY_WITH_TIMEOUT(batchProgressOf(database, "K").kept == 1, 10000);
    LineDatabase elsewhere;
    QVERIFY(open(elsewhere));
    const LineRun other = runOf(elsewhere, "K", "st-o");
    QCOMPARE(claim(elsewhere, other, lease), 2); // row 1 is not given to another unit
    QVERIFY(record(elsewhere, other, lease, true));
    {
        DbQueue queue({"K", "st-q", 3, false});
        QStringList fresh;
        while (fresh.size() < ConfigRowCount)
            fresh << QString();
        UnitJob job;
        QString said;
        QVERIFY(queue.open(database_, "host-q", 1, {"fix-q"}).ok());
        QCOMPARE(queue.claim(
                     "fix-q", fresh, [] { return false; }, job, said),
                 UnitQueue::Claim::KeptForOthers);
        QVERIFY2(said.startsWith("row 1 (U-1) is kept for its unit, which had its values on "
                                 "st-k's "),
                 qPrintable(said));
    }
    QVERIFY(moved.start({"--state", written})); // the first unit, on another fixture
    const Run run = kestroctl(QStringList{"-p", moved.portPath()} + common +
                              QStringList{"--station", "st-l", "--journal", dir_.filePath("l")});
    QCOMPARE(run.exitCode, 0);
    QVERIFY2(run.out.contains("row 1 (U-1) on " + moved.portPath() + ": passed"),
             qPrintable(run.out));
    QCOMPARE(batchProgressOf(database, "K").passed, qint64(2));
}

// A row claimed again behind a station's back while its unit is slow to
// answer. Before the certificate (the unit was read before it took the
// row, so its values follow the claim at once): the unit stops there,
// failed at "lease". After: its pass is kept, but the row is not settled, the unit is
// to be commissioned again, and the station goes on.
void LineTest::aStationThatLostItsLeaseStops_data()
{
    QTest::addColumn<bool>("afterWrite");
    QTest::addColumn<QString>("line"); // "@" the unit's port
    QTest::newRow("before the certificate")
        << false
        << "row 1 (U-1) on @: failed at lease: row 1's lease was lost; the row may be on another "
           "unit now";
    QTest::newRow("after the write: a late result")
        << true
        << "row 1 (U-1) on @: passed on the unit but the row went to another unit (lease lost); "
           "commission this unit again";
}

void LineTest::aStationThatLostItsLeaseStops()
{
    QFETCH(bool, afterWrite);
    QFETCH(QString, line);
    const QString batch = afterWrite ? "LW" : "L";
    const QString state = dir_.filePath(batch + ".json");
    LineDatabase database;
    QVector<LineRow> rows = rowsNamed(1);
    if (!afterWrite) {
        rows[0].certificate = QByteArray(100, 'c');
        rows[0].certificateSha256 = QString::fromLatin1(
            QCryptographicHash::hash(rows[0].certificate, QCryptographicHash::Sha256).toHex());
    }
    QVERIFY(open(database) && importBatch(database, batch, rows).ok());
    const QString certificate = dir_.filePath(batch + ".pem");
    DevsimProcess slow;
    QVERIFY(slow.start({"--delay", "1000", "--state", state, "--cert-out", certificate}));
    QProcess station;
    station.setWorkingDirectory(dir_.path());
    station.start(KESTROCTL_PATH, {"-p", slow.portPath(), "station", "--batch", batch, "--db",
                                   database_, "--station", "st-m" + batch});
    QTRY_VERIFY_WITH_TIMEOUT(batchProgressOf(database, batch).leased == 1, 10000);
    if (afterWrite)
        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(state), 10000);
    sql(("UPDATE line_rows SET generation = generation + 1, holder_station = 'st-n' "
         "FROM line_batches b WHERE b.id = batch_id AND b.name = '" +
         batch + "'")
            .toUtf8());
    QString out;
    QTRY_VERIFY2_WITH_TIMEOUT((out += station.readAllStandardOutput()).contains("row 1 (U-1)"),
                              qPrintable(out), 15000);
    QVERIFY2(out.contains(line.replace('@', slow.portPath())), qPrintable(out));
    QCOMPARE(station.state(), QProcess::Running); // the station goes on
    station.terminate();
    QVERIFY(station.waitForFinished());
    QVERIFY(!QFile::exists(certificate)); // no certificate was sent
    QCOMPARE(batchProgressOf(database, batch).passed, qint64(0));
    QCOMPARE(batchProgressOf(database, batch).leased, qint64(1)); // still the other's
}

// The database stopped while a unit is on its fixture, and started again:
// the unit finishes, its result waits in the journal, marked, and is
// recorded once the database is back; the next unit then takes the next
// row. Nothing is lost, and the outage is told once.
void LineTest::aResultOutlivesTheDatabase()
{
    const QString cluster = clusterName();
    QVERIFY2(!cluster.isEmpty(), "no cluster of pg_virtualenv's on PGPORT to stop and start");
    {
        LineDatabase database;
        QVERIFY(open(database) && importBatch(database, "D", rowsNamed(2)).ok());
    }
    const QString port = dir_.filePath("fixD"); // a link: the units are plugged in and out
    DevsimProcess first, second;
    QVERIFY(first.start({"--link", port, "--delay", "1000", "--state", dir_.filePath("d1.json")}));
    QProcess station;
    station.setWorkingDirectory(dir_.path());
    station.start(KESTROCTL_PATH,
                  {"-p", port, "station", "--batch", "D", "--db", database_, "--station", "st-d"});
    QTRY_VERIFY_WITH_TIMEOUT(leasedOf("D") == 1, 10000);
    ServerBack back{cluster, true};
    QVERIFY(serverIs(cluster, "stop"));
    const QString journal = dir_.filePath("D.st-d.journal");
    QTRY_VERIFY_WITH_TIMEOUT(readFile(journal).contains(R"("recorded":false)"), 15000);
    QVERIFY(serverIs(cluster, "start"));
    back.stopped = false;
    QTRY_VERIFY_WITH_TIMEOUT(leasedOf("D") == 0, 15000); // row 1 settled
    first.stop();                                        // the next unit
    QVERIFY(second.start({"--link", port, "--state", dir_.filePath("d2.json")}));
    const bool finished = station.waitForFinished(kRunPatienceMs);
    const QString err = QString::fromUtf8(station.readAllStandardError());
    QVERIFY2(finished, qPrintable(err + station.readAllStandardOutput()));
    QCOMPARE(station.exitCode(), 0);
    QCOMPARE(err.count("database unreachable: "), 1);
    QVERIFY2(err.contains("; retrying"), qPrintable(err));
    for (const char *file : {"d1.json", "d2.json"}) {
        QFile state(dir_.filePath(file));
        QVERIFY(state.open(QIODevice::ReadOnly));
        QCOMPARE(QJsonDocument::fromJson(state.readAll()).object().value("hostname").toString(),
                 QStringLiteral("unit-%1").arg(file[1]));
    }
    const Run exported = kestroctl({"line", "export", "--batch", "D", "--db", database_});
    QCOMPARE(exported.out.count(R"("result":"passed")"), 2);
    QCOMPARE(exported.out.count("recorded"), 0); // the database's copy is not marked
}

// The connection lost at the very commit of a unit's record, which then
// may or may not have landed: the journal's line is followed by a marked
// one, which a restart would take up, and the database holds the result
// once.
void LineTest::aLostCommitIsMarked()
{
    LineDatabase database;
    QVERIFY(open(database) && importBatch(database, "LC", rowsNamed(1)).ok());
    sql("CREATE SEQUENCE commit_kills; CREATE FUNCTION kill_commit() RETURNS trigger "
        "LANGUAGE plpgsql AS $$ BEGIN IF nextval('commit_kills') = 1 THEN "
        "PERFORM pg_terminate_backend(pg_backend_pid()); END IF; RETURN NULL; END $$; "
        "CREATE CONSTRAINT TRIGGER kill_commit AFTER INSERT ON line_results DEFERRABLE "
        "INITIALLY DEFERRED FOR EACH ROW EXECUTE FUNCTION kill_commit()");
    DevsimProcess unit;
    QVERIFY(unit.start({"--state", dir_.filePath("c.json")}));
    const QString journal = dir_.filePath("LC.journal");
    const Run run = kestroctl({"-p", unit.portPath(), "station", "--batch", "LC", "--db", database_,
                               "--station", "st-c", "--journal", journal});
    sql("DROP TRIGGER kill_commit ON line_results; DROP FUNCTION kill_commit(); "
        "DROP SEQUENCE commit_kills");
    QVERIFY2(run.exitCode == 0, qPrintable(run.err));
    // The station's own line, not the fixture's that noticed.
    QVERIFY2(run.err.contains(QRegularExpression("(^|\n)kestroctl: database unreachable: ")),
             qPrintable(run.err));
    QCOMPARE(readFile(journal).count(R"("result":"passed")"), 2);
    QCOMPARE(readFile(journal).count(R"("recorded":false)"), 1);
    const Run exported = kestroctl({"line", "export", "--batch", "LC", "--db", database_});
    QCOMPARE(exported.out.count(R"("result":"passed")"), 1);
    QCOMPARE(batchProgressOf(database, "LC").passed, qint64(1));
}

// A unit pulled during its read-back, through the line: its row is kept for
// it (line status says where it was), the next unit takes the next row, a
// fresh unit on that fixture is told and takes nothing, and the pulled unit
// put back takes its row and passes.
void LineTest::aPulledUnitKeepsItsRowOnTheLine()
{
    LineDatabase database;
    QVERIFY(open(database) && importBatch(database, "P", rowsNamed(2)).ok());
    const QString link = dir_.filePath("fixP");
    const auto state = [this](int unit) {
        return dir_.filePath(QStringLiteral("p%1.json").arg(unit));
    };
    const auto unitOn = [&](DevsimProcess &device, int unit, QStringList faults = {}) {
        return device.start(faults + QStringList{"--link", link, "--state", state(unit)});
    };
    DevsimProcess pulled, next, fresh, back;
    QVERIFY(unitOn(pulled, 1, {"--hangup-after", "3"}));
    QProcess station;
    station.setWorkingDirectory(dir_.path());
    station.start(KESTROCTL_PATH, {"-p", link, "-t", "300", "station", "--batch", "P", "--db",
                                   database_, "--station", "st-p"});
    QString out, err;
    QTRY_VERIFY2_WITH_TIMEOUT((out += station.readAllStandardOutput())
                                  .contains("; the unit may hold the row's values: put it back on "
                                            "a fixture to finish it [0 of 2 passed]"),
                              qPrintable(out), 15000);
    const QJsonObject status =
        QJsonDocument::fromJson(
            kestroctl({"line", "status", "--json", "--batch", "P", "--db", database_}).out.toUtf8())
            .object();
    const QJsonObject kept = status.value("kept").toArray().at(0).toObject();
    QCOMPARE(kept.value("row").toInt(), 1);
    QCOMPARE(kept.value("station").toString() + ' ' + kept.value("fixture").toString(),
             "st-p " + link);
    QVERIFY(unitOn(next, 2));
    QTRY_VERIFY2_WITH_TIMEOUT(
        (out += station.readAllStandardOutput()).contains("row 2 (U-2) on " + link + ": passed"),
        qPrintable(out), 15000);
    next.stop();
    QVERIFY(unitOn(fresh, 3));
    QTRY_VERIFY2_WITH_TIMEOUT((err += station.readAllStandardError())
                                  .contains("row 1 (U-1) is kept for its unit, which had its "
                                            "values on st-p's " +
                                            link + ": put that unit on a fixture of the line"),
                              qPrintable(err), 15000);
    fresh.stop();
    QVERIFY(unitOn(back, 1));
    QVERIFY(station.waitForFinished(kRunPatienceMs));
    QCOMPARE(station.exitCode(), 0);
    out += station.readAllStandardOutput();
    QVERIFY2(out.contains("station: 2 of 2 rows passed, 1 unit failed"), qPrintable(out));
    QCOMPARE(hostnameIn(state(1)), QStringLiteral("unit-1"));
    QCOMPARE(hostnameIn(state(2)), QStringLiteral("unit-2"));
    QVERIFY(!QFile::exists(state(3)));
}

// A row kept for a unit that is lost for good is released by the line's
// owner, with a reason, once; the station's role cannot release it.
void LineTest::aKeptRowIsReleasedByHand()
{
    LineDatabase database;
    QVERIFY(open(database) && importBatch(database, "PR", rowsNamed(1)).ok());
    const LineRun run = runOf(database, "PR", "st-pr");
    LineLease lease{1};
    bool settled = false;
    QCOMPARE(claim(database, run, lease), 1);
    QVERIFY(recordUnit(database, run, lease,
                       {false, "port", "lost the port", R"({"row":1})", "kept"}, settled)
                .ok() &&
            settled);
    QCOMPARE(batchProgressOf(database, "PR").kept, qint64(1));
    const QStringList release{"line", "release",  "--batch",   "PR",  "--row",
                              "1",    "--reason", "unit lost", "--db"};
    const QString asRole =
        QStringLiteral("dbname=%1 user=%2 password=pw-never-shown").arg(name_, role_);
    const Run refused = kestroctl(release + QStringList{asRole});
    QCOMPARE(refused.exitCode, 9);
    QVERIFY2(refused.err.contains("permission denied for function line_release"),
             qPrintable(refused.err));
    const Run released = kestroctl(release + QStringList{database_});
    QCOMPARE(released.exitCode, 0);
    QCOMPARE(released.out, QStringLiteral("row 1 (U-1) released: unit lost; a unit that still "
                                          "holds its values must be wiped before it ships\n"));
    QCOMPARE(batchProgressOf(database, "PR").kept, qint64(0));
    QCOMPARE(batchProgressOf(database, "PR").waiting, qint64(1));
    QueryResult who;
    QVERIFY(
        runQuery(database, "SELECT reason || ' by ' || released_by FROM line_releases", {}, &who)
            .ok());
    QCOMPARE(who.text(0, 0), "unit lost by " + QString::fromLocal8Bit(qgetenv("PGUSER")));
    const Run twice = kestroctl(release + QStringList{database_});
    QCOMPARE(twice.exitCode, 5);
    QVERIFY2(twice.err.contains("row 1 of batch PR is waiting and kept for no unit; nothing "
                                "released"),
             qPrintable(twice.err));
    // A batch deleted whole takes its rows, results and counts with it.
    const LineStatus deleted = runQuery(database, "DELETE FROM line_batches WHERE name = 'PR'");
    QVERIFY2(deleted.ok(), qPrintable(deleted.message));
}

// Two stations on one batch, one with a fixture that fails every unit at
// verify (its units ignore their updates): line status gives each fixture's
// units tried and passed and its first-pass yield, flags the failing
// fixture, names the cause; --watch redraws it on a terminal; the
// dashboard's views say the same.
void LineTest::aSupervisorSeesYieldsAndCauses()
{
    LineDatabase database;
    QVERIFY(open(database) && importBatch(database, "Y", rowsNamed(4)).ok());
    DevsimProcess worn, good;
    QVERIFY(worn.start({"--ignore-updates", "--swap-gap", "200"}));
    QVERIFY(good.start({"--delay", "150", "--swap-gap", "200"}));
    QProcess stations[2];
    const QString names[2] = {"st-worn", "st-good"};
    DevsimProcess *devices[2] = {&worn, &good};
    int told[2] = {0, 0};
    QString out[2];
    for (int s = 0; s < 2; ++s) {
        stations[s].setWorkingDirectory(dir_.path());
        stations[s].start(KESTROCTL_PATH,
                          {"-p", devices[s]->portPath(), "-t", "2000", "-r", "0", "station",
                           "--batch", "Y", "--db", database_, "--station", names[s]});
    }
    const auto swapDone = [&] { // each unit swapped as soon as its line is printed
        for (int s = 0; s < 2; ++s) {
            out[s] += stations[s].readAllStandardOutput();
            for (const int lines = out[s].count(" on " + devices[s]->portPath() + ": ");
                 told[s] < lines; ++told[s])
                ::kill(pid_t(devices[s]->process().processId()), SIGUSR1);
        }
        return stations[0].state() == QProcess::NotRunning &&
               stations[1].state() == QProcess::NotRunning;
    };
    QTRY_VERIFY2_WITH_TIMEOUT(swapDone(), qPrintable(out[0] + out[1]), kRunPatienceMs);
    QCOMPARE(stations[0].exitCode() + stations[1].exitCode(), 0);

    const QJsonObject batch =
        QJsonDocument::fromJson(
            kestroctl({"line", "status", "--json", "--batch", "Y", "--db", database_}).out.toUtf8())
            .object();
    QCOMPARE(batch.value("passed").toInt(), 4);
    QCOMPARE(batch.value("units_per_hour").toInt(), 6 * 4);
    const QJsonObject cause = batch.value("causes").toArray().at(0).toObject();
    QCOMPARE(cause.value("step").toString() + ": " + cause.value("message").toString(),
             QStringLiteral("verify: hostname differs"));
    QCOMPARE(cause.value("units").toInt(), told[0]);
    const QJsonArray perStation = batch.value("stations").toArray();
    const QJsonObject bad =
        perStation.at(1).toObject().value("fixtures").toArray().at(0).toObject();
    const QJsonObject fine =
        perStation.at(0).toObject().value("fixtures").toArray().at(0).toObject();
    QCOMPARE(perStation.at(1).toObject().value("station").toString(), QStringLiteral("st-worn"));
    QCOMPARE(bad.value("tried").toInt(), told[0]);
    QCOMPARE(bad.value("passed").toInt(), 0);
    QCOMPARE(bad.value("first_pass_yield").toDouble(), 0.0);
    QCOMPARE(bad.value("last_failure").toString(), QStringLiteral("verify: hostname differs"));
    QVERIFY(bad.value("flagged").toBool());
    QCOMPARE(fine.value("tried").toInt(), 4);
    QCOMPARE(fine.value("first_pass_yield").toDouble(), 1.0);
    QVERIFY(!fine.value("flagged").toBool());

    // Redrawn in place on a terminal, twice, then ended by Ctrl-C.
    RawPty terminal([](const QString &why) { QFAIL(qPrintable(why)); });
    QProcess watching;
    watching.setStandardOutputFile(terminal.path());
    watching.start(KESTROCTL_PATH,
                   {"line", "status", "--watch", "1", "--batch", "Y", "--db", database_});
    QByteArray screen;
    QTRY_VERIFY_WITH_TIMEOUT((screen += terminal.pending()).count("\x1b[H\x1b[2J") >= 2, 10000);
    ::kill(pid_t(watching.processId()), SIGINT);
    QVERIFY(watching.waitForFinished(5000));
    QCOMPARE(watching.exitCode(), 0);
    QVERIFY2(screen.contains(": " + QByteArray::number(told[0]) +
                             " tried, 0 passed, first-pass "
                             "yield 0%; last failure: "
                             "verify: hostname differs; "
                             "FLAGGED"),
             screen.constData());

    // The dashboard's role reads the same in the views.
    QVERIFY(initLineSchema(database, LineRoles(QString(), role_ + "_viewer")).ok());
    QVERIFY(runQuery(database, ("SET ROLE " + role_ + "_viewer").toUtf8().constData()).ok());
    QueryResult viewed;
    const LineStatus read =
        runQuery(database,
                 "SELECT f.tried, f.flagged, c.units FROM fixture_yield f JOIN failure_causes c "
                 "ON c.batch = f.batch CROSS JOIN line_progress p WHERE p.batch = f.batch "
                 "AND f.batch = 'Y' AND f.station = 'st-worn'",
                 {}, &viewed);
    QVERIFY(runQuery(database, "RESET ROLE").ok());
    QVERIFY2(read.ok(), qPrintable(read.message));
    QCOMPARE(viewed.number(0, 0), qint64(told[0]));
    QCOMPARE(viewed.text(0, 1), QStringLiteral("t"));
    QCOMPARE(viewed.number(0, 2), qint64(told[0]));
}

QTEST_GUILESS_MAIN(LineTest)
#include "line_test.moc"
