// Station mode's moving parts: the rows of a manifest handed out to the
// ports, and what every port's thread shares. runStation (cli/commands.h)
// puts them together.
#ifndef CLI_STATION_H
#define CLI_STATION_H

#include "cli/device_link.h"
#include "cli/journal.h"
#include "cli/manifest.h"

#include <QElapsedTimer>
#include <QSet>
#include <QVector>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>

// The manifest's rows in manifest order, each waiting, in progress on one
// port, or passed. A port always takes the first row that is waiting, and a
// row whose unit failed waits again.
class RowQueue
{
public:
    RowQueue(const QVector<UnitPlan> &plans, const QSet<int> &passedRows);

    // Takes the first waiting row, waiting while every row that has not
    // passed is in progress elsewhere; false once `ended` answers true.
    bool take(UnitPlan &plan, const std::function<bool()> &ended);
    // Settles a unit: its row (0: none) passed, or waiting again. `report`
    // runs under the queue's lock with the count of passed rows, so that
    // result lines come out in the order of their counts.
    void settle(int row, bool passed, const std::function<void(int passed)> &report);
    // Waits up to `ms` for a unit to be settled.
    void waitForChange(int ms);
    // Wakes every waiting thread, to look at the station's state again.
    void wakeAll();

    bool allPassed() const;
    int rowCount() const { return plans_.size(); }
    int passedCount() const;
    int failedUnits() const;

private:
    enum class State { Waiting, InProgress, Passed };

    mutable std::mutex mutex_;
    std::condition_variable changed_;
    QVector<UnitPlan> plans_;
    QVector<State> states_;
    int passed_ = 0;
    int failedUnits_ = 0;
};

// What the ports' threads share.
struct Station {
    Station(const QVector<UnitPlan> &plans, const QSet<int> &passedRows) : rows(plans, passedRows)
    {
    }

    LinkSettings link; // every port's, but for the port itself
    bool withSecrets = false;
    RowQueue rows;
    JournalWriter journal;
    std::atomic<bool> stopping{false}; // no new unit: a signal, or the journal failed
    std::atomic<bool> journalFailed{false};

    // No port takes another unit once every row passed or the station stops.
    bool ended() const { return stopping || rows.allPassed(); }
    // Journals the unit, settles its row and prints its result line; stops
    // the station if the journal cannot be written.
    void record(const JournalEntry &entry);
};

// One port's sequence of units until the station ends: wait for a unit,
// commission it with the next row, wait for it to go.
void serveFixture(Station &station, const QString &port);

#endif // CLI_STATION_H
