// A station's start on a big manifest: 100,000 rows sharing one 8192-byte
// certificate, from kestroctl's start until its fixture waits for the first
// unit, and the station's peak resident memory by then. Targets: ready in
// at most 3 s, in at most 150 MB; the check tells its progress on the way.
#include "bench/bench_support.h"

#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <csignal>

namespace {

using namespace bench;

constexpr int kRows = 100000;
constexpr int kRuns = 3;
constexpr int kRunPatienceMs = 120000;

struct Start {
    double ms = 0;
    long peakKb = 0;
    bool toldProgress = false;
};

// One station started on the manifest, against a port that is not there,
// until its fixture says it waits; then stopped.
Start once(const QTemporaryDir &dir, const QString &manifest)
{
    QProcess station;
    station.setProcessChannelMode(QProcess::SeparateChannels);
    station.setReadChannel(QProcess::StandardError);
    const Clock::time_point start = Clock::now();
    station.start(QStringLiteral(KESTROCTL_PATH),
                  {"-p", dir.filePath("no-port"), "station", manifest, "--journal",
                   dir.filePath(QStringLiteral("units-%1.journal").arg(std::rand()))});
    QByteArray err;
    while (!err.contains("waiting for the next unit")) {
        if (!station.waitForReadyRead(kRunPatienceMs))
            fail("the station never got ready: " + err.toStdString());
        err += station.readAllStandardError();
    }
    Start result;
    result.ms = msSince(start);
    result.peakKb = peakResidentKb(station.processId());
    result.toldProgress = err.contains("10000 of 100000 rows checked");
    ::kill(pid_t(station.processId()), SIGTERM);
    station.waitForFinished(kRunPatienceMs);
    return result;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication application(argc, argv);
    QTemporaryDir dir;
    if (!dir.isValid())
        fail("no temporary folder");
    const QString manifest = writeLargeManifest(dir.path(), kRows);

    std::vector<double> ms;
    long peakKb = 0;
    bool toldProgress = true;
    for (int i = 0; i < kRuns; ++i) {
        const Start start = once(dir, manifest);
        ms.push_back(start.ms);
        peakKb = std::max(peakKb, start.peakKb);
        toldProgress = toldProgress && start.toldProgress;
    }
    const double readyMs = median(ms);
    report("station.manifest_100k_ready", readyMs, "ms",
           "median of " + std::to_string(kRuns) +
               " starts, one shared certificate; target <= "
               "3000 ms: " +
               verdict(readyMs <= 3000.0) +
               (toldProgress ? "; progress told" : "; NO PROGRESS TOLD"));
    report("station.manifest_100k_peak_rss", double(peakKb) / 1024.0, "MB",
           "the station's peak by then; target <= 150 MB: " +
               verdict(peakKb > 0 && peakKb <= 150 * 1024));
    return 0;
}
