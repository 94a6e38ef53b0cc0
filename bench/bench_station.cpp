// Station mode against simulators on a 115200-baud line: the wall time of a
// whole run (start to exit) with one unit on one port and with four units on
// four ports, each commissioned with a row and an 8192-byte certificate.
//
// A resumed run's start with a 500 MB journal (the manifest's rows all
// passed, so no port is opened): its time, and its peak resident memory
// against the target of 100 MB.
//
// Two figures against their targets:
// - four fixtures at once take at most 1.25 times one: the ports do not wait
//   for each other;
// - one unit's run takes at most 5 % more than the line time of the frames
//   it exchanged (counted from a traced run: every frame sent and received,
//   at 10 bits a byte), so the station adds little beside the line itself.
//
// And one fixture whose adapter stays, its simulator swapping units at once
// (no silence) as soon as the station prints a unit's line:
// - from the new unit's first answer (the start of the first response after
//   the swap on the line: its end as the station's trace shows it, less its
//   own line time) to its Config Update handed to the port, median; target
//   <= 300 ms;
// - units per hour on that fixture, from the first unit's line to the last;
//   target at least 0.9 * 3600 / (one unit's line time + 300 ms).
#include "bench/bench_support.h"
#include "tests/support/devsim_process.h"

#include <QCryptographicHash>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <csignal>
#include <cstdio>

namespace {

using namespace bench;

constexpr int kRuns = 5;
constexpr int kRunPatienceMs = 60000;
constexpr double kBaud = 115200.0;
constexpr double kBitsPerByte = 10.0;

// Times each swap in a station's trace as it comes: from the start of the
// first response after the swap to the Config Update after it.
struct SwapClock {
    const QRegularExpression marker{QStringLiteral("\nRead (\\d+) bytes:|Config Update sent\\.")};
    QString trace;
    int scanned = 0;
    bool swapped = false;
    bool answered = false;
    Clock::time_point answeredAt{};

    void take(const QString &more, Clock::time_point now, std::vector<double> &samples)
    {
        trace += more;
        for (auto it = marker.globalMatch(trace, scanned); it.hasNext();) {
            const QRegularExpressionMatch match = it.next();
            scanned = match.capturedEnd();
            const bool update = match.captured().startsWith(QLatin1Char('C'));
            if (swapped && !update) {
                // The answer began its own line time before its end was read.
                const double seconds = match.captured(1).toDouble() * kBitsPerByte / kBaud;
                answeredAt = now - std::chrono::microseconds(long(seconds * 1e6));
                swapped = false;
                answered = true;
            } else if (answered && update) {
                samples.push_back(msSince(answeredAt, now));
                answered = false;
            }
        }
    }
};

struct StationBench {
    QTemporaryDir dir;
    int run = 0;

    StationBench()
    {
        if (!dir.isValid())
            fail("no temporary folder");
        QByteArray certificate;
        for (int i = 0; i < 8192; ++i)
            certificate.append(char(i * 37 + 11));
        writeBytes(dir.filePath("unit.pem"), certificate);
    }

    // One station run with `units` simulators, a row each; answers its wall
    // time in ms, and its standard error in `err`.
    double once(int units, const QStringList &extra, QString &err)
    {
        std::vector<std::unique_ptr<DevsimProcess>> devices;
        QStringList arguments;
        QByteArray manifest = "hostname,description\n";
        for (int i = 0; i < units; ++i) {
            devices.push_back(std::make_unique<DevsimProcess>());
            if (!devices.back()->start({"--baud", "115200"}))
                fail("the simulator did not start");
            arguments << "-p" << devices.back()->portPath();
            manifest += QByteArray("unit-") + QByteArray::number(i) + ",Station bench unit\n";
        }
        const QString name = dir.filePath(QStringLiteral("run-%1").arg(++run));
        writeBytes(name + ".csv", manifest);
        arguments << extra << "station" << name + ".csv"
                  << "--certificate" << dir.filePath("unit.pem");
        QProcess station;
        const Clock::time_point start = Clock::now();
        station.start(QStringLiteral(KESTROCTL_PATH), arguments);
        if (!station.waitForFinished(kRunPatienceMs) || station.exitCode() != 0)
            fail("the station run failed: " + station.readAllStandardError().toStdString());
        const double ms = msSince(start);
        err = QString::fromUtf8(station.readAllStandardError());
        return ms;
    }

    // One fixture, `units` units swapped at once; fills each swap's time from
    // the new unit's first answer to its Config Update, and answers the time
    // from the first unit's line to the last, in ms.
    double swapping(int units, std::vector<double> &swapToUpdate)
    {
        DevsimProcess device;
        if (!device.start({"--baud", "115200", "--swap-gap", "0"}))
            fail("the simulator did not start");
        QByteArray manifest = "hostname,description\n";
        for (int i = 0; i < units; ++i)
            manifest += QByteArray("swap-") + QByteArray::number(i) + ",Station bench unit\n";
        const QString name = dir.filePath(QStringLiteral("swap-%1").arg(++run));
        writeBytes(name + ".csv", manifest);
        QProcess station;
        station.start(QStringLiteral(KESTROCTL_PATH),
                      {"--trace", "-p", device.portPath(), "station", name + ".csv",
                       "--certificate", dir.filePath("unit.pem")});
        return watchSwaps(station, device, units, swapToUpdate);
    }

    static double watchSwaps(QProcess &station, DevsimProcess &device, int units,
                             std::vector<double> &swapToUpdate)
    {
        QString out;
        SwapClock clock;
        int lines = 0;
        Clock::time_point first{}, last{};
        const Clock::time_point start = Clock::now();
        while (lines < units) {
            if (msSince(start) > kRunPatienceMs)
                fail("the swapping station did not finish");
            station.waitForReadyRead(2);
            out += QString::fromUtf8(station.readAllStandardOutput());
            const Clock::time_point now = Clock::now();
            clock.take(QString::fromUtf8(station.readAllStandardError()), now, swapToUpdate);
            const int passed = int(out.count(QStringLiteral(": passed in ")));
            if (passed == lines)
                continue;
            if (passed != lines + 1)
                fail("several units passed between two looks");
            last = now;
            first = ++lines == 1 ? now : first;
            if (lines < units && ::kill(pid_t(device.process().processId()), SIGUSR1) != 0)
                fail("cannot signal the simulator");
            clock.swapped = true;
        }
        if (!station.waitForFinished(kRunPatienceMs) || station.exitCode() != 0)
            fail("the swapping station run failed");
        return msSince(first, last);
    }
};

// Every frame's size in a trace, sent and received.
long tracedBytes(const QString &trace)
{
    long bytes = 0;
    QRegularExpressionMatchIterator it =
        QRegularExpression(QStringLiteral("(?:Sent|Read) (\\d+) bytes")).globalMatch(trace);
    while (it.hasNext())
        bytes += it.next().captured(1).toLong();
    return bytes;
}

// A manifest of `rows` rows and a journal of about `bytes` that has them all
// passed at its end, after a long history of failed units.
void writeLongJournal(const QString &manifest, int rows, qint64 bytes)
{
    QByteArray csv = "hostname\n";
    QByteArray passed;
    for (int row = 1; row <= rows; ++row) {
        const QByteArray host = "unit-" + QByteArray::number(row);
        csv += host + "\n";
        const QByteArray key =
            QCryptographicHash::hash(R"({"hostname":")" + host + "\"}", QCryptographicHash::Sha256)
                .toHex();
        passed += R"({"time":"2026-12-07T13:04:05.123+00:00","row":)" + QByteArray::number(row) +
                  R"(,"row_key":")" + key +
                  R"(","unit":"","result":"passed","seconds":1.4})"
                  "\n";
    }
    writeBytes(manifest, csv);
    const QByteArray failed = R"({"time":"2026-12-07T13:04:05.123+00:00","row":1,"row_key":")" +
                              QByteArray(64, 'e') +
                              R"(","unit":"B-0001","port":"/dev/ttyUSB0","result":"failed",)"
                              R"("failed_step":"verify","message":"hostname differs","values":)"
                              R"({"hostname":"unit-1","description":"Station bench unit",)"
                              R"("ssid":"line-3"},"certificate_sha256":null,"seconds":1.234})"
                              "\n";
    QFile journal(manifest + ".journal");
    if (!journal.open(QIODevice::WriteOnly))
        fail("cannot write the journal");
    QByteArray block;
    while (block.size() < 4 * 1024 * 1024)
        block += failed;
    for (qint64 written = 0; written < bytes; written += block.size())
        journal.write(block);
    journal.write(passed);
}

// Resumes on the long journal; answers the time to exit, and the peak
// resident memory in `peakKb` (read while it runs: the last reading before
// it exits).
double resumeLongJournal(const QString &manifest, long &peakKb)
{
    QProcess station;
    const Clock::time_point start = Clock::now();
    station.start(QStringLiteral(KESTROCTL_PATH), {"-p", "/dev/null", "station", manifest});
    if (!station.waitForStarted())
        fail("kestroctl did not start");
    peakKb = 0;
    while (!station.waitForFinished(5))
        peakKb = std::max(peakKb, peakResidentKb(station.processId()));
    const double ms = msSince(start);
    if (station.exitCode() != 0 || !station.readAllStandardOutput().contains("passed already"))
        fail("the resumed run failed: " + station.readAllStandardError().toStdString());
    return ms;
}

void benchLongJournal(StationBench &bench)
{
    const QString manifest = bench.dir.filePath("long.csv");
    writeLongJournal(manifest, 100, qint64(500) * 1024 * 1024);
    long peakKb = 0;
    const double ms = resumeLongJournal(manifest, peakKb);
    QFile::remove(manifest + ".journal");
    report("station.resume_500mb_journal", ms, "ms", "start to exit, every row passed already");
    report("station.resume_500mb_journal_resident", double(peakKb) / 1024.0, "MB",
           "peak resident; target <= 100 MB: " + verdict(peakKb <= 100 * 1024));
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication application(argc, argv);
    StationBench bench;
    benchLongJournal(bench);
    QString err;
    bench.once(1, {}, err); // warm the caches
    std::vector<double> one;
    std::vector<double> four;
    for (int i = 0; i < kRuns; ++i) {
        one.push_back(bench.once(1, {}, err));
        four.push_back(bench.once(4, {}, err));
    }
    bench.once(1, {"--trace"}, err);
    const long bytes = tracedBytes(err);
    constexpr int kSwappedUnits = 8;
    std::vector<double> swapToUpdate;
    const double swappingMs = bench.swapping(kSwappedUnits, swapToUpdate);
    const double lineMs = double(bytes) * kBitsPerByte / kBaud * 1000.0;

    const double oneMs = median(one);
    const double fourMs = median(four);
    const double overhead = 100.0 * (oneMs - lineMs) / lineMs;
    report("station.line_time", lineMs, "ms",
           std::to_string(bytes) + " bytes of frames, sent and received, at 115200 8N1");
    report("station.one_unit_one_port", oneMs, "ms",
           "median of " + std::to_string(kRuns) + " runs, start to exit");
    report("station.four_units_four_ports", fourMs, "ms",
           "median of " + std::to_string(kRuns) + " runs, start to exit");
    char note[160];
    std::snprintf(note, sizeof note, "four ports / one port; target <= 1.25: %s",
                  verdict(fourMs / oneMs <= 1.25).c_str());
    report("station.parallel_ratio", fourMs / oneMs, "x", note);
    std::snprintf(note, sizeof note, "one unit's run beyond its line time; target <= 5 %%: %s",
                  verdict(overhead <= 5.0).c_str());
    report("station.overhead", overhead, "%", note);

    const double swapMs = median(swapToUpdate);
    std::snprintf(note, sizeof note,
                  "median of %zu swaps with no silence, first answer to Config Update; "
                  "target <= 300 ms: %s",
                  swapToUpdate.size(), verdict(swapMs <= 300.0).c_str());
    report("station.swap_to_update", swapMs, "ms", note);
    const double perHour = 3600.0 * 1000.0 * (kSwappedUnits - 1) / swappingMs;
    const double target = 0.9 * 3600.0 * 1000.0 / (lineMs + 300.0);
    std::snprintf(note, sizeof note, "%d units on one fixture swapped at once; target >= %.0f: %s",
                  kSwappedUnits, target, verdict(perHour >= target).c_str());
    report("station.units_per_hour_per_fixture", perHour, "units/h", note);
    return 0;
}
