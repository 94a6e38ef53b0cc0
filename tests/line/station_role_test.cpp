// The station's role as a station that lies would use it, logged in with
// libpq as psql would be: every forgery is refused by the database itself,
// and the batch is as the honest station left it.
#include "line/line_batch.h"
#include "line/line_leases.h"
#include "line/line_query.h"
#include "line/line_schema.h"
#include "line/line_sql.h"

#include <QProcess>
#include <QtTest>

#include <unistd.h>

namespace {

constexpr int kPatienceMs = 30000;

QVector<LineRow> twoRows()
{
    return {{1, "R-1", {{"hostname", "unit-r1"}, {"wifi_password", "secret-r1"}}, {}, {}},
            {2, "R-2", {{"hostname", "unit-r2"}, {"wifi_password", "secret-r2"}}, {}, {}}};
}

} // namespace

class StationRoleTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void forgeriesAreRefused_data();
    void forgeriesAreRefused();
    void theLinesOldLockKeyHoldsNothing();
    void theBatchIsAsTheStationLeftIt();

private:
    QString asRole() const;

    QString name_, role_;
    LineDatabase station_, forger_;
    LineRun honest_, own_; // the honest station's run, and the forger's own
    LineLease held_{1};    // the honest station's row
};

QString StationRoleTest::asRole() const
{
    return QStringLiteral("dbname=%1 user=%2 password=pw-of-station").arg(name_, role_);
}

void StationRoleTest::initTestCase()
{
    if (qEnvironmentVariableIsEmpty("PGHOST") && qEnvironmentVariableIsEmpty("PGPORT") &&
        qEnvironmentVariableIsEmpty("PGSERVICE") && qEnvironmentVariableIsEmpty("PGDATABASE"))
        QFAIL("no PostgreSQL server: run under pg_virtualenv, as scripts/test does");
    name_ = QStringLiteral("kestro_role_%1").arg(::getpid());
    role_ = name_ + QStringLiteral("_st");
    LineDatabase server, owner;
    QVERIFY(server.open(QString()).ok());
    QVERIFY(runQuery(server, ("CREATE DATABASE " + name_).toUtf8().constData()).ok());
    QVERIFY(
        runQuery(server,
                 ("CREATE ROLE " + role_ + " LOGIN PASSWORD 'pw-of-station'").toUtf8().constData())
            .ok());
    QVERIFY(owner.open("dbname=" + name_).ok());
    QVERIFY(initLineSchema(owner, role_).ok());
    QVERIFY(importBatch(owner, "R", twoRows()).ok());
    QVERIFY(station_.open(asRole()).ok() && forger_.open(asRole()).ok());
    QVERIFY(startStation(station_, {"R", "st-real", "host-a", 1, {"fix1"}, 30, 3}, honest_).ok());
    QVERIFY(startStation(forger_, {"R", "st-forger", "host-f", 2, {"fix1"}, 30, 3}, own_).ok());
    bool claimed = false, passed = false;
    LineRow row;
    QVERIFY(claimRow(station_, honest_, held_, 0, claimed, passed, row).ok() && claimed);
    QCOMPARE(held_.row, 1);
}

void StationRoleTest::cleanupTestCase()
{
    station_.close();
    forger_.close();
    LineDatabase server;
    if (name_.isEmpty() || !server.open(QString()).ok())
        return;
    runQuery(server, ("DROP DATABASE IF EXISTS " + name_ + " WITH (FORCE)").toUtf8().constData());
    runQuery(server, ("DROP ROLE IF EXISTS " + role_).toUtf8().constData());
}

// "@own" stands for the forger's own token, "@gen" for the generation under
// which the honest station holds row 1.
void StationRoleTest::forgeriesAreRefused_data()
{
    QTest::addColumn<QByteArray>("sql");
    QTest::addColumn<QString>("refusal"); // the server's words; empty: it runs, and answers
    QTest::addColumn<QString>("answer");  // its first cell

    const QString notTheLines = "this run of the station is not the line's";
    const QString outOfRange = "a station needs a name of 1 to 200 characters";
    QTest::newRow("a record in another station's name")
        << QByteArray("SELECT line_record('st-real', 1, 1, @gen, true, NULL, '', '{}')")
        << notTheLines << "";
    QTest::newRow("a pass without a row, for the export")
        << QByteArray("SELECT line_record('@own', 1, NULL, NULL, true, NULL, '', "
                      "'{\"result\":\"passed\"}')")
        << "a result is passed, with its row, or failed at one of the steps"
        << "";
    QTest::newRow("the other's row, settled by its own run")
        << QByteArray("SELECT line_record('@own', 1, 1, @gen, true, NULL, '', '{}')") << ""
        << "f";
    QTest::newRow("the other's lease renewed, its row marked")
        << QByteArray("SELECT line_renew('@own', 1, 1, @gen, true)") << ""
        << "f";
    QTest::newRow("a claim as a station never started")
        << QByteArray("SELECT claimed_sha256 FROM line_claim('made-up', 1, NULL)") << notTheLines
        << "";
    QTest::newRow("a fixture the run does not have")
        << QByteArray("SELECT claimed_row FROM line_claim('@own', 7, NULL)")
        << "fixture 7 is not one of station st-forger's"
        << "";
    QTest::newRow("a live station's name taken")
        << QByteArray("SELECT started FROM line_station_start('st-real', 'h', 1, 'R', '{f}', 30, "
                      "3, 4)")
        << ""
        << "f";
    QTest::newRow("a lease of 1e9 s")
        << QByteArray("SELECT started FROM line_station_start('st-x', 'h', 1, 'R', '{f}', 1e9, 3, "
                      "4)")
        << outOfRange << "";
    QTest::newRow("a lease of -100 s")
        << QByteArray("SELECT started FROM line_station_start('st-x', 'h', 1, 'R', '{f}', -100, "
                      "3, 4)")
        << outOfRange << "";
    QTest::newRow("row tries of 1000")
        << QByteArray("SELECT started FROM line_station_start('st-x', 'h', 1, 'R', '{f}', 30, "
                      "1000, 4)")
        << outOfRange << "";
    QTest::newRow("row tries given with a record")
        << QByteArray("SELECT line_record('@own', 1, 2, 1, false, 'write', 'x', '{}', "
                      "p_row_tries => 1)")
        << "does not exist"
        << "";
    QTest::newRow("a row's values read")
        << QByteArray("SELECT row_values ->> 'wifi_password' FROM line_rows")
        << "permission denied for table line_rows"
        << "";
    QTest::newRow("a certificate read") << QByteArray("SELECT bytes FROM line_certificates")
                                        << "permission denied for table line_certificates"
                                        << "";
    QTest::newRow("the results read") << QByteArray("SELECT entry FROM line_results")
                                      << "permission denied for table line_results"
                                      << "";
    QTest::newRow("the schema's lock taken")
        << QByteArray("BEGIN; LOCK TABLE line_schema IN SHARE ROW EXCLUSIVE MODE")
        << "permission denied for table line_schema"
        << "";
    QTest::newRow("a kept row released")
        << QByteArray("SELECT unit FROM line_release('R', 1, 'no reason')")
        << "permission denied for function line_release" << "";
    QTest::newRow("two names that once shared one lock")
        << QByteArray("SELECT bool_and(started) FROM (SELECT started FROM line_station_start("
                      "'station-53072', 'h', 1, 'R', '{f}', 30, 3, 4) UNION ALL SELECT started "
                      "FROM line_station_start('station-291936', 'h', 2, 'R', '{f}', 30, 3, 4)) s")
        << ""
        << "t";
}

void StationRoleTest::forgeriesAreRefused()
{
    QFETCH(QByteArray, sql);
    QFETCH(QString, refusal);
    QFETCH(QString, answer);
    sql.replace("@own", own_.token).replace("@gen", QByteArray::number(held_.generation));
    QueryResult result;
    const LineStatus status = runQuery(forger_, sql.constData(), {}, &result);
    runQuery(forger_, "ROLLBACK");
    if (refusal.isEmpty()) {
        QVERIFY2(status.ok(), qPrintable(status.message));
        QCOMPARE(result.text(0, 0), answer);
    } else {
        QVERIFY2(!status.ok() && status.message.contains(refusal), qPrintable(status.message));
    }
}

// A session that holds the advisory lock the line once took for line init
// holds it up no longer.
void StationRoleTest::theLinesOldLockKeyHoldsNothing()
{
    QVERIFY(runQuery(forger_, "SELECT pg_advisory_lock(19251, 0)").ok());
    QProcess init;
    init.start(QStringLiteral(KESTROCTL_PATH), {"line", "init", "--db", "dbname=" + name_});
    QVERIFY(init.waitForFinished(kPatienceMs));
    QCOMPARE(init.exitCode(), 0);
    QVERIFY(runQuery(forger_, "SELECT pg_advisory_unlock_all()").ok());
}

void StationRoleTest::theBatchIsAsTheStationLeftIt()
{
    LineDatabase owner;
    QVERIFY(owner.open("dbname=" + name_).ok());
    QueryResult result;
    QVERIFY(runQuery(owner,
                     "SELECT string_agg(row_no || ':' || state || ':' || coalesce(holder_station, "
                     "'-') || ':' || generation, ' ' ORDER BY row_no) FROM line_rows",
                     {}, &result)
                .ok());
    QCOMPARE(result.text(0, 0),
             QStringLiteral("1:leased:st-real:%1 2:waiting:-:0").arg(held_.generation));
    bool settled = false;
    QVERIFY(recordUnit(station_, honest_, held_, {true, {}, {}, R"({"row":1})"}, settled).ok());
    QVERIFY(settled); // the honest station's lease held through it all
}

QTEST_GUILESS_MAIN(StationRoleTest)
#include "station_role_test.moc"
