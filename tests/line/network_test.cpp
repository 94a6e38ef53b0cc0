// A station on a network that fails, against the server pg_virtualenv
// started: a proxy between the station and the server cuts, holds or
// silences the connection at a chosen statement, or all of them at once. An
// answer that did not arrive is never taken for a yes, nothing waits for
// ever, an idle station sees its outage and the batch's end, and a station
// whose host died with its connection half-open frees its name. What each
// simulated unit holds (its state file) is checked, not only the journal.
#include "line/line_batch.h"
#include "line/line_database.h"
#include "line/line_query.h"
#include "line/line_schema.h"
#include "tests/line/rows_named.h"
#include "tests/support/devsim_process.h"
#include "tests/support/qtest_support.h"

#include <QElapsedTimer>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <signal.h>
#include <unistd.h>

namespace {

constexpr int kPatienceMs = 40000;

// The proxy, listening on a port of its own; ended with the test.
struct Proxy {
    QProcess process;
    QString port;
    QString err;

    bool start(const QStringList &arguments)
    {
        const QString to = qEnvironmentVariable("PGHOST", "localhost") + ':' +
                           qEnvironmentVariable("PGPORT", "5432");
        process.start(QStringLiteral(PG_PROXY_PATH), QStringList{"--to", to} + arguments);
        if (!process.waitForReadyRead(5000))
            return false;
        port = QString::fromLatin1(process.readLine()).trimmed();
        return !port.isEmpty();
    }
    // What it did so far, on its standard error.
    const QString &said()
    {
        err += QString::fromUtf8(process.readAllStandardError());
        return err;
    }
    void signal(int number) { ::kill(pid_t(process.processId()), number); }
    ~Proxy()
    {
        process.kill();
        process.waitForFinished();
    }
};

// A station as the operator runs it, its lines gathered.
struct Station {
    QProcess process;
    QString out, err;

    void start(const QString &directory, const QStringList &arguments)
    {
        process.setWorkingDirectory(directory);
        process.start(QStringLiteral(KESTROCTL_PATH), arguments);
    }
    bool said(const QString &text, int patienceMs = kPatienceMs)
    {
        QElapsedTimer waited;
        waited.start();
        while (!(out + err).contains(text) && waited.elapsed() < patienceMs) {
            process.waitForReadyRead(50);
            out += QString::fromUtf8(process.readAllStandardOutput());
            err += QString::fromUtf8(process.readAllStandardError());
        }
        return (out + err).contains(text);
    }
    int finish(int patienceMs = kPatienceMs)
    {
        if (!process.waitForFinished(patienceMs))
            process.kill();
        process.waitForFinished();
        out += QString::fromUtf8(process.readAllStandardOutput());
        err += QString::fromUtf8(process.readAllStandardError());
        return process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    }
};

QString hostnameIn(const QString &state)
{
    QFile file(state);
    return file.open(QIODevice::ReadOnly)
               ? QJsonDocument::fromJson(file.readAll()).object().value("hostname").toString()
               : QString();
}

} // namespace

class NetworkTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void anUnansweredMarkWritesNothing();
    void aFrozenNetworkFreezesNothing();
    void anIdleStationSeesTheBatchEnd();
    void aHalfOpenStationFreesItsName();

private:
    QString batch(int rows);
    QString through(const Proxy &proxy) const;
    QString state(const QString &name) const { return dir_.filePath(name + ".json"); }
    QStringList stationOn(const QString &port, const QString &batch, const QString &db,
                          const QString &name) const;

    QTemporaryDir dir_;
    QString name_;
    int batches_ = 0;
};

void NetworkTest::initTestCase()
{
    if (qEnvironmentVariableIsEmpty("PGHOST") && qEnvironmentVariableIsEmpty("PGPORT"))
        QFAIL("no PostgreSQL server on TCP: run under pg_virtualenv, as scripts/test does");
    name_ = QStringLiteral("kestro_network_%1").arg(::getpid());
    LineDatabase server, database;
    QVERIFY(server.open(QString()).ok());
    QVERIFY(runQuery(server, ("CREATE DATABASE " + name_).toUtf8().constData()).ok());
    QVERIFY(database.open("dbname=" + name_).ok() && initLineSchema(database, QString()).ok());
}

void NetworkTest::cleanupTestCase()
{
    LineDatabase server;
    if (!name_.isEmpty() && server.open(QString()).ok())
        runQuery(server,
                 ("DROP DATABASE IF EXISTS " + name_ + " WITH (FORCE)").toUtf8().constData());
}

// A batch of its own for each case.
QString NetworkTest::batch(int rows)
{
    const QString name = QStringLiteral("N%1").arg(++batches_);
    LineDatabase database;
    if (!database.open("dbname=" + name_).ok() ||
        !importBatch(database, name, rowsNamed(rows)).ok())
        return QString();
    return name;
}

QString NetworkTest::through(const Proxy &proxy) const
{
    return QStringLiteral("host=127.0.0.1 port=%1 dbname=%2 sslmode=disable")
        .arg(proxy.port, name_);
}

QStringList NetworkTest::stationOn(const QString &port, const QString &batch, const QString &db,
                                   const QString &name) const
{
    return {"-p",      port,      "-t",   "500",       "station",
            "--batch", batch,     "--db", db,          "--station",
            name,      "--lease", "3",    "--journal", dir_.filePath(name + ".journal")};
}

// The connection cut while the mark before the Config Update is on its way
// (the server made it; the station never heard): the unit is not written.
// Its row goes to the next unit, and no host name ends up on two units.
void NetworkTest::anUnansweredMarkWritesNothing()
{
    const QString rows = batch(1);
    Proxy proxy;
    QVERIFY(proxy.start({"--at", "mark_writing", "--action", "cut"}));
    const QString link = dir_.filePath("fix-mark");
    DevsimProcess first, second;
    QVERIFY(first.start({"--link", link, "--state", state("mark-1")}));
    Station station;
    station.start(dir_.path(), stationOn(link, rows, through(proxy), "st-mark"));
    QVERIFY2(station.said("row 1 (U-1) on " + link +
                          ": failed at lease: the line's database "
                          "did not answer; the unit was not written"),
             qPrintable(station.out + station.err));
    QTRY_VERIFY(proxy.said().contains("cut at mark_writing"));
    first.stop();
    QVERIFY(second.start({"--link", link, "--state", state("mark-2")}));
    QCOMPARE(station.finish(), 0);
    QVERIFY2(station.out.contains("row 1 (U-1) on " + link + ": passed"), qPrintable(station.out));
    QCOMPARE(hostnameIn(state("mark-1")), QString()); // never written
    QCOMPARE(hostnameIn(state("mark-2")), QStringLiteral("unit-1"));
}

// A connection that stops answering without a reset, at a claim: the
// station gives it up within its patience, says so once, connects again and
// serves the unit. Then every connection frozen at once: the first SIGTERM
// is told at once, the second ends the station at once.
void NetworkTest::aFrozenNetworkFreezesNothing()
{
    const QString rows = batch(2);
    Proxy proxy;
    QVERIFY(proxy.start({"--at", "claim_row", "--nth", "2", "--action", "hold"}));
    const QString link = dir_.filePath("fix-frozen");
    DevsimProcess unit;
    QVERIFY(unit.start({"--link", link, "--state", state("frozen-1"), "--state", state("frozen-2"),
                        "--swap-gap", "300"}));
    Station station;
    station.start(dir_.path(), stationOn(link, rows, through(proxy), "st-frozen"));
    QVERIFY(station.said("row 1 (U-1) on " + link + ": passed"));
    ::kill(pid_t(unit.process().processId()), SIGUSR1); // the next unit; its claim is held
    QVERIFY2(station.said("database unreachable: ", 30000), qPrintable(station.err));
    QVERIFY2(station.err.contains("no answer within 15 s; the connection was given up"),
             qPrintable(station.err));
    QCOMPARE(station.finish(), 0);
    QCOMPARE(station.err.count("database unreachable: "), 1);
    QCOMPARE(hostnameIn(state("frozen-2")), QStringLiteral("unit-2"));

    const QString more = batch(2);
    unit.stop();
    QVERIFY(unit.start({"--link", link, "--swap-gap", "300"}));
    Station stopped;
    stopped.start(dir_.path(), stationOn(link, more, through(proxy), "st-stopped"));
    QVERIFY(stopped.said("row 1 (U-1) on " + link + ": passed"));
    proxy.signal(SIGUSR1);                              // every connection frozen, none reset
    ::kill(pid_t(unit.process().processId()), SIGUSR1); // the next unit's claim hangs
    QThread::msleep(1500);
    QElapsedTimer told;
    told.start();
    stopped.process.terminate();
    QVERIFY2(stopped.said("stopping: ", 1000), qPrintable(stopped.err));
    stopped.process.terminate();
    QCOMPARE(stopped.finish(3000), 130);
    QVERIFY2(told.elapsed() < 3000, qPrintable(QString::number(told.elapsed())));

    // Frozen while the fixture waits for its passed unit to go: nothing is
    // in progress, so the first SIGTERM ends the station at once, whatever
    // its sign of life's call is waiting for.
    const QString last = batch(2);
    Proxy frozen;
    QVERIFY(frozen.start({}));
    Station idle;
    idle.start(dir_.path(), stationOn(link, last, through(frozen), "st-idle-stop"));
    QVERIFY(idle.said("row 1 (U-1) on " + link + ": passed"));
    frozen.signal(SIGUSR1);
    QThread::msleep(1500);
    told.restart();
    idle.process.terminate();
    QCOMPARE(idle.finish(3000), 130);
    QVERIFY2(told.elapsed() < 3000, qPrintable(QString::number(told.elapsed())));
}

// Every connection cut while the station's only fixture waits for its
// passed unit to go: the station connects again on its own, and ends when
// another station has passed the batch's last row.
void NetworkTest::anIdleStationSeesTheBatchEnd()
{
    const QString rows = batch(2);
    Proxy proxy;
    QVERIFY(proxy.start({}));
    const QString link = dir_.filePath("fix-idle"), other = dir_.filePath("fix-other");
    DevsimProcess unit, elsewhere;
    QVERIFY(unit.start({"--link", link, "--state", state("idle-1")}));
    Station idle;
    idle.start(dir_.path(), stationOn(link, rows, through(proxy), "st-idle"));
    QVERIFY(idle.said("row 1 (U-1) on " + link + ": passed"));
    proxy.signal(SIGUSR2); // the cable cut: every connection reset
    QVERIFY2(idle.said("database unreachable: ", 10000), qPrintable(idle.err));
    QVERIFY(elsewhere.start({"--link", other, "--state", state("idle-2")}));
    Station last;
    last.start(dir_.path(), stationOn(other, rows, "dbname=" + name_, "st-last"));
    QCOMPARE(last.finish(), 0);
    QCOMPARE(idle.finish(15000), 0);
    QVERIFY2(idle.out.contains("station: 2 of 2 rows passed"), qPrintable(idle.out));
    QCOMPARE(hostnameIn(state("idle-2")), QStringLiteral("unit-2"));
}

// The station's host dies with its connection half-open (frozen, then the
// process killed): its name is taken while its heartbeat is younger than
// its lease, and free once it is older; the station started again then
// serves its batch.
void NetworkTest::aHalfOpenStationFreesItsName()
{
    const QString rows = batch(2);
    Proxy proxy;
    QVERIFY(proxy.start({}));
    const QString link = dir_.filePath("fix-half");
    DevsimProcess unit;
    QVERIFY(unit.start({"--link", link, "--state", state("half-1"), "--state", state("half-2"),
                        "--swap-gap", "300"}));
    Station dying;
    dying.start(dir_.path(), stationOn(link, rows, through(proxy), "st-half"));
    QVERIFY(dying.said("row 1 (U-1) on " + link + ": passed"));
    proxy.signal(SIGUSR1);
    dying.process.kill();
    dying.finish();
    ::kill(pid_t(unit.process().processId()), SIGUSR1);
    const QStringList again = stationOn(link, rows, "dbname=" + name_, "st-half");
    Station refused;
    refused.start(dir_.path(), again);
    QCOMPARE(refused.finish(), 5);
    QVERIFY2(refused.err.contains("station st-half is already running (host "),
             qPrintable(refused.err));
    QElapsedTimer waited;
    waited.start();
    int code = 5;
    for (int tries = 0; code == 5 && tries < 20; ++tries) {
        QThread::msleep(500);
        Station restarted;
        restarted.start(dir_.path(), again);
        code = restarted.finish();
    }
    QCOMPARE(code, 0);
    QVERIFY2(waited.elapsed() < 10000, qPrintable(QString::number(waited.elapsed())));
    QCOMPARE(hostnameIn(state("half-2")), QStringLiteral("unit-2"));
}

QTEST_GUILESS_MAIN(NetworkTest)
#include "network_test.moc"
