#include "cli/station.h"

#include <chrono>

RowQueue::RowQueue(const QVector<UnitPlan> &plans, const QSet<int> &passedRows) : plans_(plans)
{
    for (const UnitPlan &plan : plans) {
        const bool passed = passedRows.contains(plan.row);
        states_.append(passed ? State::Passed : State::Waiting);
        passed_ += passed ? 1 : 0;
    }
}

bool RowQueue::take(UnitPlan &plan, const std::function<bool()> &ended)
{
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        // `ended` reads the queue too, so it is asked without the lock.
        lock.unlock();
        const bool over = ended();
        lock.lock();
        if (over)
            return false;
        const int index = states_.indexOf(State::Waiting);
        if (index >= 0) {
            states_[index] = State::InProgress;
            plan = plans_.at(index);
            return true;
        }
        changed_.wait_for(lock, std::chrono::milliseconds(200));
    }
}

void RowQueue::settle(int row, bool passed, const std::function<void(int)> &report)
{
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        for (int i = 0; i < plans_.size(); ++i) {
            if (plans_.at(i).row == row && states_.at(i) == State::InProgress) {
                states_[i] = passed ? State::Passed : State::Waiting;
                passed_ += passed ? 1 : 0;
            }
        }
        failedUnits_ += passed ? 0 : 1;
        report(passed_);
    }
    changed_.notify_all();
}

void RowQueue::waitForChange(int ms)
{
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait_for(lock, std::chrono::milliseconds(ms));
}

void RowQueue::wakeAll()
{
    changed_.notify_all();
}

bool RowQueue::allPassed() const
{
    const std::lock_guard<std::mutex> lock(mutex_);
    return passed_ == plans_.size();
}

int RowQueue::failedUnits() const
{
    const std::lock_guard<std::mutex> lock(mutex_);
    return failedUnits_;
}

int RowQueue::passedCount() const
{
    const std::lock_guard<std::mutex> lock(mutex_);
    return passed_;
}
