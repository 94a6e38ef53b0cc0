// kestroctl line: a batch of rows in the line's PostgreSQL database, shared
// by several stations. The database work is the line library's; here are
// the command line's words and exit codes.
#include "cli/line_commands.h"
#include "cli/commands.h"
#include "cli/config_file.h"
#include "cli/console.h"
#include "cli/exit_codes.h"
#include "line/db_queue.h"
#include "line/line_batch.h"
#include "line/line_schema.h"
#include "line/line_sql.h"
#include "protocol/config_fields.h"
#include "station/manifest.h"

#include <QCoreApplication>
#include <QSysInfo>

#include <nlohmann/json.hpp>

int lineExitCode(LineFault fault)
{
    switch (fault) {
    case LineFault::None: return ExitDone;
    case LineFault::BadConnectionString: return ExitUsage;
    case LineFault::BatchExists:
    case LineFault::NoSuchBatch:
    case LineFault::BadInput:
    case LineFault::StationRunning: return ExitInvalidInput;
    case LineFault::Unreachable:
    case LineFault::RunEnded:
    case LineFault::Refused:
    case LineFault::SchemaUnknown: break;
    }
    return ExitLineDatabase;
}

int failed(const LineStatus &status, const QString &after)
{
    printProblem(status.message + after);
    return lineExitCode(status.fault);
}

LineStatus connect(const Invocation &invocation, LineDatabase &database, bool forInit)
{
    LineStatus status = database.open(invocation.database);
    if (status.ok() && !forInit)
        status = checkLineSchema(database);
    return status;
}

namespace {

bool batchGiven(const Invocation &invocation)
{
    if (!invocation.batch.isEmpty())
        return true;
    printProblem(QStringLiteral("%1 needs --batch NAME").arg(invocation.command));
    return false;
}

// The manifest read and planned as station reads and plans it.
bool readRows(const Invocation &invocation, QVector<LineRow> &rows)
{
    ValueChanges profile;
    QVector<ManifestRow> manifest;
    QString problem;
    if ((!invocation.profileFile.isEmpty() &&
         !readProfileArgument(invocation.profileFile, profile, problem)) ||
        !readManifest(invocation.file, manifest, problem)) {
        printProblem(problem + QStringLiteral("; nothing imported"));
        return false;
    }
    QVector<UnitJob> jobs;
    QStringList problems;
    if (!planJobs(manifest, profile, invocation.certificateFile, jobs, problems)) {
        for (const QString &line : problems)
            printRaw(printable(line));
        printProblem(
            QStringLiteral("%1: rows that cannot be sent; nothing imported").arg(invocation.file));
        return false;
    }
    manifest.clear(); // its memory goes to the rows
    // One copy of each key, shared by the rows that give it.
    QStringList keys;
    for (int row = 0; row < ConfigRowCount; ++row)
        keys << QLatin1String(kConfigFields[row].key);
    rows.reserve(jobs.size());
    for (const UnitJob &job : jobs) {
        LineRow row{job.row, job.unit, {}, job.certificate, job.certificateSha256};
        for (auto it = job.changes.constBegin(); it != job.changes.constEnd(); ++it)
            row.values.insert(keys.at(it.key()), it.value());
        rows.append(row);
    }
    return true;
}

} // namespace

namespace {

void printInitReport(const LineInitReport &report)
{
    for (const RowsWithoutIdentity &left : report.withoutIdentity)
        printResult(left.rows == 1
                        ? QStringLiteral("batch %1: 1 row has no identity; its unit is known by "
                                         "presence only")
                              .arg(printable(left.batch))
                        : QStringLiteral("batch %1: %2 rows have no identity; their units are "
                                         "known by presence only")
                              .arg(printable(left.batch))
                              .arg(left.rows));
    for (const StoppedStation &stopped : report.stopped)
        printResult(QStringLiteral("station %1 (host %2) was seen in the last minute; built for "
                                   "schema version %3, it stops on this one: start it again "
                                   "with this kestroctl")
                        .arg(printable(stopped.station), printable(stopped.host))
                        .arg(stopped.version));
}

} // namespace

int runLineInit(const Invocation &invocation)
{
    LineDatabase database;
    LineInitReport report;
    LineStatus status = connect(invocation, database, true);
    if (status.ok())
        status = initLineSchema(database, {invocation.stationRole, invocation.viewerRole}, &report);
    if (!status.ok())
        return failed(status);
    printResult(QStringLiteral("the line's database (%1) has schema version %2")
                    .arg(database.where())
                    .arg(lineSchemaVersion()));
    printInitReport(report);
    if (!invocation.stationRole.isEmpty())
        printResult(QStringLiteral("role %1 may claim, renew and record")
                        .arg(printable(invocation.stationRole)));
    if (!invocation.viewerRole.isEmpty())
        printResult(QStringLiteral("role %1 may read the views line_progress, station_rates, "
                                   "fixture_yield and failure_causes")
                        .arg(printable(invocation.viewerRole)));
    return ExitDone;
}

namespace {

// Each row whose host name an open batch holds, as readRows prints the
// manifest's own problems; false if there was any.
bool reportShared(const Invocation &invocation, const QVector<SharedHostname> &shared)
{
    for (const SharedHostname &row : shared)
        printRaw(printable(QStringLiteral("row %1: hostname %2 is already in batch %3 (row %4)")
                               .arg(row.row)
                               .arg(row.hostname, row.batch)
                               .arg(row.batchRow)));
    if (!shared.isEmpty())
        printProblem(QStringLiteral("%1: host names that an open batch holds; nothing imported "
                                    "(--allow-shared-identities imports them all the same)")
                         .arg(invocation.file));
    return shared.isEmpty();
}

} // namespace

int runLineImport(const Invocation &invocation)
{
    QVector<LineRow> rows;
    if (!batchGiven(invocation))
        return ExitUsage;
    if (!readRows(invocation, rows))
        return ExitInvalidInput;
    LineDatabase database;
    LineStatus status = connect(invocation, database);
    QVector<SharedHostname> shared;
    if (status.ok())
        status = importBatch(database, invocation.batch, rows,
                             invocation.allowSharedIdentities ? nullptr : &shared);
    if (!reportShared(invocation, shared))
        return ExitInvalidInput;
    if (!status.ok())
        return failed(status, QStringLiteral("; nothing imported"));
    printResult(QStringLiteral("batch %1: %2 rows imported")
                    .arg(printable(invocation.batch))
                    .arg(rows.size()));
    return ExitDone;
}

int runLineExport(const Invocation &invocation)
{
    if (!batchGiven(invocation))
        return ExitUsage;
    LineDatabase database;
    LineStatus status = connect(invocation, database);
    if (status.ok())
        status = exportBatch(database, invocation.batch, [](const QByteArray &line) {
            printResultText(line + '\n');
            return resultsDelivered();
        });
    return status.ok() ? ExitDone : failed(status);
}

int runLineRelease(const Invocation &invocation)
{
    if (!batchGiven(invocation))
        return ExitUsage;
    if (invocation.releaseRow <= 0 || invocation.reason.trimmed().isEmpty()) {
        printProblem(QStringLiteral("line release needs --row N and --reason TEXT"));
        return ExitUsage;
    }
    LineDatabase database;
    QString unit, where;
    LineStatus status = connect(invocation, database);
    if (status.ok())
        status = releaseRow(database, invocation.batch, invocation.releaseRow, invocation.reason,
                            unit, where);
    if (!status.ok())
        return failed(status);
    printResult(printable(releasedLine(rowLabel(invocation.releaseRow, unit), invocation.reason)));
    return ExitDone;
}

namespace {

int stoppedBeforeStart()
{
    printProblem(QStringLiteral("stopping: 0 units in progress"));
    return ExitInterrupted;
}

// The journal --journal names; else one named after the batch and the
// station, in the current folder whatever the names hold: no '/' to lead out
// of it, no character that a terminal acts on or that hides in a listing.
QString journalOf(const Invocation &invocation, const QString &station)
{
    if (!invocation.journalFile.isEmpty())
        return invocation.journalFile;
    QString name = QStringLiteral("%1.%2.journal").arg(invocation.batch, station);
    for (QChar &c : name) {
        const QChar::Category category = c.category();
        if (c == QLatin1Char('/') || category == QChar::Other_Control ||
            category == QChar::Other_Format || category == QChar::Separator_Line ||
            category == QChar::Separator_Paragraph)
            c = QLatin1Char('_');
    }
    return name;
}

// The station's own journal, appended to. The database knows which rows
// passed; the journal is read for its torn last line only.
int openStationJournal(DbQueue &queue, const QString &journalPath)
{
    JournalHistory history;
    QString problem;
    const bool read = readJournal(journalPath, {}, history, problem);
    for (const QString &warning : history.warnings)
        printProblem(warning);
    if (read && queue.openJournal(journalPath, history, problem))
        return ExitDone;
    printProblem(problem + QStringLiteral("; nothing sent"));
    return read ? ExitResultsLost : ExitInvalidInput;
}

} // namespace

int runLineStation(const Invocation &invocation)
{
    const QString host = QSysInfo::machineHostName();
    const QString station = invocation.stationName.isEmpty() ? host : invocation.stationName;
    DbQueue queue({invocation.batch, station, double(invocation.leaseSeconds),
                   invocation.showSecrets, invocation.rowTries});
    const QString journalPath = journalOf(invocation, station);
    queue.readUnrecorded(journalPath);
    // A stop while the database is still being reached ends the wait.
    const std::atomic<bool> *stop = catchStopSignals();
    const LineStatus status = queue.open(
        invocation.database, host, QCoreApplication::applicationPid(), invocation.ports, stop);
    if (!status.ok() && *stop)
        return stoppedBeforeStart();
    if (!status.ok())
        return failed(status, QStringLiteral("; nothing sent"));
    const int opened = openStationJournal(queue, journalPath);
    if (opened != ExitDone)
        return opened;
    const QueueProgress progress = queue.progress();
    if (progress.passed == progress.rows) {
        printResult(printable(
            QStringLiteral("station: all %1 rows of batch %2 passed already (%3); no port opened")
                .arg(progress.rows)
                .arg(invocation.batch, journalPath)));
        return ExitDone;
    }
    const int code = serveStation(invocation, queue);
    // Stopped while the database was away: the journal is all that holds these.
    if (const int left = queue.unrecorded())
        printProblem(QStringLiteral("%1 %2 not in the line's database; %3 holds %4, marked "
                                    "\"recorded\": false")
                         .arg(left)
                         .arg(QLatin1String(left == 1 ? "result is" : "results are"), journalPath,
                              QLatin1String(left == 1 ? "it" : "them")));
    return code;
}
