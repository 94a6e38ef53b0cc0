#include "station/file_queue.h"
#include "station/identity.h"

#include <chrono>

FileQueue::FileQueue(const QVector<UnitJob> &jobs, const QSet<int> &passedRows, bool withSecrets,
                     int rowTries)
    : jobs_(jobs), failures_(jobs.size()), rowTries_(qMax(1, rowTries)), withSecrets_(withSecrets)
{
    for (const UnitJob &job : jobs) {
        const bool passed = passedRows.contains(job.row);
        states_.append(passed ? State::Passed : State::Waiting);
        passed_ += passed ? 1 : 0;
        heldBy_.add(states_.size() - 1, job.identity);
    }
}

bool FileQueue::openJournal(const QString &path, const JournalHistory &history, QString &problem)
{
    const std::lock_guard<std::mutex> lock(mutex_);
    journalOpen_ = journal_.open(path, history, withSecrets_, problem);
    return journalOpen_;
}

UnitQueue::Claim FileQueue::claim(const QString &, const QStringList &unitValues,
                                  const std::function<bool()> &stopping, UnitJob &job, QString &)
{
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        const int waiting = states_.indexOf(State::Waiting);
        if ((waiting < 0 && !states_.contains(State::Held)) || stopping())
            return Claim::Ended;
        int index = indexHeldBy(unitValues);
        if (index >= 0 && states_.at(index) == State::Passed) {
            job = jobs_.at(index);
            return Claim::AlreadyPassed;
        }
        // A unit holding a job another fixture holds now, or one set aside,
        // gets another job.
        if (index < 0 || states_.at(index) != State::Waiting)
            index = waiting;
        if (index >= 0) {
            states_[index] = State::Held;
            job = jobs_.at(index);
            return Claim::Claimed;
        }
        // `stopping` may turn true without a word to this queue.
        changed_.wait_for(lock, std::chrono::milliseconds(200));
    }
}

bool FileQueue::complete(const UnitJob &job, const UnitResult &result, QString &problem)
{
    bool recorded = false;
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        const int index = indexOf(job);
        if (index < 0 || states_.at(index) != State::Held) {
            problem = QStringLiteral("row %1 is not held by a fixture").arg(job.row);
            return false;
        }
        recorded = append(job, result, problem);
        states_[index] = recorded ? settle(index, result) : State::Waiting;
    }
    changed_.notify_all();
    return recorded;
}

bool FileQueue::recordUnclaimed(const UnitResult &result, QString &problem)
{
    const std::lock_guard<std::mutex> lock(mutex_);
    if (!append(UnitJob(), result, problem))
        return false;
    ++failedUnits_;
    return true;
}

QueueProgress FileQueue::progress() const
{
    const std::lock_guard<std::mutex> lock(mutex_);
    QueueProgress counts;
    counts.rows = jobs_.size();
    counts.passed = passed_;
    counts.failedUnits = failedUnits_;
    counts.setAsideRows = setAside_;
    return counts;
}

// Called with the lock held, once the result is recorded. A row that fails
// the same way on unit after unit is wrong in the manifest, not on the units:
// it is set aside rather than given to every unit that comes.
FileQueue::State FileQueue::settle(int index, const UnitResult &result)
{
    if (result.passed()) {
        ++passed_;
        return State::Passed;
    }
    ++failedUnits_;
    Failures &failures = failures_[index];
    const bool same = failures.step == result.failedStep && failures.message == result.message;
    failures.count = same ? failures.count + 1 : 1;
    failures.step = result.failedStep;
    failures.message = result.message;
    if (failures.count < rowTries_)
        return State::Waiting;
    setAside_.append(jobs_.at(index).row);
    return State::SetAside;
}

int FileQueue::indexOf(const UnitJob &job) const
{
    for (int i = 0; i < jobs_.size(); ++i) {
        if (jobs_.at(i).key == job.key)
            return i;
    }
    return -1;
}

// The job whose identity a unit holds, or -1; called with the lock held.
int FileQueue::indexHeldBy(const QStringList &unitValues) const
{
    return heldBy_.find(unitValues);
}

// Called with the lock held: the line is on the disk before the row settles.
bool FileQueue::append(const UnitJob &job, const UnitResult &result, QString &problem)
{
    if (!journalOpen_) {
        problem = QStringLiteral("the journal is not open");
        return false;
    }
    return journal_.append(journalLine(job, result, withSecrets_), problem);
}
