// A station: one thread for each fixture (a port), each commissioning one
// unit after another with the jobs of one queue, until every job passed or
// the station is asked to stop.
#ifndef STATION_STATION_H
#define STATION_STATION_H

#include "link/device_link.h"
#include "station/unit_queue.h"

#include <QStringList>
#include <QVector>

#include <atomic>

struct StationSettings {
    LinkSettings link;                              // every fixture's, but for the port itself
    QStringList ports;                              // one fixture each
    const std::atomic<bool> *stopRequest = nullptr; // true: no fixture takes a new unit
    // true: stop at once; the units in progress fail at Interrupted, their
    // jobs wait again
    const std::atomic<bool> *stopAtOnceRequest = nullptr;
    // Set: tell the observer the run's figures now (and it is cleared).
    std::atomic<bool> *figuresRequest = nullptr;
};

struct StationFigures {
    QVector<FixtureFigures> fixtures; // in the order of the ports
    QVector<CauseFigures> causes;     // the three commonest, commonest first
};

// How a run ended.
struct StationOutcome {
    enum class End {
        AllPassed,    // every job passed, or was set aside (the progress names those)
        Stopped,      // asked to stop; the units in progress were finished (or given up) first
        RecordFailed, // a result could not be recorded; stopped as if asked
        QueueLost     // the queue can serve the run no more (its fatal()); stopped as if asked
    };
    End end = End::AllPassed;
    QueueProgress progress;
    double seconds = 0;
    StationFigures figures;
};

// What the operator should see. Called from the fixtures' threads, several
// at once but for unitDone, which is called one unit at a time; stopRequested
// and runEnded come from the thread that runs the station, beside them.
class StationObserver
{
public:
    virtual ~StationObserver() = default;
    // A fixture's note: waiting for its unit, a step's diagnosis, a port
    // that would not open, a record that could not be made.
    virtual void fixtureNote(const QString &fixture, const QString &line) = 0;
    // The queue's own note, about the whole station rather than the fixture
    // that happened to ask: a database out of reach, say.
    virtual void queueNote(const QString &line) = 0;
    // A hex dump of a fixture's exchange, when the link traces.
    virtual void trace(const QString &entry) = 0;
    // The run saw a request to stop (`atOnce`: to stop at once), with the
    // units on the line then; once for each kind of request.
    virtual void stopRequested(int unitsInProgress, bool atOnce)
    {
        (void)unitsInProgress;
        (void)atOnce;
    }
    // A unit's result, with the counts after it was recorded; results come
    // in the order of their counts. A unit that failed before it took a job
    // has a job with row 0.
    virtual void unitDone(const UnitJob &job, const UnitResult &result,
                          const QueueProgress &progress) = 0;
    // A unit whose result was kept but settled nothing (its job went to
    // another unit meanwhile), in place of unitDone: `line` says so, and what
    // to do with the unit. By default told as a fixture's note.
    virtual void unitUnsettled(const UnitJob &, const UnitResult &result, const QString &line,
                               const QueueProgress &)
    {
        fixtureNote(result.fixture, line);
    }
    // The run's figures so far, on request, without stopping it.
    virtual void figures(const StationFigures &) {}
    // The run is over. When every job passed it comes before the units still
    // on their fixtures are let go, which need not be waited for.
    virtual void runEnded(const StationOutcome &outcome) = 0;
};

// Serves every port until every job passed, `stopRequest` turned true or a
// record could not be made. A fixture with no unit in progress stops within
// about 0.3 s of a request, whatever the link's time-out.
StationOutcome runStation(const StationSettings &settings, UnitQueue &queue,
                          StationObserver &observer);

#endif // STATION_STATION_H
