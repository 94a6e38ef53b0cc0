// kestroctl station: a manifest of units in, a journal of results out, one
// thread for each port.
#include "cli/station.h"
#include "cli/commands.h"
#include "cli/console.h"
#include "cli/device_requests.h"
#include "cli/exit_codes.h"

#include <QThread>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

namespace {

std::atomic<bool> stopSignalled{false};
static_assert(std::atomic<bool>::is_always_lock_free, "the signal handler sets it");

void onStopSignal(int)
{
    stopSignalled = true;
}

void catchStopSignals()
{
    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    action.sa_handler = onStopSignal;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

QString resultLine(const JournalEntry &entry, int passed, int rowCount)
{
    QString who = entry.row > 0 ? QStringLiteral("row %1").arg(entry.row) : QStringLiteral("unit");
    if (!entry.unit.isEmpty())
        who += QStringLiteral(" (%1)").arg(entry.unit);
    const QString what =
        entry.failedStep.isEmpty()
            ? QStringLiteral("passed in %1 s").arg(entry.seconds, 0, 'f', 1)
            : QStringLiteral("failed at %1: %2").arg(entry.failedStep, entry.message);
    return QStringLiteral("%1 on %2: %3 [%4 of %5 passed]")
        .arg(who, entry.port, what)
        .arg(passed)
        .arg(rowCount);
}

// The profile, the manifest and every row's certificate, checked as a whole
// before any port is opened.
bool readInputs(const Invocation &invocation, QVector<UnitPlan> &plans)
{
    ValueChanges profile;
    QVector<ManifestRow> rows;
    QString problem;
    if ((!invocation.profileFile.isEmpty() &&
         !readProfileArgument(invocation.profileFile, profile, problem)) ||
        !readManifest(invocation.file, rows, problem)) {
        printProblem(problem + QStringLiteral("; nothing sent"));
        return false;
    }
    if (planUnits(rows, profile, invocation.certificateFile, plans))
        return true;
    printProblem(QStringLiteral("%1: rows that cannot be sent; nothing sent").arg(invocation.file));
    return false;
}

void printSummary(const Station &station, const QElapsedTimer &clock)
{
    const int failed = station.rows.failedUnits();
    printResult(QStringLiteral("station: %1 of %2 rows passed, %3 %4 failed, %5 s")
                    .arg(station.rows.passedCount())
                    .arg(station.rows.rowCount())
                    .arg(failed)
                    .arg(QLatin1String(failed == 1 ? "unit" : "units"))
                    .arg(double(clock.elapsed()) / 1000.0, 0, 'f', 1));
}

// Serves every port until all rows passed or a signal came; answers the
// exit code.
int servePorts(Station &station, const QStringList &ports)
{
    QElapsedTimer clock;
    clock.start();
    catchStopSignals();
    // QThreads, not plain threads: a serial port needs its thread's event
    // dispatcher, even though nothing here runs an event loop.
    std::vector<std::unique_ptr<QThread>> threads;
    for (const QString &port : ports) {
        threads.emplace_back(QThread::create([&station, port] { serveFixture(station, port); }));
        threads.back()->start();
    }
    while (!station.ended()) {
        station.rows.waitForChange(100);
        if (stopSignalled)
            station.stopping = true;
    }
    if (!station.stopping) {
        // Done: the units still on their fixtures need not be waited for,
        // and every line is on the disk.
        printSummary(station, clock);
        std::fflush(nullptr);
        std::_Exit(resultsDelivered() ? ExitDone : ExitResultsLost);
    }
    station.rows.wakeAll();
    for (const std::unique_ptr<QThread> &thread : threads)
        thread->wait();
    printSummary(station, clock);
    return station.journalFailed ? ExitResultsLost : ExitInterrupted;
}

} // namespace

void Station::record(const JournalEntry &entry)
{
    QString problem;
    if (!journal.append(journalLine(entry, withSecrets), problem)) {
        printProblem(problem + QStringLiteral("; the station takes no more units"));
        journalFailed = true;
        stopping = true;
    }
    const int rowCount = rows.rowCount();
    rows.settle(entry.row, entry.failedStep.isEmpty(),
                [&](int passed) { printResult(resultLine(entry, passed, rowCount)); });
}

int runStation(const Invocation &invocation)
{
    QVector<UnitPlan> plans;
    if (!readInputs(invocation, plans))
        return ExitInvalidInput;
    const QString journalPath = invocation.journalFile.isEmpty()
                                    ? invocation.file + QStringLiteral(".journal")
                                    : invocation.journalFile;
    JournalHistory history;
    QString problem;
    if (!readJournal(journalPath, history, problem)) {
        printProblem(problem + QStringLiteral("; nothing sent"));
        return ExitInvalidInput;
    }
    Station station(plans, history.passedRows);
    if (station.rows.allPassed()) {
        printResult(QStringLiteral("station: all %1 rows passed already (%2); no port opened")
                        .arg(plans.size())
                        .arg(journalPath));
        return ExitDone;
    }
    if (!station.journal.open(journalPath, history, invocation.showSecrets, problem)) {
        printProblem(problem + QStringLiteral("; nothing sent"));
        return ExitResultsLost;
    }
    station.link = static_cast<const LinkSettings &>(invocation);
    station.withSecrets = invocation.showSecrets;
    return servePorts(station, invocation.ports);
}
