// kestroctl station: a manifest of units in, a journal of results out, one
// fixture for each port. The station itself is the library in station/; this
// is its command line: the inputs, the signals, the printing and the exit
// code.
#include "cli/commands.h"
#include "cli/config_file.h"
#include "cli/console.h"
#include "cli/exit_codes.h"
#include "station/file_queue.h"
#include "station/identity.h"
#include "station/manifest.h"
#include "station/station.h"

#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

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

QString resultLine(const UnitJob &job, const UnitResult &result, const QueueProgress &progress)
{
    QString who = job.row > 0 ? QStringLiteral("row %1").arg(job.row) : QStringLiteral("unit");
    if (!job.unit.isEmpty())
        who += QStringLiteral(" (%1)").arg(job.unit);
    const QString what = result.passed()
                             ? QStringLiteral("passed in %1 s").arg(result.seconds, 0, 'f', 1)
                             : QStringLiteral("failed at %1: %2")
                                   .arg(QLatin1String(stepName(result.failedStep)), result.message);
    return QStringLiteral("%1 on %2: %3 [%4 of %5 passed]")
        .arg(who, result.fixture, what)
        .arg(progress.passed)
        .arg(progress.rows);
}

void printSummary(const StationOutcome &outcome)
{
    const int failed = outcome.progress.failedUnits;
    printResult(QStringLiteral("station: %1 of %2 rows passed, %3 %4 failed, %5 s")
                    .arg(outcome.progress.passed)
                    .arg(outcome.progress.rows)
                    .arg(failed)
                    .arg(QLatin1String(failed == 1 ? "unit" : "units"))
                    .arg(outcome.seconds, 0, 'f', 1));
}

// The operator's lines: results on standard output, each fixture's notes on
// standard error under its port's name.
class ConsoleObserver : public StationObserver
{
public:
    void fixtureNote(const QString &fixture, const QString &line) override
    {
        printProblem(fixture + QStringLiteral(": ") + line);
    }
    void trace(const QString &entry) override { printRaw(entry); }
    void unitDone(const UnitJob &job, const UnitResult &result,
                  const QueueProgress &progress) override
    {
        printResult(resultLine(job, result, progress));
    }
    void runEnded(const StationOutcome &outcome) override
    {
        printSummary(outcome);
        if (outcome.end != StationOutcome::End::AllPassed)
            return;
        // Done: the units still on their fixtures need not be waited for,
        // and every line is on the disk.
        std::fflush(nullptr);
        std::_Exit(resultsDelivered() ? ExitDone : ExitResultsLost);
    }
};

// The profile, the manifest and every row's certificate, checked as a whole
// before any port is opened.
bool readInputs(const Invocation &invocation, QVector<UnitJob> &jobs)
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
    QStringList problems;
    if (planJobs(rows, profile, invocation.certificateFile, jobs, problems)) {
        if (!assignIdentities(jobs))
            printProblem(QStringLiteral("%1: no column tells units apart; a unit left on its "
                                        "fixture is known by its presence alone")
                             .arg(invocation.file));
        return true;
    }
    for (const QString &line : problems)
        printRaw(line);
    printProblem(QStringLiteral("%1: rows that cannot be sent; nothing sent").arg(invocation.file));
    return false;
}

bool readHistory(const QString &journalPath, JournalHistory &history)
{
    QString problem;
    const bool read = readJournal(journalPath, history, problem);
    for (const QString &warning : history.warnings)
        printProblem(warning);
    if (!read)
        printProblem(problem + QStringLiteral("; nothing sent"));
    return read;
}

int exitCodeOf(const StationOutcome &outcome)
{
    switch (outcome.end) {
    case StationOutcome::End::AllPassed: return resultsDelivered() ? ExitDone : ExitResultsLost;
    case StationOutcome::End::Stopped: return ExitInterrupted;
    case StationOutcome::End::RecordFailed: return ExitResultsLost;
    }
    return ExitInterrupted;
}

} // namespace

int serveStation(const Invocation &invocation, UnitQueue &queue)
{
    StationSettings settings;
    settings.link = static_cast<const LinkSettings &>(invocation);
    settings.ports = invocation.ports;
    settings.stopRequest = &stopSignalled;
    catchStopSignals();
    ConsoleObserver observer;
    return exitCodeOf(runStation(settings, queue, observer));
}

int runStationCommand(const Invocation &invocation)
{
    if (!invocation.batch.isEmpty())
        return runLineStation(invocation);
    QVector<UnitJob> jobs;
    if (!readInputs(invocation, jobs))
        return ExitInvalidInput;
    const QString journalPath = invocation.journalFile.isEmpty()
                                    ? invocation.file + QStringLiteral(".journal")
                                    : invocation.journalFile;
    JournalHistory history;
    if (!readHistory(journalPath, history))
        return ExitInvalidInput;
    FileQueue queue(jobs, history.passedRows, invocation.showSecrets);
    if (queue.progress().passed == jobs.size()) {
        printResult(QStringLiteral("station: all %1 rows passed already (%2); no port opened")
                        .arg(jobs.size())
                        .arg(journalPath));
        return ExitDone;
    }
    QString problem;
    if (!queue.openJournal(journalPath, history, problem)) {
        printProblem(problem + QStringLiteral("; nothing sent"));
        return ExitResultsLost;
    }
    return serveStation(invocation, queue);
}
