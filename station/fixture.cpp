// One fixture of a station: the units that come and go on one port.
#include "station/fixture.h"
#include "device/exchange_log.h"
#include "link/device_requests.h"
#include "protocol/config_fields.h"
#include "station/commission.h"

#include <QThread>

#include <algorithm>
#include <chrono>
#include <memory>

namespace {

// How often a fixture looks again for a port that would not open, how often
// it checks that a unit known by its presence alone is still there, and how
// often it asks a queue that could not be reached again.
constexpr int kReopenFixtureMs = 100;
constexpr int kPresencePingMs = 1000;
constexpr int kQueueRetryMs = 1000;
constexpr int kPauseSliceMs = 50;
// A unit known by its identity is checked about five times a second, so
// that even a short silence between two units is seen, and every fifth check
// (the first one included) reads its values, so that a unit put in its place
// without a silence is seen too. A Ping costs the line next to nothing, a
// Config Query a fifth of a second at 115200 baud.
constexpr int kPresenceCheckMs = 150;
constexpr int kChecksPerCompare = 5;

// What a fixture knows of the unit it waits to see go.
struct Watch {
    QStringList held;      // its values when last read; empty: never read
    ValueChanges identity; // the keys that tell another unit from it; empty: none do
};

class Fixture
{
public:
    Fixture(StationRun &run, const QString &port) : run_(run), port_(port)
    {
        settings_ = run.settings.link;
        settings_.port = port;
    }

    void serve();

private:
    void pause(int ms) const;
    void note(const QString &line) const { run_.observer.fixtureNote(port_, line); }
    std::unique_ptr<DeviceLink> makeLink();
    bool waitForUnit(std::unique_ptr<DeviceLink> &link, int32_t &status);
    bool nextUnit(std::unique_ptr<DeviceLink> &link, QStringList &values);
    // How a claim for a unit ended.
    enum class Taken { Job, RunEnded, UnitGone };
    Taken claim(DeviceLink &link, QStringList &values, UnitJob &job, UnitQueue::Claim &claim);
    bool readAgain(DeviceLink &link, QStringList &values);
    Taken takeJob(DeviceLink &link, QStringList &values, Watch &watch);
    void waitForReplug(std::unique_ptr<DeviceLink> &link);
    void waitUntilSilent(std::unique_ptr<DeviceLink> &link);
    void waitUntilGone(std::unique_ptr<DeviceLink> &link, const Watch &watch);
    void recordUnclaimed(FailedStep step, const QString &message);

    StationRun &run_;
    QString port_;
    LinkSettings settings_;
    // While set, the link's diagnostics are not told: pinging for a unit
    // that is not there yet would otherwise fill the screen.
    bool quiet_ = false;
    // A unit seen in the place of the one watched, with its values.
    QStringList arrived_;
    // While set, a unit is on the line: only a stop at once cuts it short.
    bool busy_ = false;
};

// Sleeps `ms`, or less once the run ends.
void Fixture::pause(int ms) const
{
    for (int slept = 0; slept < ms && !run_.ended(); slept += kPauseSliceMs)
        QThread::msleep(kPauseSliceMs);
}

std::unique_ptr<DeviceLink> Fixture::makeLink()
{
    LinkReporter reporter;
    reporter.problem = [this](const QString &line) {
        if (!quiet_)
            note(line);
    };
    reporter.trace = [this](const QString &entry) { run_.observer.trace(entry); };
    auto link = std::make_unique<DeviceLink>(settings_, reporter);
    // A fixture that only waits stops at once, whatever the time-out.
    link->setInterruption([this] { return busy_ ? run_.stoppingAtOnce.load() : run_.ended(); });
    return link;
}

// Opens the port and pings until a unit answers, with `status`; false when
// the run ends first. A port that cannot be opened is tried again: its unit
// may not be plugged in yet. One try a Ping, so that a unit is answered as
// soon as it answers; a device that answers only badly is named once.
bool Fixture::waitForUnit(std::unique_ptr<DeviceLink> &link, int32_t &status)
{
    quiet_ = true;
    bool toldClosed = false;
    int badAnswers = 0;
    while (!run_.ended()) {
        if (!link) {
            link = makeLink();
            if (!link->open()) {
                if (!toldClosed)
                    note(link->verdict() + QStringLiteral("; trying again until it opens"));
                link.reset();
                toldClosed = true;
                pause(kReopenFixtureMs);
                continue;
            }
        }
        QByteArray response;
        const LinkResult result = link->probe(kPingKind, emptyRequest(kPingKind), response);
        if (result == LinkResult::Answered) {
            status = responseStatus(response);
            break;
        }
        badAnswers = link->badAnswer().isEmpty() ? 0 : badAnswers + 1;
        if (badAnswers == settings_.retries + 1)
            note(QStringLiteral("a device answers, but badly: ") + link->badAnswer());
        if (result == LinkResult::PortLost)
            link.reset();
        pause(kPauseSliceMs);
    }
    quiet_ = false;
    return link && !run_.ended();
}

// Waits for the next unit and reads it: its values, or none when it failed
// before it could take a job (recorded so). False when the run ends first.
bool Fixture::nextUnit(std::unique_ptr<DeviceLink> &link, QStringList &values)
{
    values.clear();
    if (!arrived_.isEmpty()) {
        values.swap(arrived_);
        return true;
    }
    note(QStringLiteral("waiting for the next unit"));
    int32_t status = 0;
    if (!waitForUnit(link, status))
        return false;
    if (status != 0) {
        recordUnclaimed(FailedStep::Ping, returnedLine(kPingKind, status));
        return true;
    }
    // Read before anything is written: the unit may hold a row already.
    const StepResult read = queryValues(*link, values);
    if (run_.ended()) // a read cut short by the stop is no failure of the unit's
        return false;
    if (read.outcome == StepOutcome::DeviceStatus)
        link->tell(read.message);
    if (!read.done())
        recordUnclaimed(read.outcome == StepOutcome::PortLost ? FailedStep::Port
                                                              : FailedStep::Write,
                        read.message);
    return true;
}

// Claims a job for the unit that holds `values`. A unit for which only rows
// kept for other units are free is read again before the queue is asked
// again: the operator may have put one of those units in its place.
Fixture::Taken Fixture::claim(DeviceLink &link, QStringList &values, UnitJob &job,
                              UnitQueue::Claim &claim)
{
    QString told; // a queue out of reach is told once, not at every try
    for (;;) {
        QString problem;
        claim = run_.queue.claim(
            port_, values, [this] { return run_.ended(); }, job, problem);
        if (claim == UnitQueue::Claim::Ended)
            return Taken::RunEnded;
        if (claim == UnitQueue::Claim::Claimed || claim == UnitQueue::Claim::AlreadyPassed)
            return Taken::Job;
        if (run_.queueGone())
            return Taken::RunEnded;
        const bool forOthers = claim == UnitQueue::Claim::KeptForOthers;
        if (!problem.isEmpty() && problem != told) {
            if (forOthers)
                note(problem);
            else
                run_.observer.queueNote(problem);
        }
        told = problem.isEmpty() ? told : problem;
        pause(kQueueRetryMs);
        if (run_.ended())
            return Taken::RunEnded;
        if (forOthers && !readAgain(link, values))
            return Taken::UnitGone;
    }
}

// The unit's values read again, quietly; false if it no longer answers.
bool Fixture::readAgain(DeviceLink &link, QStringList &values)
{
    quiet_ = true;
    QStringList now;
    const bool read = queryValues(link, now).done();
    quiet_ = false;
    if (read)
        values = now;
    return read;
}

// Gives the unit that holds `values` its job and commissions it, or tells
// that it is a passed job's unit; `watch` is what then tells it from the
// next.
Fixture::Taken Fixture::takeJob(DeviceLink &link, QStringList &values, Watch &watch)
{
    UnitJob job;
    UnitQueue::Claim claimed = UnitQueue::Claim::Ended;
    const Taken taken = claim(link, values, job, claimed);
    if (taken != Taken::Job)
        return taken;
    watch.held = values;
    watch.identity = job.identity;
    if (claimed == UnitQueue::Claim::AlreadyPassed) {
        note(rowLabel(job.row, job.unit) +
             QStringLiteral("'s unit is still on the fixture; remove it"));
        return Taken::Job;
    }
    ++run_.unitsInProgress;
    busy_ = true;
    UnitResult result = commission(link, job, values, [this, &job](QString &why) {
        return run_.queue.stillHolds(job, port_, why);
    });
    busy_ = false;
    if (link.interrupted()) {
        result.failedStep = FailedStep::Interrupted;
        result.message =
            QStringLiteral("the station was stopped at once, before the unit was done");
    }
    result.fixture = port_;
    if (!result.values.isEmpty())
        watch.held = result.values;
    run_.record(job, result);
    --run_.unitsInProgress;
    return Taken::Job;
}

// A fixture named as the common cause of its units' failures takes no row
// until its port goes and comes back (its adapter replugged).
void Fixture::waitForReplug(std::unique_ptr<DeviceLink> &link)
{
    quiet_ = true;
    QByteArray response;
    while (link && !run_.ended() &&
           link->probe(kPingKind, emptyRequest(kPingKind), response) != LinkResult::PortLost)
        pause(kPresencePingMs);
    link.reset();
    quiet_ = false;
    run_.replugged(port_);
}

// Pings about once a second, with the link's tries, until the unit stops
// answering (a fixture whose adapter stays) or its port goes (a unit
// unplugged), or the run ends: a unit known by its presence alone.
void Fixture::waitUntilSilent(std::unique_ptr<DeviceLink> &link)
{
    quiet_ = true;
    int32_t status = 0;
    LinkResult result = LinkResult::Answered;
    do {
        pause(kPresencePingMs);
    } while (!run_.ended() && (result = exchangeStatus(*link, kPingKind, emptyRequest(kPingKind),
                                                       status)) == LinkResult::Answered);
    if (result == LinkResult::PortLost)
        link.reset();
    quiet_ = false;
}

// Until the unit goes: its port goes, a check goes unanswered, or the unit
// that answers holds other values than the watched one where its identity
// lies (then it is the next unit, kept in arrived_), or the run ends.
void Fixture::waitUntilGone(std::unique_ptr<DeviceLink> &link, const Watch &watch)
{
    if (watch.identity.isEmpty() || watch.held.isEmpty())
        return waitUntilSilent(link);
    quiet_ = true;
    LinkResult result = LinkResult::Answered;
    for (int check = 0; result == LinkResult::Answered && !run_.ended(); ++check) {
        pause(kPresenceCheckMs);
        if (run_.ended())
            break;
        QByteArray response;
        QStringList values;
        if (check % kChecksPerCompare != 0) {
            result = link->probe(kPingKind, emptyRequest(kPingKind), response);
            continue;
        }
        result = probeValues(*link, values);
        for (auto it = watch.identity.constBegin();
             !values.isEmpty() && it != watch.identity.constEnd(); ++it) {
            if (values.at(it.key()) != watch.held.at(it.key())) {
                arrived_ = values;
                break;
            }
        }
        if (!arrived_.isEmpty())
            break;
    }
    if (result == LinkResult::PortLost)
        link.reset();
    quiet_ = false;
}

void Fixture::recordUnclaimed(FailedStep step, const QString &message)
{
    UnitResult result;
    result.fixture = port_;
    result.failedStep = step;
    result.message = message;
    run_.record(UnitJob(), result);
}

void Fixture::serve()
{
    std::unique_ptr<DeviceLink> link;
    while (!run_.ended()) {
        if (run_.suspect(port_))
            waitForReplug(link);
        QStringList values;
        if (!nextUnit(link, values))
            return;
        Watch watch;
        const Taken taken = values.isEmpty() ? Taken::Job : takeJob(*link, values, watch);
        if (taken == Taken::RunEnded)
            return;
        if (link && taken == Taken::Job)
            waitUntilGone(link, watch);
    }
}

} // namespace

void StationRun::record(const UnitJob &job, const UnitResult &result)
{
    {
        const std::lock_guard<std::mutex> lock(reporting_);
        QString problem;
        using Completion = UnitQueue::Completion;
        const Completion completion = !job.key.isEmpty() ? queue.completeJob(job, result, problem)
                                      : queue.recordUnclaimed(result, problem)
                                          ? Completion::Settled
                                          : Completion::NotRecorded;
        UnitResult told = result;
        if (completion == Completion::NotRecorded) {
            observer.fixtureNote(result.fixture,
                                 problem + QStringLiteral("; the station takes no more units"));
            told.notRecorded = problem;
            if (!queueGone())
                recordFailed = true;
            stopping = true;
        } else if (completion == Completion::Pending && !problem.isEmpty()) {
            observer.queueNote(problem);
        }
        const QueueProgress progress = queue.progress();
        allPassed = progress.settled();
        if (completion == Completion::Unsettled)
            observer.unitUnsettled(job, result, problem, progress);
        else
            observer.unitDone(job, told, progress);
        tally_.note(job, result);
        const QString health = health_.note(result, progress.passed);
        if (!health.isEmpty())
            observer.fixtureNote(result.fixture, health);
    }
    changed_.notify_all();
}

StationFigures StationRun::figures()
{
    const std::lock_guard<std::mutex> lock(reporting_);
    return tally_.figures();
}

FixtureTally::FixtureTally(const QStringList &ports)
{
    for (const QString &port : ports)
        fixtures_.append({port, 0, 0, 0, QString(), false});
}

void FixtureTally::note(const UnitJob &job, const UnitResult &result)
{
    for (FixtureFigures &fixture : fixtures_) {
        if (fixture.fixture != result.fixture)
            continue;
        fixture.tried += job.cameBack ? 0 : 1;
        fixture.passed += result.passed() ? 1 : 0;
        fixture.passedFirst += result.passed() && !job.cameBack ? 1 : 0;
        if (!result.passed())
            fixture.lastFailure = QStringLiteral("%1: %2").arg(
                QLatin1String(stepName(result.failedStep)), result.message);
    }
    if (!result.passed() && !job.cameBack)
        ++causes_[{QLatin1String(stepName(result.failedStep)), result.message}];
}

StationFigures FixtureTally::figures() const
{
    StationFigures figures;
    figures.fixtures = fixtures_;
    for (auto it = causes_.constBegin(); it != causes_.constEnd(); ++it)
        figures.causes.append({it.key().first, it.key().second, it.value()});
    std::sort(figures.causes.begin(), figures.causes.end(),
              [](const CauseFigures &a, const CauseFigures &b) {
                  return a.units != b.units ? a.units > b.units
                                            : a.step + a.message < b.step + b.message;
              });
    figures.causes.resize(qMin(3, figures.causes.size()));
    return figures;
}

bool StationRun::suspect(const QString &fixture)
{
    const std::lock_guard<std::mutex> lock(reporting_);
    return health_.suspect(fixture);
}

void StationRun::replugged(const QString &fixture)
{
    const std::lock_guard<std::mutex> lock(reporting_);
    health_.replugged(fixture);
}

QString FixtureHealth::note(const UnitResult &result, int passedRows)
{
    Streak &streak = streaks_[result.fixture];
    if (result.passed() || (!streak.passedBefore.isEmpty() && streak.step != result.failedStep))
        streak.passedBefore.clear();
    if (result.passed())
        return QString();
    streak.step = result.failedStep;
    // The rows passed before this failure's result came; a pass since is
    // another fixture's (of this station, or of the line's other stations).
    streak.passedBefore.append(passedRows);
    if (streak.passedBefore.size() > kSuspectStreak)
        streak.passedBefore.removeFirst();
    if (streak.suspect || streak.passedBefore.size() < kSuspectStreak ||
        passedRows <= streak.passedBefore.first())
        return QString();
    // Units that fail alike on one fixture while the others pass point at
    // the fixture.
    streak.suspect = true;
    return QStringLiteral("its last %1 units failed at %2 (%3) while other fixtures passed: "
                          "check %4")
        .arg(kSuspectStreak)
        .arg(QLatin1String(stepName(result.failedStep)), result.message, result.fixture);
}

bool FixtureHealth::suspect(const QString &fixture) const
{
    return streaks_.value(fixture).suspect;
}

void FixtureHealth::replugged(const QString &fixture)
{
    streaks_.remove(fixture);
}

bool StationRun::queueGone()
{
    if (queue.fatal().isEmpty())
        return false;
    // Told once, by whichever fixture sees it first.
    if (!queueLost.exchange(true))
        observer.queueNote(queue.fatal());
    stopping = true;
    return true;
}

void StationRun::waitForChange(int ms)
{
    std::unique_lock<std::mutex> lock(changeMutex_);
    changed_.wait_for(lock, std::chrono::milliseconds(ms));
}

void serveFixture(StationRun &run, const QString &port)
{
    Fixture(run, port).serve();
}
