// kestroctl as a station script runs it: the real program against the real
// simulator on its pseudo-terminal, judged by exit code and output.
#include "tests/support/devsim_process.h"
#include "tests/support/qtest_support.h"

#include <QCryptographicHash>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTextCodec>
#include <QtTest>

#include <algorithm>
#include <csignal>

#include <grp.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace {

// Upper bound for anything the tests wait for; a correct run needs far less.
constexpr int kRunPatienceMs = 20000;
// How long a commissioned unit stays on its fixture in the station tests:
// longer than the station's pause between the pings that tell whether it is
// still there.
constexpr int kUnitStaysMs = 1500;
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

// Runs kestroctl to its end, with $KESTRO_PORT set to `port` if one is given,
// the file `input` as its standard input, and its standard output sent to
// `outputFile` if one is given.
Run kestroctl(const QStringList &arguments, const QString &port = QString(),
              const QString &input = QString(), Encoding encoding = Encoding::Local,
              const QString &outputFile = QString())
{
    QProcess process;
    process.setProcessEnvironment(environmentWithPort(port));
    if (!input.isEmpty())
        process.setStandardInputFile(input);
    if (!outputFile.isEmpty())
        process.setStandardOutputFile(outputFile);
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

// Whether `text` contains `expected`, or with a leading '!' does not
// contain the rest.
bool holds(const QString &text, const QString &expected)
{
    if (expected.startsWith(QLatin1Char('!')))
        return !text.contains(expected.mid(1));
    return text.contains(expected);
}

QJsonObject readJsonFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? jsonObject(file.readAll()) : QJsonObject();
}

// Every line of a station's journal, each of which must be a JSON object.
QList<QJsonObject> journalLines(const QString &path)
{
    QFile file(path);
    QList<QJsonObject> lines;
    if (!file.open(QIODevice::ReadOnly))
        return lines;
    for (const QByteArray &line : file.readAll().split('\n')) {
        if (!line.isEmpty())
            lines << jsonObject(line);
    }
    return lines;
}

// A station run that the test watches while it swaps the units.
struct StationRun {
    QProcess process;
    QString out;

    explicit StationRun(const QStringList &arguments)
    {
        process.setProcessEnvironment(environmentWithPort(QString()));
        process.start(QStringLiteral(KESTROCTL_PATH), arguments);
    }
    // Waits for a line of standard output that contains `text`.
    bool printed(const QString &text)
    {
        QElapsedTimer waited;
        waited.start();
        while (!out.contains(text) && waited.elapsed() < kRunPatienceMs) {
            process.waitForReadyRead(100);
            out += QString::fromUtf8(process.readAllStandardOutput());
        }
        return out.contains(text);
    }
    int finish()
    {
        if (!process.waitForFinished(kRunPatienceMs))
            process.kill();
        out += QString::fromUtf8(process.readAllStandardOutput());
        return process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    }
};

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
    void resultsGoWhereTheyAreTold();
    void onePortOneProgram();
    void explainsAPortTheUserMayNotOpen_data();
    void explainsAPortTheUserMayNotOpen();
    void stationSwapsUnitsJournalsAndResumes();
    void stationServesTwoPortsAtOnce();
    void stationKnowsEachUnitByItsIdentity();
    void stationFailsAUnitAtEachStep_data();
    void stationFailsAUnitAtEachStep();
    void stationStopsWhenTheJournalCannotBeWritten();
    void stationFinishesTheUnitInProgressOnSigint();
    void stationSetsAsideARowThatKeepsFailing();
    void stationOwnsItsFilesAndResumesByContent();
    void stationStopsAtOnceOnASecondSigint();
    void aRowStaysWithTheUnitThatMayHoldIt();
    void aFixtureThatFailsEveryUnitIsNamed();

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
    writeFile(dir_.filePath("empty.pem"), QByteArray());
    writeFile(dir_.filePath("colour.csv"), "unit,hostname,colour\nA,unit-a,red\n");
    writeFile(dir_.filePath("latin1.csv"), "unit,hostname\nA,unit-a\nB,Geb\xe4ude-2\n");
    writeFile(dir_.filePath("short.csv"), "unit,hostname\nA\n");
    writeFile(dir_.filePath("open-quote.csv"), "unit,hostname\nA,\"unit-a\n");
    writeFile(dir_.filePath("certs.csv"), "hostname,certificate\nunit-a,full.pem\nunit-b,none.pem\n"
                                          "unit-c,big.pem\nunit-d,\n");
    writeFile(dir_.filePath("port-1e999.json"), R"({"smtp_port": 1e999})");
    writeFile(dir_.filePath("port-fraction.json"), "{\n  \"smtp_port\": 587.0\n}");
    writeFile(dir_.filePath("colour-1e999.json"), R"({"colour": -1e999})");
    writeFile(dir_.filePath("array-1e9999.json"), "[1.5e+9999]");
    writeFile(dir_.filePath("bare-quote.csv"), "unit,hostname,description\n"
                                               "A,unit-a,\"roof, north\"\nB,unit-b,37\xc2\xb0"
                                               "36'37.8\"N\n");
    writeFile(dir_.filePath("twice.json"), R"({"hostname": "unit-1", "hostname": "unit-2"})");
    writeFile(dir_.filePath("surrogate.json"), R"({"ssid": "x", "description": "a\ud800b"})");
    writeFile(dir_.filePath("port-25x.csv"), "unit,hostname,smtp_port\nA,unit-a,25x\n");
    writeFile(dir_.filePath("host-twice.csv"), "unit,hostname\nA,unit-a\nB,unit-b\nC,Unit-A\n");
    writeFile(dir_.filePath("unit-twice.csv"), "unit,hostname\nA,unit-a\nA,unit-b\n");
    writeFile(dir_.filePath("blank.csv"), "unit,hostname\n,\r\n,\n");
    writeFile(dir_.filePath("one.csv"), "unit,hostname\nA,unit-a\n");
    QCOMPARE(::mkfifo(qPrintable(dir_.filePath("fifo")), 0600), 0);
    writeFile(dir_.filePath("other.csv"), "unit,hostname\nA,unit-a\n");
    writeFile(dir_.filePath("other.csv.journal"),
              "{\"row\":1,\"row_key\":\"" + QByteArray(64, 'f') + "\",\"result\":\"passed\"}\n");
    writeFile(dir_.filePath("open.csv"), "unit,hostname\nA,unit-a\n");
    writeFile(dir_.filePath("open.csv.journal"), QByteArray());
    QVERIFY(QFile::setPermissions(dir_.filePath("open.csv.journal"),
                                  QFile::ReadOwner | QFile::WriteOwner | QFile::ReadOther));
    writeFile(dir_.filePath("escape.csv"), "unit,host\x1b[2Jname\nA,unit-a\n");
    // A fixture whose unit is not plugged in yet: its link leads nowhere.
    QVERIFY(QFile::link(dir_.filePath("later"), dir_.filePath("later-link")));
}

void KestroctlTest::exitPaths_data()
{
    QTest::addColumn<bool>("device");           // a simulator to talk to, on $KESTRO_PORT
    QTest::addColumn<QStringList>("simulator"); // its options
    QTest::addColumn<QStringList>("arguments"); // "@/" stands for the fixture folder
    QTest::addColumn<int>("exitCode");
    // What standard output and standard error must contain; after a leading
    // '!', what they must not.
    QTest::addColumn<QString>("out");
    QTest::addColumn<QString>("err");
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
    // The parser throws for a number beyond a double's range; that must be a
    // refusal like any other, not the end of the program.
    QTest::newRow("5: check, port out of range")
        << false << QStringList() << QStringList{"check", "@/port-1e999.json"} << 5 << none
        << "port-1e999.json: smtp_port: number out of range\n"
        << 0 << none;
    QTest::newRow("5: diff, unknown key out of range")
        << true << QStringList() << QStringList{"diff", "@/colour-1e999.json"} << 5 << none
        << "colour-1e999.json: colour: number out of range" << 0 << none;
    QTest::newRow("5: write, number out of range in an array")
        << true << QStringList() << QStringList{"write", "@/array-1e9999.json"} << 5 << none
        << "array-1e9999.json: number out of range" << 0 << fresh;
    QTest::newRow("5: station, profile out of range")
        << true << QStringList()
        << QStringList{"station", "@/short.csv", "--profile", "@/port-1e999.json"} << 5 << none
        << "port-1e999.json: smtp_port: number out of range" << 0 << fresh;
    // The window and kestroctl read the one port the same way: not as 587.
    QTest::newRow("5: check, port with a fraction")
        << false << QStringList() << QStringList{"check", "@/port-fraction.json"} << 5 << none
        << "port-fraction.json: key \"smtp_port\" must be a whole number, written without a "
           "fraction or an exponent"
        << 0 << none;
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
    QTest::newRow("5: station, unknown column")
        << true << QStringList() << QStringList{"station", "@/colour.csv"} << 5 << none
        << "colour.csv: unknown column \"colour\"" << 0 << fresh;
    QTest::newRow("5: station, not UTF-8")
        << true << QStringList() << QStringList{"station", "@/latin1.csv"} << 5 << none
        << "latin1.csv: row 2: not valid UTF-8" << 0 << fresh;
    QTest::newRow("5: station, short row")
        << true << QStringList() << QStringList{"station", "@/short.csv"} << 5 << none
        << "row 1: 1 fields, but the header names 2 columns" << 0 << fresh;
    QTest::newRow("5: station, open quote")
        << true << QStringList() << QStringList{"station", "@/open-quote.csv"} << 5 << none
        << "open-quote.csv: line 2: a quoted cell is not closed before the end of the file" << 0
        << fresh;
    QTest::newRow("5: station, bare quote inside a cell")
        << true << QStringList() << QStringList{"station", "@/bare-quote.csv"} << 5 << none
        << "bare-quote.csv: line 3: a quote inside a cell that does not start with one; quote "
           "the whole cell"
        << 0 << fresh;
    QTest::newRow("5: station, certificates")
        << true << QStringList()
        << QStringList{"station", "@/certs.csv", "--certificate", "@/empty.pem"} << 5 << none
        << "none.pem: cannot read: No such file or directory\nrow 3: certificate " << 0 << fresh;
    QTest::newRow("5: station, certificate too big")
        << true << QStringList()
        << QStringList{"station", "@/certs.csv", "--certificate", "@/empty.pem"} << 5 << none
        << "big.pem: larger than 8192 bytes\nrow 4: certificate " << 0 << fresh;
    QTest::newRow("5: station, default certificate empty")
        << true << QStringList()
        << QStringList{"station", "@/certs.csv", "--certificate", "@/empty.pem"} << 5 << none
        << "empty.pem: empty\nkestroctl: " << 0 << fresh;
    // The whole manifest is checked before a port opens: what no device could
    // take, two units given one identity, an input that is no regular file.
    QTest::newRow("5: station, a port that is no number, with no server")
        << true << QStringList() << QStringList{"station", "@/port-25x.csv"} << 5 << none
        << "row 1: SMTP Port: Decimal digits only\n"
        << 0 << fresh;
    QTest::newRow("5: station, a host name twice")
        << true << QStringList() << QStringList{"station", "@/host-twice.csv"} << 5 << none
        << "row 3: hostname Unit-A is also row 1's\n"
        << 0 << fresh;
    QTest::newRow("5: station, a unit label twice")
        << true << QStringList() << QStringList{"station", "@/unit-twice.csv"} << 5 << none
        << "row 2: unit A is also row 1's\n"
        << 0 << fresh;
    QTest::newRow("5: station, blank rows only")
        << true << QStringList() << QStringList{"station", "@/blank.csv"} << 5 << none
        << "blank.csv: no units: only the header row" << 0 << fresh;
    QTest::newRow("5: station, a FIFO manifest")
        << true << QStringList() << QStringList{"station", "@/fifo"} << 5 << none
        << "/fifo is not a regular file; nothing sent" << 0 << fresh;
    QTest::newRow("5: station, a FIFO certificate")
        << true << QStringList() << QStringList{"station", "@/one.csv", "--certificate", "@/fifo"}
        << 5 << none << "/fifo is not a regular file\nkestroctl: " << 0 << fresh;
    QTest::newRow("5: station, a FIFO profile")
        << true << QStringList() << QStringList{"station", "@/one.csv", "--profile", "@/fifo"} << 5
        << none << "/fifo is not a regular file; nothing sent" << 0 << fresh;
    QTest::newRow("5: station, the journal of another manifest")
        << true << QStringList() << QStringList{"station", "@/other.csv"} << 5 << none
        << "other.csv.journal belongs to another manifest; nothing sent" << 0 << fresh;
    QTest::newRow("5: station, passwords into a journal others may read")
        << true << QStringList() << QStringList{"station", "@/open.csv", "--show-secrets"} << 5
        << none << "open.csv.journal can be read by others" << 0 << fresh;
    QTest::newRow("5: station, a journal that is a device")
        << true << QStringList() << QStringList{"station", "@/open.csv", "--journal", "/dev/full"}
        << 5 << none << "/dev/full is not a regular file; nothing sent" << 0 << fresh;
    QTest::newRow("2: several ports, not station")
        << false << QStringList() << QStringList{"-p", "a", "-p", "b", "ping"} << 2 << none
        << "ping takes one port; only station takes several -p" << 0 << none;
    QTest::newRow("2: station, one port by two names")
        << false << QStringList()
        << QStringList{"-p", "ttyS0", "-p", "/dev/ttyS0", "station", "x.csv"} << 2 << none
        << "-p ttyS0 and -p /dev/ttyS0 are the same port" << 0 << none;
    QTest::newRow("2: station, a link and the port it leads to, not there yet")
        << false << QStringList()
        << QStringList{"-p", "@/later", "-p", "@/one", "-p", "@/later-link", "station", "x.csv"}
        << 2 << none << "/later and -p " + dir_.path() + "/later-link are the same port" << 0
        << none;
    QTest::newRow("5: station, a control character in a column name")
        << true << QStringList() << QStringList{"station", "@/escape.csv"} << 5 << none
        << "unknown column \"host\\x1b[2Jname\"" << 0 << fresh;
    QTest::newRow("2: station does not wait a time")
        << false << QStringList() << QStringList{"-p", "a", "--wait-port", "5", "station", "x.csv"}
        << 2 << none << "--wait-port does not apply to station" << 0 << none;
    QTest::newRow("0: trace") << true << QStringList() << QStringList{"--trace", "ping"} << 0
                              << "Ping returned 0"
                              << "Sent 8 bytes fe 04 00 00 00 00 00 04\nPing sent." << 0 << none;
    QTest::newRow("0: trace lines end in \\n only")
        << true << QStringList() << QStringList{"--trace", "read"} << 0 << "\"hostname\""
        << "!\r" << 0 << none;
    QTest::newRow("0: a late answer is set aside, and nothing is sent twice")
        << true << QStringList{"--delay", "2500"}
        << QStringList{"-t", "3000", "write", "@/site.json"} << 0
        << "Read back: all 13 values match."
        << "!sending again" << 7500 << none;
    QTest::newRow("4: a regular file is no port")
        << false << QStringList() << QStringList{"-p", "@/site.json", "--wait-port", "60", "ping"}
        << 4 << none << "/site.json is not a serial port" << 0 << none;
    QTest::newRow("4: a directory ends the wait at once")
        << false << QStringList() << QStringList{"-p", "@/", "--wait-port", "60", "ping"} << 4
        << none << "is not a serial port" << 0 << none;
    QTest::newRow("2: a time-out of 0")
        << false << QStringList() << QStringList{"-t", "0", "ping"} << 2 << none
        << "--timeout: a whole number of milliseconds from 1 to "
           "3600000"
        << 0 << none;
    QTest::newRow("5: an empty certificate")
        << true << QStringList() << QStringList{"upload-cert", "@/empty.pem"} << 5 << none
        << "empty.pem is empty; nothing sent" << 0 << none;
    QTest::newRow("6: diff hides the passwords")
        << true << QStringList()
        << QStringList{"diff", "@/site.json", "--set", "email_password=n3w-secret"} << 6
        << "email_password: \"********\" -> \"********\"\n"
        << none << 0 << none;
    QTest::newRow("0: write says what it changes, then reads back")
        << true << QStringList()
        << QStringList{"write", "@/site.json", "--set", "wifi_password=n3w-secret",
                       "--show-secrets"}
        << 0
        << "wifi_password: \"correct horse battery\" -> \"n3w-secret\"\nsmtp_port: 587 -> 465\n"
           "Config Update returned 0"
        << none << 0 << "kestro-3-sim";
    QTest::newRow("5: check, with no port")
        << false << QStringList() << QStringList{"check", "@/site.json",
                                                 "--set", "smtp_server=mail..example",
                                                 "--set", "addressee_1=a@b.example",
                                                 "--set", "email_account="}
        << 5
        << "SMTP Server Name: Group between dots must be 1-63 alphanumeric or hyphen characters in "
           "length.\nEmail Account: Email address not specified.\n"
        << none << 0 << none;
    QTest::newRow("0: check passes")
        << false << QStringList() << QStringList{"check", "@/site.json"} << 0
        << "All 2 given values pass the checks." << none << 0 << none;
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
    QVERIFY2(holds(run.out, out), qPrintable(run.out));
    QVERIFY2(holds(run.err, err), qPrintable(run.err));
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

// Copies of /dev/null and /dev/full, made with mknod in the fixture folder
// (never the machine's own nodes): they must stay devices, and a write that
// fails must be said.
void KestroctlTest::resultsGoWhereTheyAreTold()
{
    DevsimProcess sim;
    QVERIFY(sim.start());
    const Run toStdout = kestroctl({"read", "-o", "-"}, sim.portPath());
    QCOMPARE(toStdout.exitCode, 0);
    QVERIFY(toStdout.out.contains("\"hostname\": \"kestro-3-sim\""));
    QVERIFY(!QFile::exists("-"));

    const QString file = dir_.filePath("secrets.json");
    QCOMPARE(kestroctl({"read", "-o", file}, sim.portPath()).exitCode, 0);
    struct stat node;
    QVERIFY(stat(QFile::encodeName(file), &node) == 0);
    QCOMPARE(node.st_mode & 0777, 0600u);

    if (geteuid() != 0)
        QSKIP("mknod needs root: the device-node cases are skipped");
    const QString null = dir_.filePath("null"), full = dir_.filePath("full");
    QVERIFY(mknod(QFile::encodeName(null), S_IFCHR | 0666, makedev(1, 3)) == 0);
    QVERIFY(mknod(QFile::encodeName(full), S_IFCHR | 0666, makedev(1, 7)) == 0);
    QCOMPARE(kestroctl({"read", "-o", null}, sim.portPath()).exitCode, 0);
    QVERIFY(stat(QFile::encodeName(null), &node) == 0 && S_ISCHR(node.st_mode));
    const Run refused = kestroctl({"read", "-o", full}, sim.portPath());
    QCOMPARE(refused.exitCode, 7);
    QVERIFY(refused.err.contains("cannot write: No space left on device"));
    // The device took the values even though nobody could be told.
    const Run unheard =
        kestroctl({"write", dir_.filePath("site.json"), "--set", "hostname=unit-77"},
                  sim.portPath(), QString(), Encoding::Local, full);
    QCOMPARE(unheard.exitCode, 7);
    QVERIFY(unheard.err.contains("the device part ended with exit 0"));
    QCOMPARE(readDevice(sim.portPath()).value("hostname").toString(), QString("unit-77"));
    QVERIFY(stat(QFile::encodeName(full), &node) == 0 && S_ISCHR(node.st_mode));
}

// A link and its target are one port: of two runs at once, one gets it and
// the other is told that it is taken.
void KestroctlTest::onePortOneProgram()
{
    const QString link = dir_.filePath("shared-port");
    DevsimProcess sim;
    QVERIFY(sim.start({"--link", link, "--delay", "1500"}));
    QProcess first, second;
    first.setProcessEnvironment(environmentWithPort(QString()));
    second.setProcessEnvironment(environmentWithPort(QString()));
    first.start(QStringLiteral(KESTROCTL_PATH), {"-p", link, "ping"});
    second.start(QStringLiteral(KESTROCTL_PATH), {"-p", sim.portPath(), "ping"});
    QVERIFY(first.waitForFinished(kRunPatienceMs) && second.waitForFinished(kRunPatienceMs));
    QList<int> codes{first.exitCode(), second.exitCode()};
    std::sort(codes.begin(), codes.end());
    QCOMPARE(codes, (QList<int>{0, 4}));
    const QByteArray refused = (first.exitCode() == 4 ? first : second).readAllStandardError();
    QVERIFY2(refused.contains("is in use by another program"), refused.constData());
    const QString ports = QString::fromUtf8([&] {
        QProcess listing;
        QProcessEnvironment environment = environmentWithPort(QString());
        environment.insert("KESTRO_EXTRA_PORTS", link);
        listing.setProcessEnvironment(environment);
        listing.start(QStringLiteral(KESTROCTL_PATH), {"ports", "--json"});
        listing.waitForFinished(kRunPatienceMs);
        return listing.readAllStandardOutput();
    }());
    QVERIFY2(
        ports.contains(
            QStringLiteral("{\"port\":\"shared-port\",\"path\":\"%1\",\"by_id\":null,").arg(link)),
        qPrintable(ports));
}

void KestroctlTest::explainsAPortTheUserMayNotOpen_data()
{
    QTest::addColumn<QString>("groupName"); // owns the port
    QTest::addColumn<int>("mode");
    QTest::addColumn<QString>("hint"); // what follows "Permission denied on PORT: "
    QTest::newRow("dialout") << "dialout" << 0660
                             << "add your user to the group dialout, which owns it, and log in "
                                "again.";
    QTest::newRow("another group")
        << "uucp" << 0660 << "add your user to the group uucp, which owns it, and log in again.";
    QTest::newRow("a group that may not read")
        << "tty" << 0620 << "only its owner (root) may use it; ask an administrator for access.";
}

// A station run by a user who may not use the port is told what to do about it.
void KestroctlTest::explainsAPortTheUserMayNotOpen()
{
    QFETCH(QString, groupName);
    QFETCH(int, mode);
    QFETCH(QString, hint);
    if (::geteuid() != 0)
        QSKIP("needs root, to run kestroctl as the unprivileged user nobody");
    const group *owner = ::getgrnam(qPrintable(groupName));
    if (!owner)
        QSKIP(qPrintable(QStringLiteral("this system has no group %1").arg(groupName)));
    // A copy that nobody can reach, wherever the build tree lies.
    const QString program = dir_.filePath(QStringLiteral("kestroctl-for-nobody"));
    QVERIFY(QFile::exists(program) || QFile::copy(QStringLiteral(KESTROCTL_PATH), program));
    QCOMPARE(::chmod(QFile::encodeName(dir_.path()).constData(), 0755), 0);
    DevsimProcess sim;
    QVERIFY(sim.start());
    const QByteArray port = QFile::encodeName(sim.portPath());
    QCOMPARE(::chown(port.constData(), 0, owner->gr_gid), 0);
    QCOMPARE(::chmod(port.constData(), mode_t(mode)), 0);

    QProcess station;
    station.start(QStringLiteral("setpriv"), {"--reuid=nobody", "--regid=nogroup", "--clear-groups",
                                              program, "-p", sim.portPath(), "ping"});
    QVERIFY(station.waitForFinished(kRunPatienceMs));
    const QString err = QString::fromUtf8(station.readAllStandardError());
    QVERIFY2(station.exitCode() == 4, qPrintable(err));
    const QString line = QStringLiteral("kestroctl: Permission denied on %1: %2\n");
    QVERIFY2(err.endsWith(line.arg(sim.portPath(), hint)), qPrintable(err));
}

void KestroctlTest::stationSwapsUnitsJournalsAndResumes()
{
    const QString link = dir_.filePath("fixture");
    const QString manifest = dir_.filePath("units.csv");
    const QString journal = manifest + ".journal";
    const QByteArray certificate = QByteArray(1000, '\x5a') + "\r\n";
    writeFile(dir_.filePath("unit-a.pem"), certificate);
    writeFile(dir_.filePath("mail.json"),
              R"({"smtp_server": "mail.plant.example", "ssid": "line-3"})");
    const QStringList station = {
        "-p", link,      "-t",     "500",       "-r",
        "1",  "station", manifest, "--profile", dir_.filePath("mail.json")};

    // A bad row stops the run before any port is opened.
    DevsimProcess first;
    QVERIFY(first.start({"--link", link, "--ignore-updates", "--state", dir_.filePath("s1.json")}));
    writeFile(manifest, "unit,hostname,smtp_port\nA-1,unit-a,25\nB-2,unit-b,26\n");
    const Run refused = kestroctl(station);
    QCOMPARE(refused.exitCode, 5);
    QVERIFY2(refused.err.startsWith("row 2: SMTP Port: Valid values are 25, 465, 587, and 2525\n"),
             qPrintable(refused.err));
    QVERIFY(!QFile::exists(journal));

    // Two rows, one fixture: the first unit forgets its update, so row 1 goes
    // to the next unit; each unit is taken off by stopping its simulator.
    writeFile(manifest, "unit,hostname,certificate,description\r\n"
                        "A-1,unit-a,unit-a.pem,\"North, \"\"A\"\"\"\r\nB-2,unit-b,,\r\n");
    StationRun run(station);
    QVERIFY2(run.printed(QString("row 1 (A-1) on %1: failed at verify: hostname, ").arg(link)),
             qPrintable(run.out));
    // Each unit stays on the fixture a while, pinged, and is never taken twice.
    QTest::qWait(kUnitStaysMs);
    first.stop();
    DevsimProcess second;
    QVERIFY(second.start({"--link", link, "--state", dir_.filePath("s2.json")}));
    QVERIFY2(run.printed("row 1 (A-1) on " + link + ": passed in"), qPrintable(run.out));
    QTest::qWait(kUnitStaysMs);
    second.stop();
    // The third unit holds the first one's settings but for its host name;
    // the description, which row 2 leaves to the device, keeps them.
    QJsonObject used = readJsonFile(dir_.filePath("s2.json"));
    used.insert("hostname", "old-unit");
    writeFile(dir_.filePath("s3.json"), QJsonDocument(used).toJson());
    DevsimProcess third;
    QVERIFY(third.start({"--link", link, "--state", dir_.filePath("s3.json")}));
    QCOMPARE(run.finish(), 0);
    const QStringList out = run.out.split('\n');
    // One line a unit, the summary, its fixture's and the causes' lines, and
    // the last line's end.
    QCOMPARE(out.size(), 7);
    QVERIFY2(out[2].startsWith("row 2 (B-2) on " + link + ": passed in ") &&
                 out[2].endsWith(" s [2 of 2 passed]") &&
                 out[3].startsWith("station: 2 of 2 rows passed, 1 unit failed, "),
             qPrintable(run.out));

    // What each unit really holds, and what the journal says of it.
    QVERIFY(!QFile::exists(dir_.filePath("s1.json")));
    const QJsonObject unitA = readJsonFile(dir_.filePath("s2.json"));
    QCOMPARE(unitA.value("hostname").toString(), QString("unit-a"));
    QCOMPARE(unitA.value("description").toString(), QString("North, \"A\""));
    QCOMPARE(unitA.value("ssid").toString(), QString("line-3"));
    const QJsonObject unitB = readJsonFile(dir_.filePath("s3.json"));
    QCOMPARE(unitB.value("hostname").toString(), QString("unit-b"));
    QCOMPARE(unitB.value("description").toString(), QString("North, \"A\""));
    const QList<QJsonObject> lines = journalLines(journal);
    QCOMPARE(lines.size(), 3);
    QCOMPARE(lines[0].value("failed_step").toString(), QString("verify"));
    QCOMPARE(lines[0].value("values").toObject().value("hostname").toString(), "kestro-3-sim");
    QCOMPARE(lines[1].value("result").toString(), QString("passed"));
    QVERIFY(lines[1].value("failed_step").isNull());
    QJsonObject shown = unitA; // the journal leaves the passwords out
    shown.remove("wifi_password");
    shown.remove("email_password");
    QCOMPARE(lines[1].value("values").toObject(), shown);
    QCOMPARE(lines[1].value("certificate_sha256").toString(),
             QString(QCryptographicHash::hash(certificate, QCryptographicHash::Sha256).toHex()));
    QCOMPARE(lines[2].value("row").toInt(), 2);
    QCOMPARE(lines[2].value("port").toString(), link);
    QVERIFY(lines[2].value("certificate_sha256").isNull());

    // Resume: every row has passed, so no port is opened; with a row more,
    // only that row is left, and a signal ends the wait for its unit.
    third.stop();
    const Run again = kestroctl(station);
    QCOMPARE(again.exitCode, 0);
    QVERIFY2(again.out.contains("all 2 rows passed already"), qPrintable(again.out));
    QVERIFY(!again.err.contains("waiting"));
    writeFile(manifest,
              "unit,hostname,certificate,description\r\n"
              "A-1,unit-a,unit-a.pem,\"North, \"\"A\"\"\"\r\nB-2,unit-b,,\r\nC-3,unit-c,,\r\n");
    StationRun resumed(station);
    QString err;
    QTRY_VERIFY_WITH_TIMEOUT(
        (err += resumed.process.readAllStandardError()).contains("waiting for the next unit"),
        kRunPatienceMs);
    resumed.process.terminate();
    QCOMPARE(resumed.finish(), 130);
    QCOMPARE(resumed.out.left(resumed.out.indexOf(',')), QString("station: 2 of 3 rows passed"));
    QCOMPARE(journalLines(journal).size(), 3);
}

void KestroctlTest::stationServesTwoPortsAtOnce()
{
    DevsimProcess one;
    DevsimProcess two;
    QVERIFY(one.start({"--state", dir_.filePath("one.json")}));
    QVERIFY(two.start({"--state", dir_.filePath("two.json")}));
    const QString manifest = dir_.filePath("pair.csv");
    writeFile(manifest, "hostname,unit\nunit-1,first\nunit-2,second\n");
    // A crash left half a line: it counts for nothing and is joined to nothing.
    const QString journal = dir_.filePath("pair.jsonl");
    writeFile(journal, R"({"row":1,"result":"passed","unit":"fi)");
    QVERIFY(QFile::setPermissions(journal, QFile::ReadOwner | QFile::WriteOwner));
    const Run run = kestroctl({"-p", one.portPath(), "-p", two.portPath(), "station", manifest,
                               "--journal", journal, "--show-secrets"});
    QVERIFY2(run.exitCode == 0, qPrintable(run.err));
    QVERIFY2(run.err.contains("pair.jsonl: line 1 is not a whole entry"), qPrintable(run.err));
    QList<QJsonObject> lines = journalLines(journal);
    QCOMPARE(lines.size(), 3);
    QVERIFY(lines.takeFirst().isEmpty());
    QVERIFY(lines[0].value("port") != lines[1].value("port"));
    for (const QJsonObject &line : lines) {
        const QString state = line.value("port") == one.portPath() ? "one.json" : "two.json";
        QCOMPARE(readJsonFile(dir_.filePath(state)), line.value("values").toObject());
        QCOMPARE(line.value("values").toObject().value("hostname").toString(),
                 QString("unit-%1").arg(line.value("row").toInt()));
    }
}

// One fixture whose adapter stays, its units swapped with short silences:
// each unit is read before it takes a row, so a unit that holds a row gets
// that row again, and one that holds a passed row is told to be removed and
// is never written. Beside it, a device that answers only badly is named.
void KestroctlTest::stationKnowsEachUnitByItsIdentity()
{
    const QString manifest = dir_.filePath("known.csv");
    writeFile(manifest, "unit,hostname\nA-1,unit-a\nB-2,unit-b\n");
    DevsimProcess fresh;
    QVERIFY(fresh.start());
    QJsonObject holding = readDevice(fresh.portPath()); // a whole configuration
    holding.insert("hostname", "unit-b");
    const QByteArray heldB = QJsonDocument(holding).toJson();
    writeFile(dir_.filePath("known1.json"), heldB); // written, then not recorded
    writeFile(dir_.filePath("known2.json"), heldB); // the same identity once more
    DevsimProcess fixture;
    QVERIFY(fixture.start({"--swap-gap", "300", "--state", dir_.filePath("known1.json"), "--state",
                           dir_.filePath("known2.json"), "--state", dir_.filePath("known3.json")}));
    DevsimProcess broken;
    QVERIFY(broken.start({"--wrong-length"}));
    StationRun run(
        {"-p", fixture.portPath(), "-p", broken.portPath(), "-t", "300", "station", manifest});
    const auto swap = [&fixture] {
        return ::kill(pid_t(fixture.process().processId()), SIGUSR1) == 0;
    };
    QVERIFY2(run.printed("row 2 (B-2) on " + fixture.portPath() + ": passed in "),
             qPrintable(run.out));
    QVERIFY(swap());
    QString err;
    QTRY_VERIFY_WITH_TIMEOUT((err += run.process.readAllStandardError())
                                 .contains(fixture.portPath() +
                                           ": row 2 (B-2)'s unit is still on the fixture; "
                                           "remove it\n"),
                             kRunPatienceMs);
    QVERIFY(swap());
    QCOMPARE(run.finish(), 0);
    err += run.process.readAllStandardError();
    QVERIFY2(run.out.contains("row 1 (A-1) on " + fixture.portPath() + ": passed in "),
             qPrintable(run.out));
    QCOMPARE(err.count(broken.portPath() +
                       ": a device answers, but badly: Ping: Invalid message length"),
             1);
    QCOMPARE(readJsonFile(dir_.filePath("known2.json")), holding);
    QCOMPARE(readJsonFile(dir_.filePath("known3.json")).value("hostname").toString(),
             QString("unit-a"));
    QCOMPARE(journalLines(manifest + ".journal").size(), 2);
}

void KestroctlTest::stationFailsAUnitAtEachStep_data()
{
    QTest::addColumn<QStringList>("simulator");
    QTest::addColumn<QStringList>("options"); // kestroctl's, before the command
    QTest::addColumn<QString>("line");        // the unit's result line; @ stands for the fixture
    QTest::addColumn<QString>("step");        // in the journal
    QTest::addColumn<QString>("message");     // the journal's message begins so
    // What became of the row's identity (the journal's "identity"), and the
    // host name the unit's state file holds in the end (empty: it took no update).
    QTest::addColumn<QString>("identity");
    QTest::addColumn<QString>("holds");
    QTest::newRow("ping answered with status 3")
        << QStringList{"--status", "3"} << QStringList()
        << "unit on @: failed at ping: Ping returned 3 [0 of 1 passed]"
        << "ping"
        << "Ping returned 3"
        << ""
        << "";
    QTest::newRow("port lost at the read-back: the row is kept for the unit")
        << QStringList{"--hangup-after", "3"} << QStringList()
        << "row 1 (A-1) on @: failed at port: Config Query: lost the port @: "
        << "port"
        << "Config Query: lost the port"
        << "kept"
        << "unit-a";
    QTest::newRow("no answer to the certificate: its own values written back")
        << QStringList{"--bad-checksum-every", "5"} << QStringList{"-r", "0"}
        << "row 1 (A-1) on @: failed at certificate: Certificate Upload: no valid response after "
           "1 try; its own values were written back, the row goes to the next unit [0 of 1 "
           "passed]"
        << "certificate"
        << "Certificate Upload: no valid response"
        << "returned"
        << "kestro-3-sim";
    QTest::newRow("an update ignored: the unit never held the row")
        << QStringList{"--ignore-updates"} << QStringList()
        << "row 1 (A-1) on @: failed at verify: hostname differs [0 of 1 passed]"
        << "verify"
        << "hostname differs"
        << "not_held"
        << "";
}

// Each unit that fails is journalled at its step, with the diagnosis the
// operator saw; the station goes on until it is stopped.
void KestroctlTest::stationFailsAUnitAtEachStep()
{
    QFETCH(QStringList, simulator);
    QFETCH(QStringList, options);
    QFETCH(QString, line);
    QFETCH(QString, step);
    QFETCH(QString, message);
    QFETCH(QString, identity);
    QFETCH(QString, holds);
    const QString link = dir_.filePath("failing");
    const QString state = dir_.filePath("failing.json"); // written at each update it takes
    QFile::remove(state);
    const QString manifest = dir_.filePath("failing.csv");
    const QString journal = manifest + ".journal";
    QFile::remove(journal);
    writeFile(dir_.filePath("failing.pem"), QByteArray(100, 'p'));
    writeFile(manifest, "unit,hostname,certificate\nA-1,unit-a,failing.pem\n");
    DevsimProcess device;
    QVERIFY(device.start(simulator + QStringList{"--link", link, "--state", state}));
    StationRun run(options + QStringList{"-p", link, "-t", "300", "station", manifest});
    QVERIFY2(run.printed(line.replace('@', link)), qPrintable(run.out));
    // Its figures on SIGUSR1, and again at the end: one unit tried on the
    // fixture, none passed, and what failed it.
    const QString figures = QStringLiteral("  %1: 1 tried, 0 passed, first-pass yield 0%; last "
                                           "failure: %2: %3")
                                .arg(link, step, message);
    ::kill(pid_t(run.process.processId()), SIGUSR1);
    QVERIFY2(run.printed("station, so far:\n" + figures), qPrintable(run.out));
    QVERIFY2(run.printed("  commonest failures: " + step + ": " + message), qPrintable(run.out));
    run.process.terminate();
    QCOMPARE(run.finish(), 130);
    QVERIFY2(run.out.contains("station: 0 of 1 rows passed, "), qPrintable(run.out));
    QCOMPARE(run.out.count(figures), 2);
    const QList<QJsonObject> lines = journalLines(journal);
    QVERIFY(!lines.isEmpty());
    QCOMPARE(lines[0].value("result").toString(), QString("failed"));
    QCOMPARE(lines[0].value("failed_step").toString(), step);
    QVERIFY2(lines[0].value("message").toString().startsWith(message),
             qPrintable(lines[0].value("message").toString()));
    QCOMPARE(lines[0].value("row").isNull(), step == "ping");
    QVERIFY(lines[0].value("certificate_sha256").isNull());
    QCOMPARE(lines[0].value("identity").toString(), identity);
    QCOMPARE(readJsonFile(state).value("hostname").toString(), holds);
}

// A journal that stops taking lines (a full disk; here a file-size limit)
// stops the station: the unit's line says that its pass was not recorded,
// the part of the line that was written is taken back, and the exit code is 7.
void KestroctlTest::stationStopsWhenTheJournalCannotBeWritten()
{
    const QString manifest = dir_.filePath("full.csv");
    writeFile(manifest, "unit,hostname\nA-1,unit-a\nB-2,unit-b\n");
    // An earlier run's line, leaving room for part of the next one only.
    QByteArray earlier = R"({"row":9,"unit":"Z-9","result":"failed","message":")";
    earlier += QByteArray(1000 - earlier.size() - 3, 'x') + "\"}\n";
    writeFile(manifest + ".journal", earlier);
    DevsimProcess device;
    QVERIFY(device.start({"--state", dir_.filePath("full-unit.json")}));
    QProcess shell;
    shell.setProcessEnvironment(environmentWithPort(QString()));
    shell.start("sh",
                {"-c", "ulimit -f 2; trap '' XFSZ; exec \"$0\" \"$@\"",
                 QStringLiteral(KESTROCTL_PATH), "-p", device.portPath(), "station", manifest});
    QVERIFY(shell.waitForFinished(kRunPatienceMs));
    const QString out = QString::fromUtf8(shell.readAllStandardOutput());
    const QString err = QString::fromUtf8(shell.readAllStandardError());
    QCOMPARE(shell.exitCode(), 7);
    QVERIFY2(err.contains(manifest + ".journal: cannot write: File too large; the station takes "
                                     "no more units"),
             qPrintable(err));
    QVERIFY2(out.startsWith("row 1 (A-1) on " + device.portPath() +
                            ": passed on the unit but NOT RECORDED: " + manifest +
                            ".journal: cannot write: File too large; keep the unit on its "
                            "fixture [0 of 2 passed]\n"),
             qPrintable(out));
    QVERIFY2(out.contains("station: 0 of 2 rows passed"), qPrintable(out));
    QFile journal(manifest + ".journal");
    QVERIFY(journal.open(QIODevice::ReadOnly));
    QCOMPARE(journal.readAll(), earlier);
}

// A signal while a unit is on the line lets it finish: its line is printed
// and journalled, no other unit is taken, and the exit code is 130.
void KestroctlTest::stationFinishesTheUnitInProgressOnSigint()
{
    const QString manifest = dir_.filePath("slow.csv");
    writeFile(manifest, "unit,hostname\nA-1,unit-a\nB-2,unit-b\n");
    DevsimProcess device;
    QVERIFY(device.start({"--delay", "300", "--state", dir_.filePath("slow-unit.json")}));
    StationRun run({"--trace", "-p", device.portPath(), "station", manifest});
    QString err;
    QTRY_VERIFY_WITH_TIMEOUT((err += run.process.readAllStandardError()).contains("Config Update"),
                             kRunPatienceMs);
    ::kill(pid_t(run.process.processId()), SIGINT);
    QCOMPARE(run.finish(), 130);
    QVERIFY2(run.out.startsWith("row 1 (A-1) on " + device.portPath() + ": passed in "),
             qPrintable(run.out));
    QVERIFY2(run.out.contains("station: 1 of 2 rows passed, 0 units failed"), qPrintable(run.out));
    const QList<QJsonObject> lines = journalLines(manifest + ".journal");
    QCOMPARE(lines.size(), 1);
    QCOMPARE(lines[0].value("result").toString(), QString("passed"));
    QCOMPARE(readJsonFile(dir_.filePath("slow-unit.json")).value("hostname").toString(),
             QString("unit-a"));
}

// A row that fails the same way on unit after unit is wrong in the manifest:
// after --row-tries units it is set aside, the run ends when no row waits,
// and the exit code says that not every row passed. A blank row between is
// skipped with a note and keeps the numbering.
void KestroctlTest::stationSetsAsideARowThatKeepsFailing()
{
    const QString manifest = dir_.filePath("stubborn.csv");
    writeFile(manifest, "unit,hostname\n,\nA-1,unit-a\n");
    DevsimProcess device; // every unit forgets its update; the adapter stays
    QVERIFY(device.start({"--ignore-updates", "--swap-gap", "1500"}));
    StationRun run(
        {"-p", device.portPath(), "-t", "300", "-r", "0", "station", manifest, "--row-tries", "2"});
    const QString failed = "row 2 (A-1) on " + device.portPath() + ": failed at verify: ";
    QVERIFY2(run.printed(failed), qPrintable(run.out));
    ::kill(pid_t(device.process().processId()), SIGUSR1);
    QCOMPARE(run.finish(), 8);
    const QStringList out = run.out.split('\n');
    QCOMPARE(out.size(), 7); // with the fixture's and the causes' lines
    QVERIFY2(out[0].startsWith(failed) && out[1].startsWith(failed), qPrintable(run.out));
    const QString message = out[0].mid(failed.size()).section(" [", 0, 0);
    QCOMPARE(out[2], "row 2 (A-1) set aside after 2 units failed at verify: " + message +
                         "; correct the manifest");
    QVERIFY2(out[3].startsWith("station: 0 of 1 rows passed, 2 units failed, ") &&
                 out[3].endsWith(" s; set aside: row 2 (A-1)"),
             qPrintable(run.out));
    const QString err = QString::fromUtf8(run.process.readAllStandardError());
    QVERIFY2(err.startsWith("kestroctl: " + manifest + ": 1 blank row skipped\n"), qPrintable(err));
    QCOMPARE(journalLines(manifest + ".journal").size(), 2);
}

// A station owns its manifest and its journal, whatever name another gives
// them; a resumed run knows its rows by their content, not their place.
void KestroctlTest::stationOwnsItsFilesAndResumesByContent()
{
    const QString link = dir_.filePath("owned");
    const QString manifest = dir_.filePath("owned.csv");
    const QString journal = manifest + ".journal";
    writeFile(manifest, "unit,hostname\nA-1,unit-a\nB-2,unit-b\n");
    QVERIFY(QFile::link(manifest, dir_.filePath("alias.csv")));
    writeFile(dir_.filePath("else.csv"), "unit,hostname\nE-1,unit-e\n");
    DevsimProcess first;
    QVERIFY(first.start({"--link", link}));
    StationRun run({"-p", link, "station", manifest});
    QVERIFY2(run.printed("row 1 (A-1) on " + link + ": passed in"), qPrintable(run.out));
    const QString holder = QStringLiteral("(pid %1); nothing sent\n").arg(run.process.processId());
    const Run byLink = kestroctl({"-p", link, "station", dir_.filePath("alias.csv")});
    QCOMPARE(byLink.exitCode, 5);
    QCOMPARE(byLink.err, "kestroctl: " + dir_.filePath("alias.csv") +
                             " is in use by another station " + holder);
    const Run byJournal =
        kestroctl({"-p", link, "station", dir_.filePath("else.csv"), "--journal", journal});
    QCOMPARE(byJournal.exitCode, 5);
    QCOMPARE(byJournal.err, "kestroctl: " + journal + " is in use by another station " + holder);
    run.process.terminate();
    QCOMPARE(run.finish(), 130);
    first.stop();
    const QList<QJsonObject> lines = journalLines(journal);
    QCOMPARE(lines.size(), 1);
    QCOMPARE(lines[0].value("row_key").toString(),
             QString(QCryptographicHash::hash(R"({"hostname":"unit-a","unit":"A-1"})",
                                              QCryptographicHash::Sha256)
                         .toHex()));

    // A row put in at the top, A-1 moved down, B-2 changed, and a pass of a
    // row that is gone: only A-1 is done.
    writeFile(manifest, "unit,hostname\nN-0,unit-n\nB-2,unit-b2\nA-1,unit-a\n");
    QFile file(journal);
    QVERIFY(file.open(QIODevice::Append));
    file.write(R"({"row":7,"row_key":"00","unit":"Z-7","result":"passed"})"
               "\n");
    file.close();
    DevsimProcess second;
    QVERIFY(second.start({"--link", link}));
    StationRun resumed({"-p", link, "station", manifest});
    QVERIFY2(resumed.printed("row 1 (N-0) on " + link + ": passed in "), qPrintable(resumed.out));
    QVERIFY2(resumed.out.contains(" [2 of 3 passed]\n"), qPrintable(resumed.out));
    resumed.process.terminate();
    QCOMPARE(resumed.finish(), 130);
    const QString err = QString::fromUtf8(resumed.process.readAllStandardError());
    QVERIFY2(err.startsWith("kestroctl: journal line 2: Z-7 is not in " + manifest + " any more\n"),
             qPrintable(err));
}

// The operator's word: the first SIGINT is told at once and lets the unit on
// the line go on, while the fixture without a unit stops whatever -t says;
// the second gives the unit up, journalled at "interrupted", its row not
// passed. The label's control characters are shown escaped, and kept as
// they are in the journal.
void KestroctlTest::stationStopsAtOnceOnASecondSigint()
{
    const QString manifest = dir_.filePath("stop.csv");
    const QString label = QStringLiteral("A-1\nrow 2 (B-2) on fix9: passed in 1.0 s\x1b[2J");
    writeFile(manifest, "unit,hostname\n\"" + label.toUtf8() + "\",unit-a\nB-2,unit-b\n");
    DevsimProcess busy, empty;
    QVERIFY(busy.start({"--delay", "1500"}));
    QVERIFY(empty.start({"--silent"}));
    StationRun run({"--trace", "-t", "20000", "-p", busy.portPath(), "-p", empty.portPath(),
                    "station", manifest});
    QString err;
    QTRY_VERIFY_WITH_TIMEOUT((err += run.process.readAllStandardError()).contains("Config Update"),
                             kRunPatienceMs);
    QElapsedTimer stopping;
    stopping.start();
    ::kill(pid_t(run.process.processId()), SIGINT);
    QTRY_VERIFY_WITH_TIMEOUT((err += run.process.readAllStandardError())
                                 .contains("kestroctl: stopping: 1 unit in progress\n"),
                             kRunPatienceMs);
    ::kill(pid_t(run.process.processId()), SIGINT);
    QCOMPARE(run.finish(), 130);
    // A try on the silent port alone takes 20 s.
    QVERIFY2(stopping.elapsed() < kMarginMs, qPrintable(QString::number(stopping.elapsed())));
    const QStringList out = run.out.split('\n');
    QCOMPARE(out.size(), 6); // with the two fixtures' and the causes' lines
    QCOMPARE(out[0], "row 1 (A-1\\nrow 2 (B-2) on fix9: passed in 1.0 s\\x1b[2J) on " +
                         busy.portPath() +
                         ": failed at interrupted: the station was stopped at "
                         "once, before the unit was done; the unit may hold the row's values: "
                         "put it back on a fixture to finish it [0 of 2 passed]");
    QVERIFY2(out[1].startsWith("station: 0 of 2 rows passed, 1 unit failed, "), qPrintable(out[1]));
    const QList<QJsonObject> lines = journalLines(manifest + ".journal");
    QCOMPARE(lines.size(), 1);
    QCOMPARE(lines[0].value("unit").toString(), label);
    QCOMPARE(lines[0].value("result").toString(), QString("failed"));
    QCOMPARE(lines[0].value("failed_step").toString(), QString("interrupted"));
}

// A unit pulled during its read-back may hold its row's values: the row is
// kept for it, the next unit gets the next row, a fresh unit on the same
// fixture is told and gets nothing, and the pulled unit, put back, takes
// its row again and passes. A kept row whose unit is lost is released by
// hand, and then goes to any unit.
void KestroctlTest::aRowStaysWithTheUnitThatMayHoldIt()
{
    const QString link = dir_.filePath("keeping");
    const QString manifest = dir_.filePath("keeping.csv");
    writeFile(manifest, "unit,hostname\nA-1,unit-a\nA-2,unit-b\n");
    const auto state = [this](int unit) {
        return dir_.filePath(QStringLiteral("k%1.json").arg(unit));
    };
    const auto unitOn = [&](DevsimProcess &device, int unit, QStringList faults = {}) {
        return device.start(faults + QStringList{"--link", link, "--state", state(unit)});
    };
    DevsimProcess pulled, next, fresh, back;
    QVERIFY(unitOn(pulled, 1, {"--hangup-after", "3"}));
    StationRun run({"-p", link, "-t", "300", "station", manifest});
    QVERIFY2(run.printed("row 1 (A-1) on " + link + ": failed at port: "), qPrintable(run.out));
    QVERIFY2(run.printed("; the unit may hold the row's values: put it back on a fixture to "
                         "finish it [0 of 2 passed]"),
             qPrintable(run.out));
    QVERIFY(unitOn(next, 2));
    QVERIFY2(run.printed("row 2 (A-2) on " + link + ": passed in "), qPrintable(run.out));
    next.stop();
    QVERIFY(unitOn(fresh, 3));
    QString err;
    QTRY_VERIFY2_WITH_TIMEOUT((err += run.process.readAllStandardError())
                                  .contains(link +
                                            ": row 1 (A-1) is kept for its unit, which "
                                            "had its values on " +
                                            link + ": put that unit on a fixture"),
                              qPrintable(err), kRunPatienceMs);
    fresh.stop();
    QVERIFY(unitOn(back, 1)); // the pulled unit, mended and put back
    QCOMPARE(run.finish(), 0);
    QVERIFY2(run.out.contains("row 1 (A-1) on " + link + ": passed in ") &&
                 run.out.contains("station: 2 of 2 rows passed, 1 unit failed, "),
             qPrintable(run.out));
    QCOMPARE(readJsonFile(state(1)).value("hostname").toString(), QString("unit-a"));
    QCOMPARE(readJsonFile(state(2)).value("hostname").toString(), QString("unit-b"));
    QVERIFY(!QFile::exists(state(3))); // the fresh unit was never written

    // Its unit lost for good, a kept row is released by hand, once.
    back.stop();
    const QString batch = dir_.filePath("lost.csv");
    writeFile(batch, "unit,hostname\nR-1,unit-r\n");
    QVERIFY(unitOn(pulled, 4, {"--hangup-after", "3"}));
    StationRun lost({"-p", link, "-t", "300", "station", batch});
    QVERIFY2(lost.printed("row 1 (R-1) on " + link + ": failed at port: "), qPrintable(lost.out));
    lost.process.terminate();
    QCOMPARE(lost.finish(), 130);
    QVERIFY2(lost.out.contains("; kept for its unit: row 1 (R-1), last on " + link),
             qPrintable(lost.out));
    const QStringList release{"station", batch, "--release", "1", "--reason", "unit lost"};
    const Run released = kestroctl(release);
    QCOMPARE(released.exitCode, 0);
    QCOMPARE(released.out, QStringLiteral("row 1 (R-1) released: unit lost; a unit that still "
                                          "holds its values must be wiped before it ships\n"));
    QCOMPARE(journalLines(batch + ".journal").last().value("result").toString(),
             QString("released"));
    const Run twice = kestroctl(release);
    QCOMPARE(twice.exitCode, 5);
    QVERIFY2(twice.err.contains("row 1 (R-1) is kept for no unit; nothing released"),
             qPrintable(twice.err));
    QVERIFY(unitOn(fresh, 5));
    QCOMPARE(kestroctl({"-p", link, "station", batch}).exitCode, 0);
    QCOMPARE(readJsonFile(state(5)).value("hostname").toString(), QString("unit-r"));
}

// One fixture fails every unit at verify (its units ignore their updates)
// while the other passes the same rows: the first is named once as the
// common cause and takes no more rows; the batch passes on the other.
void KestroctlTest::aFixtureThatFailsEveryUnitIsNamed()
{
    const QString manifest = dir_.filePath("worn.csv");
    writeFile(manifest, "unit,hostname\nW-1,unit-w1\nW-2,unit-w2\nW-3,unit-w3\nW-4,unit-w4\n");
    DevsimProcess worn, good;
    QVERIFY(worn.start({"--ignore-updates", "--swap-gap", "200"}));
    QVERIFY(good.start({"--delay", "150", "--swap-gap", "200"}));
    StationRun run({"-p", worn.portPath(), "-p", good.portPath(), "-t", "2000", "-r", "0",
                    "station", manifest});
    // Each fixture's unit is swapped as soon as its line is printed.
    const QString note = worn.portPath() +
                         ": its last 3 units failed at verify (hostname "
                         "differs) while other fixtures passed: check " +
                         worn.portPath();
    const QString wornLine = " on " + worn.portPath() + ": ";
    int told[2] = {0, 0};
    int wornWhenNamed = -1;
    QString err;
    const auto swapDone = [&] {
        run.process.waitForReadyRead(50);
        err += QString::fromUtf8(run.process.readAllStandardError());
        run.out += QString::fromUtf8(run.process.readAllStandardOutput());
        // The note follows its unit's line: no line of the fixture's may come after.
        if (wornWhenNamed < 0 && err.contains(note))
            wornWhenNamed = run.out.count(wornLine);
        DevsimProcess *devices[2] = {&worn, &good};
        for (int i = 0; i < 2; ++i) {
            const int lines = run.out.count(" on " + devices[i]->portPath() + ": ");
            for (; told[i] < lines; ++told[i])
                ::kill(pid_t(devices[i]->process().processId()), SIGUSR1);
        }
        return run.out.contains("station: 4 of 4 rows passed");
    };
    QTRY_VERIFY2_WITH_TIMEOUT(swapDone(), qPrintable(run.out), kRunPatienceMs);
    QCOMPARE(run.finish(), 0);
    err += QString::fromUtf8(run.process.readAllStandardError());
    QCOMPARE(err.count(note), 1);
    QCOMPARE(run.out.count(wornLine), wornWhenNamed);
    QVERIFY2(!run.out.contains(wornLine + "passed"), qPrintable(run.out));
    QCOMPARE(run.out.count(" on " + good.portPath() + ": passed"), 4);
    // Its units, as the good fixture's, are each in the journal.
    QVERIFY(told[0] >= 3);
    QCOMPARE(journalLines(manifest + ".journal").size(), told[0] + 4);
}

QTEST_GUILESS_MAIN(KestroctlTest)
#include "kestroctl_test.moc"
