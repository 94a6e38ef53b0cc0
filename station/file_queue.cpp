#include "station/file_queue.h"
#include "station/identity.h"

#include <chrono>

FileQueue::FileQueue(const QVector<UnitJob> &jobs, const QSet<int> &passedRows, bool withSecrets,
                     int rowTries, const QHash<int, QString> &keptRows)
    : jobs_(jobs), failures_(jobs.size()), rowTries_(qMax(1, rowTries)), withSecrets_(withSecrets)
{
    keptWhere_.resize(jobs.size());
    for (const UnitJob &job : jobs) {
        const bool passed = passedRows.contains(job.row);
        const bool kept = !passed && keptRows.contains(job.row);
        states_.append(passed ? State::Passed : kept ? State::Kept : State::Waiting);
        passed_ += passed ? 1 : 0;
        const int index = states_.size() - 1;
        keptWhere_[index] = kept ? keptRows.value(job.row) : QString();
        heldBy_.add(index, job.identity);
        indexOfKey_.insert(job.key, index);
    }
}

bool FileQueue::openJournal(const QString &path, const JournalHistory &history, QString &problem)
{
    const std::lock_guard<std::mutex> lock(mutex_);
    journalOpen_ = journal_.open(path, history, withSecrets_, problem);
    return journalOpen_;
}

UnitQueue::Claim FileQueue::claim(const QString &, const QStringList &unitValues,
                                  const std::function<bool()> &stopping, UnitJob &job,
                                  QString &problem)
{
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        const int waiting = states_.indexOf(State::Waiting);
        const bool kept = states_.contains(State::Kept);
        if ((waiting < 0 && !kept && !states_.contains(State::Held)) || stopping())
            return Claim::Ended;
        int index = indexHeldBy(unitValues);
        if (index >= 0 && states_.at(index) == State::Passed) {
            job = jobs_.at(index);
            return Claim::AlreadyPassed;
        }
        // A unit takes its own row, waiting or kept for it; one holding a
        // job another fixture holds now, or one set aside, gets another job.
        const bool own =
            index >= 0 && (states_.at(index) == State::Waiting || states_.at(index) == State::Kept);
        if (!own)
            index = waiting;
        if (index >= 0) {
            wasKept_.insert(index, states_.at(index) == State::Kept);
            states_[index] = State::Held;
            job = jobs_.at(index);
            job.cameBack = own;
            return Claim::Claimed;
        }
        if (kept) {
            problem = keptRowNote();
            return Claim::KeptForOthers;
        }
        // `stopping` may turn true without a word to this queue.
        changed_.wait_for(lock, std::chrono::milliseconds(200));
    }
}

// Called with the lock held: the first row kept for its unit not told yet.
QString FileQueue::keptRowNote()
{
    for (int index = 0; index < states_.size(); ++index) {
        if (states_.at(index) != State::Kept || toldKept_.contains(index))
            continue;
        toldKept_.insert(index);
        return ::keptRowNote(keptRowAt(index), QStringLiteral("a fixture"));
    }
    return QString();
}

// Called with the lock held: the job at `index`, kept for its unit.
KeptRow FileQueue::keptRowAt(int index) const
{
    return {jobs_.at(index).row, jobs_.at(index).unit, QString(), keptWhere_.at(index), QString()};
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
        const bool wasKept = wasKept_.take(index);
        states_[index] = recorded  ? settle(index, result, wasKept)
                         : wasKept ? State::Kept
                                   : State::Waiting;
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
    for (int index = 0; index < states_.size(); ++index) {
        if (states_.at(index) == State::Kept)
            counts.keptRows.append(keptRowAt(index));
    }
    return counts;
}

// Called with the lock held, once the result is recorded. A row that fails
// the same way on unit after unit is wrong in the manifest, not on the units:
// it is set aside rather than given to every unit that comes.
FileQueue::State FileQueue::settle(int index, const UnitResult &result, bool wasKept)
{
    if (result.passed()) {
        ++passed_;
        return State::Passed;
    }
    ++failedUnits_;
    // A unit that may hold the row's values keeps the row: it failed and
    // could not give them back, or it took its kept row again and failed
    // before anything was written.
    if (result.identity == IdentityFate::Kept ||
        (wasKept && result.identity == IdentityFate::None)) {
        keptWhere_[index] = result.fixture;
        toldKept_.remove(index);
        return State::Kept;
    }
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
    return indexOfKey_.value(job.key, -1);
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
