// One fixture of a station: the units that come and go on one port.
#include "station/fixture.h"
#include "device/exchange_log.h"
#include "link/device_requests.h"
#include "station/commission.h"

#include <QThread>

#include <chrono>
#include <memory>

namespace {

// How often a fixture looks again for a port that would not open, how often
// it pings a unit to learn whether it is still there, and how often it asks
// a queue that could not be reached again.
constexpr int kReopenFixtureMs = 500;
constexpr int kPresencePingMs = 1000;
constexpr int kQueueRetryMs = 1000;
constexpr int kPauseSliceMs = 50;

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
    void waitUntilGone(DeviceLink &link);
    bool commissionNext(DeviceLink &link);
    void recordPingFailure(int32_t status);

    StationRun &run_;
    QString port_;
    LinkSettings settings_;
    // While set, the link's diagnostics are not told: pinging for a unit
    // that is not there yet would otherwise fill the screen.
    bool quiet_ = false;
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
    return std::make_unique<DeviceLink>(settings_, reporter);
}

// Opens the port and pings until a unit answers, with `status`; false when
// the run ends first. A port that cannot be opened is tried again: its unit
// may not be plugged in yet.
bool Fixture::waitForUnit(std::unique_ptr<DeviceLink> &link, int32_t &status)
{
    quiet_ = true;
    bool toldClosed = false;
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
        const LinkResult result = exchangeStatus(*link, kPingKind, emptyRequest(kPingKind), status);
        if (result == LinkResult::Answered)
            break;
        if (result == LinkResult::PortLost)
            link.reset();
        pause(kPauseSliceMs);
    }
    quiet_ = false;
    return link && !run_.ended();
}

// Pings about once a second until the unit stops answering (a fixture whose
// adapter stays) or its port goes (a unit unplugged), or the run ends.
void Fixture::waitUntilGone(DeviceLink &link)
{
    quiet_ = true;
    int32_t status = 0;
    do {
        pause(kPresencePingMs);
    } while (!run_.ended() && exchangeStatus(link, kPingKind, emptyRequest(kPingKind), status) ==
                                  LinkResult::Answered);
    quiet_ = false;
}

// Claims the next job and commissions the unit with it; false when the run
// ended before a job came free.
bool Fixture::commissionNext(DeviceLink &link)
{
    UnitJob job;
    QString told; // a queue out of reach is told once, not at every try
    for (;;) {
        QString problem;
        const UnitQueue::Claim claim = run_.queue.claim(
            port_, QStringList(), [this] { return run_.ended(); }, job, problem);
        if (claim == UnitQueue::Claim::Ended)
            return false;
        if (claim == UnitQueue::Claim::Claimed)
            break;
        if (problem != told)
            note(problem + QStringLiteral("; trying again"));
        told = problem;
        pause(kQueueRetryMs);
    }
    UnitResult result = commission(link, job);
    result.fixture = port_;
    run_.record(job, result);
    return true;
}

void Fixture::recordPingFailure(int32_t status)
{
    UnitResult result;
    result.fixture = port_;
    result.failedStep = FailedStep::Ping;
    result.message = returnedLine(kPingKind, status);
    run_.record(UnitJob(), result);
}

void Fixture::serve()
{
    while (!run_.ended()) {
        note(QStringLiteral("waiting for the next unit"));
        std::unique_ptr<DeviceLink> link;
        int32_t status = 0;
        if (!waitForUnit(link, status))
            return;
        if (status != 0)
            recordPingFailure(status);
        else if (!commissionNext(*link))
            return;
        waitUntilGone(*link);
    }
}

} // namespace

void StationRun::record(const UnitJob &job, const UnitResult &result)
{
    {
        const std::lock_guard<std::mutex> lock(reporting_);
        QString problem;
        const bool recorded = job.key.isEmpty() ? queue.recordUnclaimed(result, problem)
                                                : queue.complete(job, result, problem);
        if (!recorded) {
            observer.fixtureNote(result.fixture,
                                 problem + QStringLiteral("; the station takes no more units"));
            recordFailed = true;
            stopping = true;
        }
        const QueueProgress progress = queue.progress();
        allPassed = progress.passed == progress.rows;
        observer.unitDone(job, result, progress);
    }
    changed_.notify_all();
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
