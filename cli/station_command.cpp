// kestroctl station: a manifest of units in, a journal of results out, one
// fixture for each port. The station itself is the library in station/; this
// is its command line: the inputs, the signals, the printing and the exit
// code.
#include "cli/commands.h"
#include "cli/config_file.h"
#include "cli/console.h"
#include "cli/exit_codes.h"
#include "cli/figures.h"
#include "station/file_queue.h"
#include "station/identity.h"
#include "station/manifest.h"
#include "station/run_lock.h"
#include "station/station.h"

#include <QFileInfo>

#include <algorithm>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <pwd.h>
#include <unistd.h>

namespace {

// From this many rows on, the check of a manifest says how far it is.
constexpr int kRowsWorthProgress = 10000;

// The first SIGINT or SIGTERM stops the station after the units in
// progress; the next one stops it at once.
std::atomic<bool> stopSignalled{false};
std::atomic<bool> stopAtOnceSignalled{false};
// SIGUSR1: the run's figures, told without stopping it.
std::atomic<bool> figuresSignalled{false};
static_assert(std::atomic<bool>::is_always_lock_free, "the signal handler sets it");

void onStopSignal(int)
{
    if (stopSignalled.exchange(true))
        stopAtOnceSignalled = true;
}

void onFiguresSignal(int)
{
    figuresSignalled = true;
}

// Each fixture's units tried and passed, its first-pass yield and last
// failure, and the causes that cost the most units.
void printFigures(const StationFigures &figures)
{
    for (const FixtureFigures &fixture : figures.fixtures)
        printResult(QStringLiteral("  ") + fixtureLine(fixture));
    const QString causes = causesLine(figures.causes);
    if (!causes.isEmpty())
        printResult(QStringLiteral("  ") + causes);
}

// Who runs the command, for a release's record.
QString userName()
{
    const passwd *user = ::getpwuid(::geteuid());
    return user ? QString::fromLocal8Bit(user->pw_name) : QString::fromLocal8Bit(qgetenv("USER"));
}

QString rowName(const UnitJob &job)
{
    if (job.row > 0)
        return rowLabel(job.row, job.unit);
    return job.unit.isEmpty() ? QStringLiteral("unit") : QStringLiteral("unit (%1)").arg(job.unit);
}

QString resultLine(const UnitJob &job, const UnitResult &result, const QueueProgress &progress)
{
    QString what = result.passed()
                       ? QStringLiteral("passed in %1 s").arg(result.seconds, 0, 'f', 1)
                       : QStringLiteral("failed at %1: %2")
                             .arg(QLatin1String(stepName(result.failedStep)), result.message);
    if (result.identity == IdentityFate::Returned)
        what += QStringLiteral("; its own values were written back, the row goes to the next unit");
    else if (result.identity == IdentityFate::Kept)
        what += QStringLiteral("; the unit may hold the row's values: put it back on a fixture to "
                               "finish it");
    // The unit holds its row, but the journal does not know it: the unit
    // must stay where the next run will find it.
    if (!result.notRecorded.isEmpty())
        what = result.passed() ? QStringLiteral("passed on the unit but NOT RECORDED: %1; keep "
                                                "the unit on its fixture")
                                     .arg(result.notRecorded)
                               : what + QStringLiteral("; NOT RECORDED: ") + result.notRecorded;
    // The label and the message may hold anything a manifest can.
    return printable(QStringLiteral("%1 on %2: %3 [%4 of %5 passed]")
                         .arg(rowName(job), result.fixture, what)
                         .arg(progress.passed)
                         .arg(progress.rows));
}

QString unitsInProgress(int units)
{
    return QStringLiteral("%1 %2 in progress")
        .arg(units)
        .arg(QLatin1String(units == 1 ? "unit" : "units"));
}

void printSummary(const StationOutcome &outcome, const QStringList &setAside)
{
    const int failed = outcome.progress.failedUnits;
    QString summary = QStringLiteral("station: %1 of %2 rows passed, %3 %4 failed, %5 s")
                          .arg(outcome.progress.passed)
                          .arg(outcome.progress.rows)
                          .arg(failed)
                          .arg(QLatin1String(failed == 1 ? "unit" : "units"))
                          .arg(outcome.seconds, 0, 'f', 1);
    if (!setAside.isEmpty())
        summary += QStringLiteral("; set aside: ") + setAside.join(QStringLiteral(", "));
    QStringList kept;
    for (const KeptRow &row : outcome.progress.keptRows)
        kept << QStringLiteral("%1, last on %2").arg(rowLabel(row.row, row.unit), row.where());
    if (!kept.isEmpty())
        summary += QStringLiteral("; kept for its unit: ") + kept.join(QStringLiteral("; "));
    printResult(printable(summary));
}

int exitCodeOf(const StationOutcome &outcome)
{
    switch (outcome.end) {
    case StationOutcome::End::AllPassed:
        if (!resultsDelivered())
            return ExitResultsLost;
        return outcome.progress.setAsideRows.isEmpty() ? ExitDone : ExitRowsSetAside;
    case StationOutcome::End::Stopped: return ExitInterrupted;
    case StationOutcome::End::RecordFailed: return ExitResultsLost;
    case StationOutcome::End::QueueLost: return ExitLineDatabase;
    }
    return ExitInterrupted;
}

// The operator's lines: results on standard output, each fixture's notes on
// standard error under its port's name.
class ConsoleObserver : public StationObserver
{
public:
    // `rowTries`: after how many failed units the queue sets a row aside.
    explicit ConsoleObserver(int rowTries) : rowTries_(rowTries) {}

    void fixtureNote(const QString &fixture, const QString &line) override
    {
        printProblem(fixture + QStringLiteral(": ") + line);
    }
    void queueNote(const QString &line) override { printProblem(line); }
    void trace(const QString &entry) override { printRaw(entry); }
    void stopRequested(int units, bool atOnce) override
    {
        if (atOnce) {
            printProblem(
                QStringLiteral("stopping at once: %1 given up").arg(unitsInProgress(units)));
            return;
        }
        printProblem(QStringLiteral("stopping: ") + unitsInProgress(units));
        if (units > 0)
            printProblem(QStringLiteral("a second Ctrl-C stops at once: the units in progress then "
                                        "fail at interrupted, and their rows wait again"));
    }
    void unitDone(const UnitJob &job, const UnitResult &result,
                  const QueueProgress &progress) override
    {
        printResult(resultLine(job, result, progress));
        // Only this unit's row can have been set aside since the last one.
        if (progress.setAsideRows.size() == setAside_.size())
            return;
        setAside_ << printable(rowName(job));
        printResult(
            printable(QStringLiteral("%1 set aside after %2 units failed at %3: %4; "
                                     "correct the manifest")
                          .arg(rowName(job))
                          .arg(rowTries_)
                          .arg(QLatin1String(stepName(result.failedStep)), result.message)));
    }
    void unitUnsettled(const UnitJob &, const UnitResult &, const QString &line,
                       const QueueProgress &) override
    {
        printResult(printable(line)); // it names the unit's label and its fixture
    }
    void figures(const StationFigures &figures) override
    {
        printResult(QStringLiteral("station, so far:"));
        printFigures(figures);
    }
    void runEnded(const StationOutcome &outcome) override
    {
        printSummary(outcome, setAside_);
        printFigures(outcome.figures);
        if (outcome.end != StationOutcome::End::AllPassed)
            return;
        // Done: the units still on their fixtures need not be waited for,
        // and every line is on the disk.
        std::fflush(nullptr);
        std::_Exit(exitCodeOf(outcome));
    }

private:
    const int rowTries_;
    QStringList setAside_; // each row set aside, as its lines name it
};

// A file the station reads whole must be one: a FIFO would keep it waiting,
// a device would never end. "-" (standard input) is not looked at.
bool isRegularOrInput(const QString &path, bool absentAllowed)
{
    const QFileInfo info(path);
    if (path == QLatin1String("-") || info.isFile() || (absentAllowed && !info.exists()))
        return true;
    if (info.exists())
        printProblem(QStringLiteral("%1 is not a regular file; nothing sent").arg(path));
    return !info.exists(); // an absent file is told by its reader
}

// The rows of a long manifest are many seconds' work: the operator is told
// how far the check is.
PlanProgress planProgress(const QString &manifest, int rows)
{
    if (rows < kRowsWorthProgress)
        return PlanProgress();
    return [manifest](int planned, int all) {
        printProblem(
            QStringLiteral("%1: %2 of %3 rows checked").arg(manifest).arg(planned).arg(all));
    };
}

bool readManifestRows(const QString &manifest, QVector<ManifestRow> &rows, QString &problem)
{
    int blankRows = 0;
    if (!readManifest(manifest, rows, problem, &blankRows))
        return false;
    if (blankRows > 0)
        printProblem(QStringLiteral("%1: %2 blank %3 skipped")
                         .arg(manifest)
                         .arg(blankRows)
                         .arg(QLatin1String(blankRows == 1 ? "row" : "rows")));
    return true;
}

// The profile, the manifest and every row's certificate, checked as a whole
// before any port is opened.
bool readInputs(const Invocation &invocation, QVector<UnitJob> &jobs)
{
    ValueChanges profile;
    QVector<ManifestRow> rows;
    QString problem;
    const bool withProfile = !invocation.profileFile.isEmpty();
    if (withProfile && !isRegularOrInput(invocation.profileFile, false))
        return false;
    if ((withProfile && !readProfileArgument(invocation.profileFile, profile, problem)) ||
        !readManifestRows(invocation.file, rows, problem)) {
        printProblem(problem + QStringLiteral("; nothing sent"));
        return false;
    }
    QStringList problems;
    if (planJobs(rows, profile, invocation.certificateFile, jobs, problems,
                 planProgress(invocation.file, rows.size()))) {
        if (!assignIdentities(jobs))
            printProblem(QStringLiteral("%1: no column tells units apart; a unit left on its "
                                        "fixture is known by its presence alone")
                             .arg(invocation.file));
        return true;
    }
    for (const QString &line : problems)
        printRaw(printable(line));
    printProblem(QStringLiteral("%1: rows that cannot be sent; nothing sent").arg(invocation.file));
    return false;
}

// The manifest is this run's alone; a manifest that cannot be opened is
// left to the reader to explain.
bool lockManifest(const QString &path, RunLock &lock)
{
    QString problem;
    const RunLock::Result result = lock.lock(path, 0, problem);
    if (result == RunLock::Result::InUse || result == RunLock::Result::NotRegular) {
        printProblem(problem + QStringLiteral("; nothing sent"));
        return false;
    }
    return true;
}

// The journal, made if it is not there, is this run's alone; one that will
// hold the passwords is for its owner's eyes only. ExitDone if it may be used.
int lockJournal(const QString &path, bool withSecrets, RunLock &lock)
{
    QString problem;
    const RunLock::Result result = lock.lock(path, withSecrets ? 0600 : 0644, problem);
    if (result == RunLock::Result::Locked && withSecrets && lock.othersMayRead())
        problem = QStringLiteral("%1 can be read by others, and --show-secrets would write the "
                                 "passwords into it: make it private (chmod 600) or give a new "
                                 "--journal")
                      .arg(path);
    else if (result == RunLock::Result::Locked)
        return ExitDone;
    printProblem(problem + QStringLiteral("; nothing sent"));
    return result == RunLock::Result::Failed ? ExitResultsLost : ExitInvalidInput;
}

bool readHistory(const QString &journalPath, const QString &manifest, const QVector<UnitJob> &jobs,
                 JournalHistory &history)
{
    QSet<QString> keys;
    for (const UnitJob &job : jobs)
        keys.insert(job.rowKey);
    QString problem;
    if (!readJournal(journalPath, keys, history, problem)) {
        printProblem(problem + QStringLiteral("; nothing sent"));
        return false;
    }
    for (const QString &warning : history.warnings)
        printProblem(warning);
    if (history.belongsElsewhere()) {
        printProblem(journalPath + QStringLiteral(" belongs to another manifest; nothing sent"));
        return false;
    }
    for (const QString &line : history.strangers)
        printProblem(QStringLiteral("%1 is not in %2 any more").arg(line, manifest));
    if (history.moreStrangers > 0)
        printProblem(QStringLiteral("and %1 more passed lines of rows not in %2")
                         .arg(history.moreStrangers)
                         .arg(manifest));
    return true;
}

// Frees a row kept for a unit that is lost for good: a line in the journal,
// with the reason and who gave it, so that the next run gives the row to
// any unit.
int releaseRow(const Invocation &invocation, const QVector<UnitJob> &jobs,
               const QString &journalPath, const JournalHistory &history)
{
    const auto job = std::find_if(jobs.cbegin(), jobs.cend(), [&invocation](const UnitJob &job) {
        return job.row == invocation.releaseRow;
    });
    if (job == jobs.cend()) {
        printProblem(QStringLiteral("%1 has no row %2; nothing released")
                         .arg(invocation.file)
                         .arg(invocation.releaseRow));
        return ExitInvalidInput;
    }
    if (!keptRows(jobs, history).contains(job->row)) {
        printProblem(printable(
            QStringLiteral("%1 is kept for no unit; nothing released").arg(rowName(*job))));
        return ExitInvalidInput;
    }
    JournalWriter journal;
    QString problem;
    if (!journal.open(journalPath, history, invocation.showSecrets, problem) ||
        !journal.append(releaseLine(*job, invocation.reason, userName()), problem)) {
        printProblem(problem + QStringLiteral("; nothing released"));
        return ExitResultsLost;
    }
    printResult(printable(releasedLine(rowName(*job), invocation.reason)));
    return ExitDone;
}

} // namespace

QString releasedLine(const QString &row, const QString &reason)
{
    return QStringLiteral("%1 released: %2; a unit that still holds its values must be wiped "
                          "before it ships")
        .arg(row, reason);
}

const std::atomic<bool> *catchStopSignals()
{
    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    action.sa_handler = onStopSignal;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    action.sa_handler = onFiguresSignal;
    sigaction(SIGUSR1, &action, nullptr);
    return &stopSignalled;
}

int serveStation(const Invocation &invocation, UnitQueue &queue)
{
    StationSettings settings;
    settings.link = static_cast<const LinkSettings &>(invocation);
    settings.ports = invocation.ports;
    settings.stopRequest = &stopSignalled;
    settings.stopAtOnceRequest = &stopAtOnceSignalled;
    settings.figuresRequest = &figuresSignalled;
    catchStopSignals();
    ConsoleObserver observer(invocation.rowTries);
    return exitCodeOf(runStation(settings, queue, observer));
}

int runStationCommand(const Invocation &invocation)
{
    if (!invocation.batch.isEmpty())
        return runLineStation(invocation);
    RunLock manifestLock;
    QVector<UnitJob> jobs;
    if (!lockManifest(invocation.file, manifestLock) || !readInputs(invocation, jobs))
        return ExitInvalidInput;
    const QString journalPath = invocation.journalFile.isEmpty()
                                    ? invocation.file + QStringLiteral(".journal")
                                    : invocation.journalFile;
    RunLock journalLock;
    const int refused = lockJournal(journalPath, invocation.showSecrets, journalLock);
    if (refused != ExitDone)
        return refused;
    JournalHistory history;
    if (!readHistory(journalPath, invocation.file, jobs, history))
        return ExitInvalidInput;
    if (invocation.releaseRow > 0)
        return releaseRow(invocation, jobs, journalPath, history);
    FileQueue queue(jobs, passedRows(jobs, history), invocation.showSecrets, invocation.rowTries,
                    keptRows(jobs, history));
    if (queue.progress().passed == jobs.size()) {
        printResult(
            printable(QStringLiteral("station: all %1 rows passed already (%2); no port opened")
                          .arg(jobs.size())
                          .arg(journalPath)));
        return ExitDone;
    }
    QString problem;
    if (!queue.openJournal(journalPath, history, problem)) {
        printProblem(problem + QStringLiteral("; nothing sent"));
        return ExitResultsLost;
    }
    return serveStation(invocation, queue);
}
