// A station's run: one thread for each fixture, and the wait for the end.
#include "station/station.h"
#include "station/fixture.h"

#include <QElapsedTimer>
#include <QThread>

#include <memory>
#include <vector>

namespace {

// How often the run looks at the requests to stop while it waits.
constexpr int kWatchMs = 50;
// How often (in turns of kWatchMs) the run asks the queue how far it is.
constexpr int kProgressTurns = 20;

bool requested(const std::atomic<bool> *request)
{
    return request && *request;
}

// Turns the requests to stop into the run's state, and tells each once.
class StopWatch
{
public:
    StopWatch(const StationSettings &settings, StationRun &run) : settings_(settings), run_(run) {}

    void look()
    {
        if (!toldStop_ && requested(settings_.stopRequest)) {
            run_.stopping = true;
            toldStop_ = true;
            run_.observer.stopRequested(run_.unitsInProgress, false);
        }
        if (settings_.figuresRequest && settings_.figuresRequest->exchange(false))
            run_.observer.figures(run_.figures());
        if (!toldAtOnce_ && requested(settings_.stopAtOnceRequest)) {
            run_.stoppingAtOnce = true;
            run_.stopping = true;
            toldAtOnce_ = true;
            run_.queue.interrupt();
            run_.observer.stopRequested(run_.unitsInProgress, true);
        }
    }

private:
    const StationSettings &settings_;
    StationRun &run_;
    bool toldStop_ = false;
    bool toldAtOnce_ = false;
};

StationOutcome outcomeOf(StationRun &run, UnitQueue &queue, const QElapsedTimer &clock)
{
    StationOutcome outcome;
    outcome.end = run.queueLost      ? StationOutcome::End::QueueLost
                  : run.recordFailed ? StationOutcome::End::RecordFailed
                  : run.stopping     ? StationOutcome::End::Stopped
                                     : StationOutcome::End::AllPassed;
    outcome.progress = queue.progress();
    outcome.seconds = double(clock.elapsed()) / 1000.0;
    outcome.figures = run.figures();
    return outcome;
}

// Waits until no fixture may take another unit.
void waitForTheEnd(StationRun &run, UnitQueue &queue, StopWatch &watch)
{
    for (int turn = 1; !run.ended(); ++turn) {
        run.waitForChange(kWatchMs);
        watch.look();
        // Other stations may work on the same jobs and pass the last of them.
        if (turn % kProgressTurns == 0) {
            const QueueProgress now = queue.progress();
            run.allPassed = run.allPassed || now.settled();
            run.queueGone();
            const QString note = queue.note();
            if (!note.isEmpty())
                run.observer.queueNote(note);
        }
    }
}

} // namespace

StationOutcome runStation(const StationSettings &settings, UnitQueue &queue,
                          StationObserver &observer)
{
    QElapsedTimer clock;
    clock.start();
    StationRun run(settings, queue, observer);
    const QueueProgress start = queue.progress();
    run.allPassed = start.settled();
    // QThreads, not plain threads: a serial port needs its thread's event
    // dispatcher, even though nothing here runs an event loop.
    std::vector<std::unique_ptr<QThread>> threads;
    for (const QString &port : settings.ports) {
        threads.emplace_back(QThread::create([&run, port] { serveFixture(run, port); }));
        threads.back()->start();
    }
    StopWatch watch(settings, run);
    waitForTheEnd(run, queue, watch);
    StationOutcome outcome = outcomeOf(run, queue, clock);
    // Done: the units still on their fixtures need not be waited for.
    if (outcome.end == StationOutcome::End::AllPassed)
        observer.runEnded(outcome);
    // A request to stop at once may still come while the units finish.
    for (const std::unique_ptr<QThread> &thread : threads) {
        while (!thread->wait(kWatchMs))
            watch.look();
    }
    if (outcome.end == StationOutcome::End::AllPassed)
        return outcome;
    // A unit that finished meanwhile may have failed to be recorded.
    outcome = outcomeOf(run, queue, clock);
    observer.runEnded(outcome);
    return outcome;
}
