// Soak: the window against the real simulator program on a pseudo-terminal,
// for thousands of exchanges, with every response split into pieces that
// arrive separately and preceded by stray bytes.
//
// Each send is answered before the next one goes out, so every exchange must
// leave exactly its own lines in the log: the two lines of the send, then the
// received-bytes line listing exactly the stray bytes and the one frame, and
// the result; or, for a frame the simulator broke on purpose, one
// "Parser error." alone. The counts are bounded, not the time; every wait is
// on a condition, with a generous limit that only a hang reaches.
#include "tests/support/devsim_process.h"
#include "tests/support/qtest_support.h"
#include "tests/support/window_on_pty.h"
#include "tests/support/wire_bytes.h"
#include "tools/devsim/simulator.h"

#include <QElapsedTimer>
#include <QPushButton>
#include <QSerialPort>

namespace {

constexpr int kPings = 10000;
constexpr int kQueries = 1000;
// The run with broken frames: fewer exchanges, every 7th response broken.
constexpr int kBrokenRunPings = 2000;
constexpr int kBrokenRunQueries = 200;
constexpr int kBrokenEvery = 7;

// Every piece of a split response goes out 1 ms after the one before: enough
// for the window to read the pieces one by one.
const QStringList kSplitNoisy{"--split", "3", "--split-pause", "1", "--noise"};

// What the simulator sends for one request, stray bytes included.
devsim::Bytes answerTo(uint32_t requestId)
{
    devsim::Faults faults;
    faults.noise = true;
    devsim::Simulator simulator(faults);
    uint8_t request[4];
    for (int i = 0; i < 4; ++i)
        request[i] = uint8_t(requestId >> (8 * i));
    return simulator.frame(simulator.handle(request, sizeof request).response);
}

struct Exchange {
    QString name; // as in the log lines
    QPushButton *button;
    QString sentLine;
    QString readLine;
};

// Sends once and waits for the exchange's lines; an empty string when they
// are what they must be, otherwise what went wrong.
QString run(WindowOnPty &link, const Exchange &exchange, bool broken)
{
    const int before = link.logRows();
    exchange.button->click();
    const int expected = before + (broken ? 3 : 4);
    if (!waitUntil([&] { return link.logRows() >= expected; }))
        return QStringLiteral("no complete answer; the log has %1 new lines")
            .arg(link.logRows() - before);
    QStringList want{QStringLiteral("Sending %1...").arg(exchange.name), exchange.sentLine};
    if (broken)
        want << QStringLiteral("Parser error.");
    else
        want << exchange.readLine << exchange.name + QStringLiteral(" returned 0");
    for (int i = 0; i < want.size(); ++i) {
        const QString line = link.logLine(before + i);
        if (line != want[i])
            return QStringLiteral("line %1 is \"%2\", expected \"%3\"")
                .arg(i)
                .arg(line.left(200), want[i].left(200));
    }
    return QString();
}

} // namespace

class SoakTest : public QObject
{
    Q_OBJECT

private slots:
    void pingsAndQueries();
    void brokenChecksums();

private:
    void soak(const QStringList &faults, int pings, int queries, int brokenEvery);
};

// Runs `pings` + `queries` exchanges, a Query after every tenth Ping or so,
// each answered before the next; every `brokenEvery`-th response (0: none)
// comes with a wrong checksum.
void SoakTest::soak(const QStringList &faults, int pings, int queries, int brokenEvery)
{
    DevsimProcess sim;
    QVERIFY2(sim.start(faults), qPrintable(sim.process().readAllStandardError()));
    // The simulator's port listed before the fixture's own terminal, which stays unused.
    WindowOnPty link(failTest, {sim.portPath()});
    QVERIFY(link.pickPort(sim.portPath()));
    const Exchange ping{QStringLiteral("Ping"), link.ui().pingButton,
                        sentLine("Sent %1 bytes", kPingRequestFrame, "Ping"),
                        readLine(answerTo(MSG_PING_REQUEST))};
    const Exchange query{QStringLiteral("Config Query"), link.ui().queryButton,
                         sentLine("Sent %1 bytes:", kQueryRequestFrame, "Config Query"),
                         readLine(answerTo(MSG_CONFIG_QUERY_REQUEST))};

    // How often the port reported new bytes: more than once an exchange shows
    // that the pieces arrived apart (informative only; timing decides it).
    int notifications = 0;
    QObject::connect(Probe::serialPort(*link.window), &QIODevice::readyRead,
                     [&notifications] { ++notifications; });

    QElapsedTimer timer;
    timer.start();
    const int total = pings + queries;
    int pingsSent = 0;
    int queriesSent = 0;
    int pingsBroken = 0;
    int queriesBroken = 0;
    for (int i = 1; i <= total; ++i) {
        // Queries spread evenly among the Pings.
        const bool isQuery = qint64(queriesSent + 1) * total <= qint64(i) * queries;
        const bool isBroken = brokenEvery > 0 && i % brokenEvery == 0;
        const QString problem = run(link, isQuery ? query : ping, isBroken);
        if (!problem.isEmpty())
            QFAIL(qPrintable(QStringLiteral("exchange %1 (%2): %3")
                                 .arg(i)
                                 .arg(isQuery ? query.name : ping.name, problem)));
        (isQuery ? queriesSent : pingsSent) += 1;
        (isQuery ? queriesBroken : pingsBroken) += isBroken;
    }
    QCOMPARE(pingsSent, pings);
    QCOMPARE(queriesSent, queries);

    // Nothing arrived late: the whole log is the port line and the
    // exchanges' lines, each result exactly once.
    const int broken = pingsBroken + queriesBroken;
    const QStringList log = link.log();
    QCOMPARE(log.size(), 1 + 4 * total - broken);
    QCOMPARE(log.count(QStringLiteral("Parser error.")), broken);
    QCOMPARE(log.count(QStringLiteral("Ping returned 0")), pings - pingsBroken);
    QCOMPARE(log.count(QStringLiteral("Config Query returned 0")), queries - queriesBroken);
    QCOMPARE(link.value("Hostname"), QStringLiteral("kestro-3-sim"));

    // The simulator understood every request and is still running.
    QCOMPARE(sim.process().state(), QProcess::Running);
    QCOMPARE(sim.process().readAllStandardError(), QByteArray());
    qInfo("%d exchanges (%d broken) in %.1f s, %.2f port notifications an exchange", total, broken,
          double(timer.elapsed()) / 1000.0, double(notifications) / total);
}

void SoakTest::pingsAndQueries()
{
    soak(kSplitNoisy, kPings, kQueries, 0);
}

void SoakTest::brokenChecksums()
{
    soak(kSplitNoisy + QStringList{"--bad-checksum-every", QString::number(kBrokenEvery)},
         kBrokenRunPings, kBrokenRunQueries, kBrokenEvery);
}

QTEST_MAIN(SoakTest)
#include "soak_test.moc"
