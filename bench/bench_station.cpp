// Station mode against simulators on a 115200-baud line: the wall time of a
// whole run (start to exit) with one unit on one port and with four units on
// four ports, each commissioned with a row and an 8192-byte certificate.
//
// Two figures against their targets:
// - four fixtures at once take at most 1.25 times one: the ports do not wait
//   for each other;
// - one unit's run takes at most 5 % more than the line time of the frames
//   it exchanged (counted from a traced run: every frame sent and received,
//   at 10 bits a byte), so the station adds little beside the line itself.
#include "bench/bench_support.h"
#include "tests/support/devsim_process.h"

#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>

namespace {

using namespace bench;

constexpr int kRuns = 5;
constexpr int kRunPatienceMs = 60000;
constexpr double kBaud = 115200.0;
constexpr double kBitsPerByte = 10.0;

void writeBytes(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size())
        fail("cannot write " + path.toStdString());
}

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

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication application(argc, argv);
    StationBench bench;
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
    return 0;
}
