// kestroctl line status: a supervisor's view of the line, once or redrawn
// until Ctrl-C (--watch): per batch its counts, the rate and the time left,
// per station and fixture the units tried and passed and the first-pass
// yield, the commonest causes of failure, and the rows kept for their units.
#include "base/json_text.h"
#include "cli/commands.h"
#include "cli/console.h"
#include "cli/exit_codes.h"
#include "cli/figures.h"
#include "cli/line_commands.h"
#include "line/line_batch.h"

#include <QThread>

#include <nlohmann/json.hpp>

#include <atomic>
#include <cmath>
#include <csignal>
#include <cstring>

#include <unistd.h>

namespace {

using Json = nlohmann::ordered_json;

std::string text(const QString &value)
{
    return value.toStdString();
}

Json textOrNull(const QString &value)
{
    return value.isEmpty() ? Json(nullptr) : Json(text(value));
}

Json yieldOf(double share)
{
    return share < 0 ? Json(nullptr) : Json(std::round(share * 1000.0) / 1000.0);
}

// Units tried, passed at their first try, over every fixture given.
FixtureFigures summed(const QVector<FixtureFigures> &fixtures)
{
    FixtureFigures all;
    for (const FixtureFigures &fixture : fixtures) {
        all.tried += fixture.tried;
        all.passed += fixture.passed;
        all.passedFirst += fixture.passedFirst;
    }
    return all;
}

QVector<FixtureFigures> allFixtures(const BatchProgress &batch)
{
    QVector<FixtureFigures> all;
    for (const StationProgress &station : batch.stations)
        all += station.fixtureFigures;
    return all;
}

Json fixturesJson(const StationProgress &station)
{
    Json fixtures = Json::array();
    for (const FixtureFigures &fixture : station.fixtureFigures)
        fixtures.push_back({{"fixture", text(fixture.fixture)},
                            {"tried", fixture.tried},
                            {"passed", fixture.passed},
                            {"first_pass_yield", yieldOf(fixture.firstPassYield())},
                            {"last_failure", textOrNull(fixture.lastFailure)},
                            {"flagged", fixture.flagged}});
    return fixtures;
}

Json stationsJson(const BatchProgress &batch)
{
    Json stations = Json::array();
    for (const StationProgress &station : batch.stations) {
        const FixtureFigures all = summed(station.fixtureFigures);
        stations.push_back({{"station", text(station.station)},
                            {"fixtures", fixturesJson(station)},
                            {"tried", all.tried},
                            {"passed", station.passed},
                            {"failed", station.failed},
                            {"first_pass_yield", yieldOf(all.firstPassYield())},
                            {"units_per_hour", station.unitsPerHour},
                            {"last_seen", textOrNull(station.lastSeen)}});
    }
    return stations;
}

Json batchJson(const BatchProgress &batch)
{
    Json kept = Json::array();
    for (const KeptRow &row : batch.keptRows)
        kept.push_back({{"row", row.row},
                        {"unit", text(row.unit)},
                        {"station", text(row.station)},
                        {"fixture", text(row.fixture)},
                        {"since", textOrNull(row.since)}});
    Json causes = Json::array();
    for (const CauseFigures &cause : batch.causes)
        causes.push_back(
            {{"step", text(cause.step)}, {"message", text(cause.message)}, {"units", cause.units}});
    return {{"batch", text(batch.batch)},
            {"rows", batch.rows},
            {"waiting", batch.waiting},
            {"leased", batch.leased},
            {"passed", batch.passed},
            {"set_aside", batch.setAside},
            {"failed_units", batch.failedUnits},
            {"units_per_hour", batch.passedPerHour},
            {"eta_seconds", batch.etaSeconds < 0 ? Json(nullptr) : Json(batch.etaSeconds)},
            {"first_pass_yield", yieldOf(summed(allFixtures(batch)).firstPassYield())},
            {"causes", causes},
            {"kept", kept},
            {"stations", stationsJson(batch)}};
}

// "about 14 min left", at the present rate.
QString timeLeft(qint64 seconds)
{
    if (seconds < 60)
        return QStringLiteral("less than a minute left");
    const qint64 minutes = (seconds + 59) / 60;
    if (minutes < 120)
        return QStringLiteral("about %1 min left").arg(minutes);
    return QStringLiteral("about %1 h %2 min left").arg(minutes / 60).arg(minutes % 60);
}

void printRate(const BatchProgress &batch)
{
    const FixtureFigures all = summed(allFixtures(batch));
    const QString rate = batch.etaSeconds < 0
                             ? QStringLiteral("no row passed in the last 10 minutes")
                             : QStringLiteral("%1 rows/h over the last 10 minutes, %2")
                                   .arg(batch.passedPerHour)
                                   .arg(timeLeft(batch.etaSeconds));
    printResult(QStringLiteral("  %1; first-pass yield %2 (%3 of %4 units)")
                    .arg(rate, percentOf(all.passedFirst, all.tried))
                    .arg(all.passedFirst)
                    .arg(all.tried));
}

void printStations(const BatchProgress &batch)
{
    for (const StationProgress &station : batch.stations) {
        printResult(
            QStringLiteral("  station %1: %2 %3, %4 passed, %5 failed, %6 units/h, "
                           "last seen %7")
                .arg(printable(station.station))
                .arg(station.fixtures)
                .arg(QLatin1String(station.fixtures == 1 ? "fixture" : "fixtures"))
                .arg(station.passed)
                .arg(station.failed)
                .arg(station.unitsPerHour)
                .arg(station.lastSeen.isEmpty() ? QStringLiteral("never") : station.lastSeen));
        for (const FixtureFigures &fixture : station.fixtureFigures)
            printResult(QStringLiteral("    ") + fixtureLine(fixture));
    }
}

void printCauses(const BatchProgress &batch)
{
    const QString causes = causesLine(batch.causes);
    if (!causes.isEmpty())
        printResult(QStringLiteral("  ") + causes);
}

void printBatch(const BatchProgress &batch)
{
    printResult(QStringLiteral("batch %1: %2 rows: %3 waiting, %4 leased (%5 expired), %6 passed, "
                               "%7 set aside, %8 kept; %9 units failed")
                    .arg(printable(batch.batch))
                    .arg(batch.rows)
                    .arg(batch.waiting)
                    .arg(batch.leased)
                    .arg(batch.expiredLeases)
                    .arg(batch.passed)
                    .arg(batch.setAside)
                    .arg(batch.kept)
                    .arg(batch.failedUnits));
    printRate(batch);
    printStations(batch);
    printCauses(batch);
    for (const KeptRow &row : batch.keptRows)
        printResult(printable(QStringLiteral("  kept for its unit: %1, last on %2 since %3")
                                  .arg(rowLabel(row.row, row.unit), row.where(), row.since)));
}

// One view of every batch (or only the invocation's); false, told, if the
// database did not give it.
bool show(const Invocation &invocation, LineDatabase &database, int &code)
{
    QVector<BatchProgress> batches;
    LineStatus status = database.connection() ? LineStatus() : connect(invocation, database);
    if (status.ok())
        status = batchProgress(database, invocation.batch, batches);
    if (!status.ok()) {
        database.close(); // asked afresh at the next view
        code = failed(status);
        return false;
    }
    if (batches.isEmpty() && !invocation.json)
        printResult(QStringLiteral("no batch imported yet"));
    for (const BatchProgress &batch : batches) {
        if (invocation.json)
            printResultText(jsonText(batchJson(batch)) + '\n');
        else
            printBatch(batch);
    }
    code = ExitDone;
    return true;
}

std::atomic<bool> watchEnded{false};

void endWatch(int)
{
    watchEnded = true;
}

// Redraws the view every `seconds` until Ctrl-C: in place on a terminal,
// else one block after another, a blank line between them. A database that
// does not answer is said in the view, and asked again at the next.
int watch(const Invocation &invocation, int seconds)
{
    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    action.sa_handler = endWatch;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    const bool terminal = ::isatty(STDOUT_FILENO) == 1;
    LineDatabase database;
    for (int views = 0; !watchEnded; ++views) {
        if (terminal)
            printResultText("\x1b[H\x1b[2J");
        else if (views > 0)
            printResultText("\n");
        int code = ExitDone;
        show(invocation, database, code);
        for (int slept = 0; slept < seconds * 1000 && !watchEnded; slept += 100)
            QThread::msleep(100);
    }
    return resultsDelivered() ? ExitDone : ExitResultsLost;
}

} // namespace

int runLineStatus(const Invocation &invocation)
{
    if (invocation.watchSeconds > 0)
        return watch(invocation, invocation.watchSeconds);
    LineDatabase database;
    int code = ExitDone;
    show(invocation, database, code);
    return code;
}
