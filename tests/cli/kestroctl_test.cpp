// kestroctl as a station script runs it: the real program against the real
// simulator on its pseudo-terminal, judged by exit code and output.
#include "tests/support/devsim_process.h"
#include "tests/support/qtest_support.h"

#include <QElapsedTimer>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTextCodec>
#include <QtTest>

namespace {

// Upper bound for anything the tests wait for; a correct run needs far less.
constexpr int kRunPatienceMs = 20000;
// Slack allowed beyond the time a run must take (start-up, a loaded machine).
constexpr qint64 kMarginMs = 10000;

struct Run {
    int exitCode = -1; // -1: crashed or never ended
    QString out;
    QString err;
    qint64 elapsedMs = 0;
};

QProcessEnvironment environmentWithPort(const QString &port)
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.remove(QStringLiteral("KESTRO_PORT"));
    if (!port.isEmpty())
        environment.insert(QStringLiteral("KESTRO_PORT"), port);
    return environment;
}

// How the arguments reach the program: Latin-1 lets a test spell bytes that
// are not UTF-8, one character each.
enum class Encoding { Local, Latin1 };

// Runs kestroctl to its end, with $KESTRO_PORT set to `port` if one is given
// and the file `input` as its standard input.
Run kestroctl(const QStringList &arguments, const QString &port = QString(),
              const QString &input = QString(), Encoding encoding = Encoding::Local)
{
    QProcess process;
    process.setProcessEnvironment(environmentWithPort(port));
    if (!input.isEmpty())
        process.setStandardInputFile(input);
    QTextCodec *local = QTextCodec::codecForLocale();
    if (encoding == Encoding::Latin1)
        QTextCodec::setCodecForLocale(QTextCodec::codecForMib(4));
    QElapsedTimer timer;
    timer.start();
    process.start(QStringLiteral(KESTROCTL_PATH), arguments);
    QTextCodec::setCodecForLocale(local);
    Run run;
    if (!process.waitForFinished(kRunPatienceMs))
        process.kill();
    process.waitForFinished();
    run.elapsedMs = timer.elapsed();
    if (process.exitStatus() == QProcess::NormalExit)
        run.exitCode = process.exitCode();
    run.out = QString::fromUtf8(process.readAllStandardOutput());
    run.err = QString::fromUtf8(process.readAllStandardError());
    return run;
}

QJsonObject jsonObject(const QByteArray &text)
{
    return QJsonDocument::fromJson(text).object();
}

QJsonObject readDevice(const QString &port)
{
    const Run run = kestroctl({"read"}, port);
    return run.exitCode == 0 ? jsonObject(run.out.toUtf8()) : QJsonObject();
}

// The keys of a JSON object text in the order in which they stand.
QStringList keysInOrder(const QString &json)
{
    QStringList keys;
    QRegularExpressionMatchIterator it =
        QRegularExpression(QStringLiteral("^\\s*\"(\\w+)\":"), QRegularExpression::MultilineOption)
            .globalMatch(json);
    while (it.hasNext())
        keys << it.next().captured(1);
    return keys;
}

} // namespace

class KestroctlTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void exitPaths_data();
    void exitPaths();
    void readWriteReadRoundTrip();
    void waitsForAPortThatAppearsLate();

private:
    QTemporaryDir dir_;
};

void KestroctlTest::initTestCase()
{
    QVERIFY(dir_.isValid());
    writeFile(dir_.filePath("broken.json"), R"({"hostname": "unit-1",})");
    writeFile(dir_.filePath("unknown-key.json"), R"({"host": "unit-1"})");
    writeFile(dir_.filePath("port-as-text.json"), R"({"smtp_port": "25"})");
    writeFile(dir_.filePath("site.json"), R"({"ssid": "site-net", "smtp_port": 465})");
    writeFile(dir_.filePath("full.pem"), QByteArray(8192, '\xfe'));
    writeFile(dir_.filePath("big.pem"), QByteArray(8193, 'c'));
    writeFile(dir_.filePath("twice.json"), R"({"hostname": "unit-1", "hostname": "unit-2"})");
    writeFile(dir_.filePath("surrogate.json"), R"({"ssid": "x", "description": "a\ud800b"})");
}

void KestroctlTest::exitPaths_data()
{
    QTest::addColumn<bool>("device");           // a simulator to talk to, on $KESTRO_PORT
    QTest::addColumn<QStringList>("simulator"); // its options
    QTest::addColumn<QStringList>("arguments"); // "@/" stands for the fixture folder
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("out"); // what standard output must contain
    QTest::addColumn<QString>("err"); // what standard error must contain
    QTest::addColumn<int>("atLeastMs");
    QTest::addColumn<QString>("hostnameAfter"); // then read: the device's host name

    const QString none; // nothing expected
    const QString fresh = QStringLiteral("kestro-3-sim");
    QTest::newRow("2: unknown option") << false << QStringList() << QStringList{"--frob", "ping"}
                                       << 2 << none << "Usage:" << 0 << none;
    QTest::newRow("2: unknown command") << false << QStringList() << QStringList{"reboot"} << 2
                                        << none << "unknown command 'reboot'" << 0 << none;
    QTest::newRow("4: port never appears")
        << false << QStringList() << QStringList{"-p", "@/no-port", "--wait-port", "1", "ping"} << 4
        << none << "cannot open" << 1000 << none;
    QTest::newRow("5: not JSON") << true << QStringList() << QStringList{"write", "@/broken.json"}
                                 << 5 << none << "broken.json: not valid JSON" << 0 << fresh;
    QTest::newRow("5: unknown key")
        << true << QStringList() << QStringList{"diff", "@/unknown-key.json"} << 5 << none
        << "unknown-key.json: unknown key \"host\"" << 0 << none;
    QTest::newRow("5: wrong type")
        << true << QStringList() << QStringList{"write", "@/port-as-text.json"} << 5 << none
        << "key \"smtp_port\" must be a number, not a string" << 0 << fresh;
    QTest::newRow("5: refused by the rules")
        << true << QStringList()
        << QStringList{"write", "@/site.json", "--set", "hostname=unit-9", "--set", "smtp_port=26"}
        << 5 << none << "SMTP Port: Valid values are 25, 465, 587, and 2525\nkestroctl: " << 0
        << fresh;
    QTest::newRow("5: endless profile, refused at once")
        << true << QStringList() << QStringList{"write", "/dev/zero"} << 5 << none
        << "/dev/zero: larger than 64 KiB, not a profile; nothing sent" << 0 << fresh;
    QTest::newRow("5: key given twice")
        << true << QStringList() << QStringList{"write", "@/twice.json"} << 5 << none
        << "twice.json: key \"hostname\" is given twice" << 0 << fresh;
    QTest::newRow("5: unpaired surrogate")
        << true << QStringList() << QStringList{"write", "@/surrogate.json"} << 5 << none
        << "surrogate.json: description: not valid Unicode text" << 0 << none;
    QTest::newRow("5: --set not UTF-8")
        << true << QStringList()
        << QStringList{"write", "@/site.json", "--set", QStringLiteral("description=ab\u00ffcd")}
        << 5 << none << "--set description: not valid UTF-8 text; nothing sent" << 0 << none;
    QTest::newRow("5: certificate too big")
        << true << QStringList() << QStringList{"upload-cert", "@/big.pem"} << 5 << none
        << "larger than 8192 bytes" << 0 << none;
    QTest::newRow("0: certificate of 8192 bytes")
        << true << QStringList() << QStringList{"upload-cert", "@/full.pem"} << 0
        << "Certificate Upload returned 0\n"
        << none << 0 << none;
    QTest::newRow("1: status 3") << true << QStringList{"--status", "3"} << QStringList{"ping"} << 1
                                 << "Ping returned 3\n"
                                 << none << 0 << none;
    QTest::newRow("3: silent, after three tries of 300 ms")
        << true << QStringList{"--silent"} << QStringList{"-t", "300", "ping"} << 3 << none
        << "Ping: no valid response after 3 tries" << 900 << none;
    QTest::newRow("3: wrong length")
        << true << QStringList{"--wrong-length"} << QStringList{"-r", "0", "ping"} << 3 << none
        << "Ping: Invalid message length 9\n"
        << 0 << none;
    QTest::newRow("3: unexpected id")
        << true << QStringList{"--unexpected-id"} << QStringList{"-r", "0", "read"} << 3 << none
        << "Config Query: Unexpected message id 7\n"
        << 0 << none;
    QTest::newRow("0: retries get through broken frames")
        << true << QStringList{"--bad-checksum-every", "2"}
        << QStringList{"write", "@/site.json", "--set", "hostname=unit-7"} << 0
        << "Read back: all 13 values match."
        << "broken frame; sending again (try 2 of 3)" << 0 << "unit-7";
    QTest::newRow("6: the device forgets the update")
        << true << QStringList{"--ignore-updates"}
        << QStringList{"write", "@/site.json", "--set", "hostname=unit-8"} << 6
        << "hostname: sent \"unit-8\", read back \"kestro-3-sim\"\n"
        << "the configuration read back differs from the one sent" << 0 << fresh;
    QTest::newRow("6: diff differs")
        << true << QStringList() << QStringList{"diff", "@/site.json"} << 6
        << "ssid: \"field-lab\" -> \"site-net\"\nsmtp_port: 587 -> 465\n"
        << none << 0 << none;
    QTest::newRow("0: trace") << true << QStringList() << QStringList{"--trace", "ping"} << 0
                              << "Ping returned 0"
                              << "Sent 8 bytes fe 04 00 00 00 00 00 04\r\nPing sent." << 0 << none;
}

void KestroctlTest::exitPaths()
{
    QFETCH(bool, device);
    QFETCH(QStringList, simulator);
    QFETCH(QStringList, arguments);
    QFETCH(int, exitCode);
    QFETCH(QString, out);
    QFETCH(QString, err);
    QFETCH(int, atLeastMs);
    QFETCH(QString, hostnameAfter);

    DevsimProcess sim;
    if (device)
        QVERIFY(sim.start(simulator));
    arguments.replaceInStrings(QStringLiteral("@/"), dir_.path() + QLatin1Char('/'));
    const Run run = kestroctl(arguments, sim.portPath(), QString(), Encoding::Latin1);
    QVERIFY2(run.exitCode == exitCode,
             qPrintable(QStringLiteral("exit %1, stderr:\n%2").arg(run.exitCode).arg(run.err)));
    QVERIFY2(run.out.contains(out), qPrintable(run.out));
    QVERIFY2(run.err.contains(err), qPrintable(run.err));
    // Every time-out is waited for in full, and nothing waits much longer.
    QVERIFY2(run.elapsedMs >= atLeastMs && run.elapsedMs < atLeastMs + kMarginMs,
             qPrintable(QString::number(run.elapsedMs)));
    if (!hostnameAfter.isEmpty())
        QCOMPARE(readDevice(sim.portPath()).value("hostname").toString(), hostnameAfter);
}

void KestroctlTest::readWriteReadRoundTrip()
{
    DevsimProcess sim;
    QVERIFY(sim.start());
    const QString port = sim.portPath();
    const Run first = kestroctl({"read"}, port);
    QCOMPARE(first.exitCode, 0);
    QCOMPARE(keysInOrder(first.out),
             QString("hostname description ssid wifi_password smtp_server smtp_port email_account "
                     "email_password addressee_1 addressee_2 addressee_3 addressee_4 addressee_5")
                 .split(' '));
    const QJsonObject original = jsonObject(first.out.toUtf8());
    QCOMPARE(original.value("smtp_port").toInt(), 587);

    // A profile without the passwords, edited by hand; write must keep them.
    const QString profile = dir_.filePath("profile.json");
    QCOMPARE(kestroctl({"read", "--omit-secrets", "-o", profile}, port).exitCode, 0);
    QFile file(profile);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QJsonObject edited = jsonObject(file.readAll());
    QVERIFY(!edited.contains("wifi_password") && !edited.contains("email_password"));
    edited["description"] = QStringLiteral("Dachgerät \"41\" \\ north");
    edited["smtp_port"] = 2525;
    writeFile(profile, QJsonDocument(edited).toJson());
    QCOMPARE(kestroctl({"write", "-", "--set", "hostname=unit-041"}, port, profile).exitCode, 0);

    QJsonObject expected = edited;
    expected["hostname"] = QStringLiteral("unit-041");
    expected["wifi_password"] = original.value("wifi_password");
    expected["email_password"] = original.value("email_password");
    QCOMPARE(readDevice(port), expected);
    QCOMPARE(kestroctl({"diff", profile, "--set", "hostname=unit-041"}, port).exitCode, 0);

    const Run dryRun =
        kestroctl({"write", profile, "--set", "hostname=unit-042", "--dry-run"}, port);
    QCOMPARE(dryRun.exitCode, 0);
    QCOMPARE(dryRun.out, QStringLiteral("hostname: \"unit-041\" -> \"unit-042\"\n"));
    QCOMPARE(readDevice(port), expected);
}

void KestroctlTest::waitsForAPortThatAppearsLate()
{
    const QString link = dir_.filePath("late-port");
    QProcess station;
    station.setProcessEnvironment(environmentWithPort(QString()));
    station.start(QStringLiteral(KESTROCTL_PATH), {"-p", link, "--wait-port", "60", "ping"});
    // The device appears only once the tool has said that it waits for it.
    QString err;
    QTRY_VERIFY_WITH_TIMEOUT((err += station.readAllStandardError()).contains("waiting up to 60 s"),
                             kRunPatienceMs);
    DevsimProcess sim;
    QVERIFY(sim.start({"--link", link}));
    QVERIFY(station.waitForFinished(kRunPatienceMs));
    QCOMPARE(station.exitCode(), 0);
    QCOMPARE(station.readAllStandardOutput(), QByteArray("Ping returned 0\n"));
}

QTEST_GUILESS_MAIN(KestroctlTest)
#include "kestroctl_test.moc"
