// What the fixtures' threads of one run share, and one fixture's loop.
#ifndef STATION_FIXTURE_H
#define STATION_FIXTURE_H

#include "station/station.h"

#include <QHash>
#include <QPair>
#include <QVector>

#include <atomic>
#include <condition_variable>
#include <mutex>

// Which fixture is the common cause of its units' failures: one whose last
// units failed at the same step while other fixtures passed units.
class FixtureHealth
{
public:
    // Takes the unit's result, with the rows passed once it was recorded
    // (by every fixture the queue serves: on a line, every station's);
    // answers the fixture's note the first time it is named, else an empty one.
    QString note(const UnitResult &result, int passedRows);
    // Named, and not replugged since.
    bool suspect(const QString &fixture) const;
    void replugged(const QString &fixture);

private:
    static constexpr int kSuspectStreak = 3;
    struct Streak {
        FailedStep step = FailedStep::None;
        // For each of the last units in a row that failed at `step`: the
        // rows passed when its result came.
        QVector<int> passedBefore;
        bool suspect = false;
    };
    QHash<QString, Streak> streaks_; // by fixture
};

// The run's figures, unit by unit.
class FixtureTally
{
public:
    explicit FixtureTally(const QStringList &ports);
    void note(const UnitJob &job, const UnitResult &result);
    StationFigures figures() const;

private:
    QVector<FixtureFigures> fixtures_;
    QHash<QPair<QString, QString>, int> causes_; // by step and message
};

struct StationRun {
    StationRun(const StationSettings &settings, UnitQueue &queue, StationObserver &observer)
        : settings(settings), queue(queue), observer(observer), tally_(settings.ports)
    {
    }

    const StationSettings &settings;
    UnitQueue &queue;
    StationObserver &observer;
    std::atomic<bool> stopping{false};       // no new unit: asked to, or a record failed
    std::atomic<bool> stoppingAtOnce{false}; // the units in progress are given up
    std::atomic<int> unitsInProgress{0};     // fixtures holding a job
    std::atomic<bool> recordFailed{false};
    std::atomic<bool> queueLost{false};
    std::atomic<bool> allPassed{false};

    // No fixture takes another unit once every job passed or was set aside,
    // or the run stops.
    bool ended() const { return stopping || allPassed; }
    // Records the unit's result (with its job, or without one: row 0) and
    // tells the observer; stops the run if the record could not be made.
    void record(const UnitJob &job, const UnitResult &result);
    // Stops the run if the queue can serve it no more; true if so.
    bool queueGone();
    // Whether the fixture was named as the cause of its units' failures and
    // should take no row until its port comes back.
    bool suspect(const QString &fixture);
    void replugged(const QString &fixture);
    StationFigures figures();
    // Waits up to `ms` for a unit to be recorded.
    void waitForChange(int ms);

private:
    std::mutex reporting_; // one record and its report at a time, in count order
    FixtureHealth health_; // with reporting_, as tally_
    FixtureTally tally_;
    std::mutex changeMutex_;
    std::condition_variable changed_;
};

// One port's sequence of units until the run ends: wait for a unit,
// commission it with the next job, wait for it to go.
void serveFixture(StationRun &run, const QString &port);

#endif // STATION_FIXTURE_H
