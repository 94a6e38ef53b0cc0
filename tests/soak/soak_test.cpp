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
#include "tests/support/main_window_probe.h"
#include "tools/devsim/simulator.h"

#include <QElapsedTimer>
#include <QProcess>
#include <QPushButton>
#include <QSerialPort>
#include <QTableWidget>
#include <QTimer>
#include <QtTest>

#include <functional>
#include <memory>

namespace {

using Probe = MainWindowProbe;

constexpr int kPatienceMs = 10000;
constexpr int kPings = 10000;
constexpr int kQueries = 1000;
// The run with broken frames: fewer exchanges, every 7th response broken.
constexpr int kBrokenRunPings = 2000;
constexpr int kBrokenRunQueries = 200;
constexpr int kBrokenEvery = 7;

// Every piece of a split response goes out 1 ms after the one before: enough
// for the window to read the pieces one by one.
const QStringList kSplitNoisy{"--split", "3", "--split-pause", "1", "--noise"};

QString hexOf(const devsim::Bytes &bytes)
{
    QString text;
    for (const uint8_t byte : bytes)
        text += QStringLiteral(" %1").arg(byte, 2, 16, QLatin1Char('0'));
    return text;
}

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

// Runs the event loop until `done` holds; false once `timeoutMs` passed.
bool waitFor(const std::function<bool()> &done, int timeoutMs = kPatienceMs)
{
    if (done())
        return true;
    QElapsedTimer timer;
    timer.start();
    // Wakes the loop now and then, so that the limit is seen without events.
    QTimer tick;
    tick.start(20);
    while (!done()) {
        if (timer.elapsed() > timeoutMs)
            return false;
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    return true;
}

struct Exchange {
    QString name; // as in the log lines
    QPushButton *button;
    QString sentLine;
    QString readLine;
};

// The simulator program and the window with its port picked.
class SoakBench
{
public:
    explicit SoakBench(const QStringList &faults)
    {
        sim.start(QStringLiteral(KESTRO_DEVSIM_PATH), faults);
        if (!sim.waitForReadyRead(kPatienceMs) || !sim.canReadLine())
            return;
        port = QString::fromLocal8Bit(sim.readLine()).trimmed();
        qputenv("KESTRO_EXTRA_PORTS", port.toLocal8Bit());
        window.reset(new MainWindow);
        window->show();
        QComboBox *selector = ui().serialPortComboBox;
        selector->setCurrentIndex(selector->findText(port));
    }
    ~SoakBench()
    {
        window.reset();
        if (sim.state() != QProcess::NotRunning) {
            sim.terminate();
            sim.waitForFinished(kPatienceMs);
        }
    }
    SoakBench(const SoakBench &) = delete;
    SoakBench &operator=(const SoakBench &) = delete;

    bool ready() { return window && Probe::serialPort(*window); }
    WindowWidgets ui() { return Probe::ui(*window); }
    int rows() { return ui().logTableWidget->rowCount(); }
    QString line(int row) { return ui().logTableWidget->item(row, 0)->text(); }
    int count(const QString &text)
    {
        int n = 0;
        for (int row = 0; row < rows(); ++row)
            n += line(row) == text;
        return n;
    }

    Exchange ping()
    {
        return {QStringLiteral("Ping"), ui().pingButton,
                QStringLiteral("Sent 8 bytes fe 04 00 00 00 00 00 04\r\n"
                               "Ping sent.  Listening for response..."),
                readLineOf(answerTo(MSG_PING_REQUEST))};
    }
    Exchange query()
    {
        return {QStringLiteral("Config Query"), ui().queryButton,
                QStringLiteral("Sent 8 bytes: fe 04 00 02 00 00 00 06\r\n"
                               "Config Query sent.  Listening for response..."),
                readLineOf(answerTo(MSG_CONFIG_QUERY_REQUEST))};
    }

    // Sends once and waits for the exchange's lines; an empty string when
    // they are what they must be, otherwise what went wrong.
    QString run(const Exchange &exchange, bool broken)
    {
        const int before = rows();
        exchange.button->click();
        const int expected = before + (broken ? 3 : 4);
        if (!waitFor([&] { return rows() >= expected; }))
            return QStringLiteral("no complete answer; the log has %1 new lines")
                .arg(rows() - before);
        QStringList want{QStringLiteral("Sending %1...").arg(exchange.name), exchange.sentLine};
        if (broken)
            want << QStringLiteral("Parser error.");
        else
            want << exchange.readLine << exchange.name + QStringLiteral(" returned 0");
        for (int i = 0; i < want.size(); ++i) {
            if (line(before + i) != want[i])
                return QStringLiteral("line %1 is \"%2\", expected \"%3\"")
                    .arg(i)
                    .arg(line(before + i).left(200), want[i].left(200));
        }
        return QString();
    }

    QProcess sim;
    QString port;
    std::unique_ptr<MainWindow> window;

private:
    static QString readLineOf(const devsim::Bytes &wire)
    {
        return QStringLiteral("\r\nRead %1 bytes:").arg(wire.size()) + hexOf(wire);
    }
};

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
    SoakBench bench(faults);
    QVERIFY2(bench.ready(), qPrintable(bench.sim.readAllStandardError()));
    const Exchange ping = bench.ping();
    const Exchange query = bench.query();

    // How often the port reported new bytes: more than once an exchange shows
    // that the pieces arrived apart (informative only; timing decides it).
    int notifications = 0;
    QObject::connect(Probe::serialPort(*bench.window), &QIODevice::readyRead,
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
        const QString problem = bench.run(isQuery ? query : ping, isBroken);
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
    QCOMPARE(bench.rows(), 1 + 4 * total - broken);
    QCOMPARE(bench.count(QStringLiteral("Parser error.")), broken);
    QCOMPARE(bench.count(QStringLiteral("Ping returned 0")), pings - pingsBroken);
    QCOMPARE(bench.count(QStringLiteral("Config Query returned 0")), queries - queriesBroken);
    QCOMPARE(bench.ui().tableWidget->item(0, 0)->text(), QStringLiteral("kestro-3-sim"));

    // The simulator understood every request and is still running.
    QCOMPARE(bench.sim.state(), QProcess::Running);
    QCOMPARE(bench.sim.readAllStandardError(), QByteArray());
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
