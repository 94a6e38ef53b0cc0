// What every UnitQueue promises, as one suite that any queue runs: a test
// program includes this header and instantiates UnitQueueContract with a
// factory for its own queue.
#ifndef TESTS_STATION_UNIT_QUEUE_CONTRACT_H
#define TESTS_STATION_UNIT_QUEUE_CONTRACT_H

#include "protocol/config_fields.h"
#include "station/identity.h"
#include "station/unit_queue.h"

#include <gtest/gtest.h>

#include <QSet>
#include <QVector>

#include <atomic>
#include <chrono>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <ostream>
#include <thread>
#include <vector>

// Makes a fresh queue holding `jobs`, none of them passed yet. With
// `recordsFail`, no record can be made (a journal on a full disk, a database
// that refuses the write), though jobs can still be claimed.
struct QueueFactory {
    const char *name;
    std::function<std::unique_ptr<UnitQueue>(const QVector<UnitJob> &jobs, bool recordsFail)> make;
    // Whether the queue sets aside a job that keeps failing the same way,
    // after 3 units; one that does not yet skips that case, and says so.
    bool setsRowsAside = true;
    bool knowsIdentities = true; // false: claim does not match a unit's values yet
};

inline void PrintTo(const QueueFactory &factory, std::ostream *out)
{
    *out << factory.name;
}

class UnitQueueContract : public ::testing::TestWithParam<QueueFactory>
{
protected:
    // Jobs keyed and numbered 1..count, each with values of its own.
    static QVector<UnitJob> jobs(int count)
    {
        QVector<UnitJob> all;
        for (int row = 1; row <= count; ++row) {
            UnitJob job;
            job.key = QString::number(row);
            job.row = row;
            job.unit = QStringLiteral("B-%1").arg(row);
            job.changes[0] = QStringLiteral("unit-%1").arg(row);
            all << job;
        }
        assignIdentities(all);
        return all;
    }
    std::unique_ptr<UnitQueue> make(int count, bool recordsFail = false)
    {
        return GetParam().make(jobs(count), recordsFail);
    }
    static UnitResult result(const QString &fixture, FailedStep step = FailedStep::None)
    {
        UnitResult result;
        result.fixture = fixture;
        result.failedStep = step;
        result.message = step == FailedStep::None ? QString() : QStringLiteral("it failed");
        result.seconds = 1.25;
        return result;
    }
    // A stop that comes only if a faulty queue would keep a claim waiting
    // for ever, so that such a queue fails the suite instead of hanging it.
    static std::function<bool()> stopLater(const std::atomic<bool> *stop = nullptr)
    {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        return [deadline, stop] {
            return (stop && *stop) || std::chrono::steady_clock::now() > deadline;
        };
    }
    // Claims for `fixture`, giving up once `stopping` answers true; the
    // unit's values are not known.
    static UnitQueue::Claim claim(UnitQueue &queue, const QString &fixture, UnitJob &job,
                                  const std::function<bool()> &stopping = stopLater())
    {
        QString problem;
        return queue.claim(fixture, QStringList(), stopping, job, problem);
    }
    // Claims for a unit that holds `hostname` and otherwise a fresh unit's values.
    static UnitQueue::Claim claimFor(UnitQueue &queue, const QString &hostname, UnitJob &job)
    {
        QStringList values;
        for (int row = 0; row < ConfigRowCount; ++row)
            values << QString();
        values[0] = hostname;
        QString problem;
        return queue.claim(QStringLiteral("fix1"), values, stopLater(), job, problem);
    }
    static bool complete(UnitQueue &queue, const UnitJob &job, const UnitResult &result)
    {
        QString problem;
        const bool recorded = queue.complete(job, result, problem);
        EXPECT_EQ(recorded, problem.isEmpty()) << problem.toStdString();
        return recorded;
    }
};

struct Counts {
    int rows, passed, failedUnits;
};

inline void expectProgress(const UnitQueue &queue, Counts expected)
{
    const QueueProgress progress = queue.progress();
    EXPECT_EQ(progress.rows, expected.rows);
    EXPECT_EQ(progress.passed, expected.passed);
    EXPECT_EQ(progress.failedUnits, expected.failedUnits);
}

// Each fixture gets the first job no other holds, in the queue's order.
TEST_P(UnitQueueContract, ClaimsInOrderOneJobPerFixture)
{
    const auto queue = make(3);
    expectProgress(*queue, {3, 0, 0});
    UnitJob a, b, c;
    ASSERT_EQ(claim(*queue, "fix1", a), UnitQueue::Claim::Claimed);
    ASSERT_EQ(claim(*queue, "fix2", b), UnitQueue::Claim::Claimed);
    ASSERT_EQ(claim(*queue, "fix3", c), UnitQueue::Claim::Claimed);
    EXPECT_EQ(a.row, 1);
    EXPECT_EQ(b.row, 2);
    EXPECT_EQ(c.row, 3);
    EXPECT_EQ(b.unit, QStringLiteral("B-2"));
    EXPECT_EQ(b.changes.value(0), QStringLiteral("unit-2"));
}

// A failed job waits again, ahead of the jobs behind it; a passed one never
// comes back.
TEST_P(UnitQueueContract, FailedJobIsClaimedAgainPassedJobNever)
{
    const auto queue = make(3);
    UnitJob first, second;
    ASSERT_EQ(claim(*queue, "fix1", first), UnitQueue::Claim::Claimed);
    ASSERT_EQ(claim(*queue, "fix2", second), UnitQueue::Claim::Claimed);
    ASSERT_TRUE(complete(*queue, second, result("fix2")));
    ASSERT_TRUE(complete(*queue, first, result("fix1", FailedStep::Verify)));
    expectProgress(*queue, {3, 1, 1});
    UnitJob next, after;
    ASSERT_EQ(claim(*queue, "fix2", next), UnitQueue::Claim::Claimed);
    EXPECT_EQ(next.key, first.key);
    ASSERT_EQ(claim(*queue, "fix1", after), UnitQueue::Claim::Claimed);
    EXPECT_EQ(after.row, 3);
}

// A unit read before it takes a job: one that holds a waiting job's identity
// (written, then not recorded) takes that job again; one that holds a passed
// job's is that job's unit, and takes none; any other gets the first waiting.
TEST_P(UnitQueueContract, UnitKnownByItsIdentity)
{
    if (!GetParam().knowsIdentities)
        GTEST_SKIP() << GetParam().name << " does not match a unit's values yet";
    const auto queue = make(3);
    UnitJob job;
    ASSERT_EQ(claimFor(*queue, "unit-2", job), UnitQueue::Claim::Claimed);
    EXPECT_EQ(job.row, 2);
    EXPECT_EQ(job.identity.value(0), QStringLiteral("unit-2"));
    ASSERT_TRUE(complete(*queue, job, result("fix1")));
    UnitJob same;
    ASSERT_EQ(claimFor(*queue, "unit-2", same), UnitQueue::Claim::AlreadyPassed);
    EXPECT_EQ(same.key, job.key);
    expectProgress(*queue, {3, 1, 0});
    UnitJob fresh;
    ASSERT_EQ(claimFor(*queue, "kestro-3-sim", fresh), UnitQueue::Claim::Claimed);
    EXPECT_EQ(fresh.row, 1);
}

// A unit that failed once the job's values may have reached it: a job whose
// unit gave them back (or never took them) goes to the next unit; one whose
// unit may hold them is kept for that unit, on any fixture. Another unit is
// told of it and takes nothing but other jobs; the kept job's unit failing
// again before anything is written leaves it kept; passing settles it.
TEST_P(UnitQueueContract, AJobStaysWithTheUnitThatMayHoldIt)
{
    const auto queue = make(2);
    const auto failedWith = [](IdentityFate identity) {
        UnitResult failed = result("fix1", FailedStep::Port);
        failed.identity = identity;
        return failed;
    };
    UnitJob given, kept, other;
    ASSERT_EQ(claimFor(*queue, "fresh-1", given), UnitQueue::Claim::Claimed);
    ASSERT_TRUE(complete(*queue, given, failedWith(IdentityFate::Returned)));
    ASSERT_EQ(claimFor(*queue, "fresh-2", kept), UnitQueue::Claim::Claimed);
    EXPECT_EQ(kept.key, given.key); // given back: the next unit takes it
    ASSERT_TRUE(complete(*queue, kept, failedWith(IdentityFate::Kept)));
    EXPECT_EQ(queue->progress().keptRows.value(0).row, kept.row);
    ASSERT_EQ(claimFor(*queue, "fresh-3", other), UnitQueue::Claim::Claimed);
    EXPECT_NE(other.key, kept.key);
    ASSERT_TRUE(complete(*queue, other, result("fix1")));
    UnitJob told;
    QStringList fresh;
    while (fresh.size() < ConfigRowCount)
        fresh << QString();
    QString problem;
    EXPECT_EQ(queue->claim("fix2", fresh, stopLater(), told, problem),
              UnitQueue::Claim::KeptForOthers);
    EXPECT_TRUE(problem.startsWith(QStringLiteral("row 1 (B-1) is kept for its unit, which had its "
                                                  "values on ")))
        << problem.toStdString();
    EXPECT_FALSE(queue->progress().settled());
    UnitJob back;
    ASSERT_EQ(claimFor(*queue, kept.changes.value(0), back), UnitQueue::Claim::Claimed);
    ASSERT_TRUE(complete(*queue, back, failedWith(IdentityFate::None)));
    EXPECT_EQ(queue->progress().keptRows.size(), 1);
    ASSERT_EQ(claimFor(*queue, kept.changes.value(0), back), UnitQueue::Claim::Claimed);
    ASSERT_TRUE(complete(*queue, back, result("fix1")));
    EXPECT_TRUE(queue->progress().keptRows.isEmpty());
    EXPECT_TRUE(queue->progress().settled());
}

// A unit without a job counts as failed, and takes nothing from the queue.
TEST_P(UnitQueueContract, UnclaimedFailureCountsAndTakesNoJob)
{
    const auto queue = make(1);
    QString problem;
    ASSERT_TRUE(queue->recordUnclaimed(result("fix1", FailedStep::Ping), problem));
    expectProgress(*queue, {1, 0, 1});
    UnitJob job;
    ASSERT_EQ(claim(*queue, "fix1", job), UnitQueue::Claim::Claimed);
    EXPECT_EQ(job.row, 1);
}

// Once every job passed, a claim ends at once; a stop ends it too, even with
// jobs waiting.
TEST_P(UnitQueueContract, RunEndsWhenEveryJobPassedOrOnStop)
{
    const auto queue = make(2);
    UnitJob job;
    EXPECT_EQ(claim(*queue, "fix1", job, [] { return true; }), UnitQueue::Claim::Ended);
    for (int i = 0; i < 2; ++i) {
        ASSERT_EQ(claim(*queue, "fix1", job), UnitQueue::Claim::Claimed);
        ASSERT_TRUE(complete(*queue, job, result("fix1")));
    }
    expectProgress(*queue, {2, 2, 0});
    EXPECT_EQ(claim(*queue, "fix1", job), UnitQueue::Claim::Ended);
}

// A job that fails the same way on three units in a row is set aside, never
// claimed again; a failure told otherwise starts the count afresh. The run
// ends once no job waits, with the set-aside rows named.
TEST_P(UnitQueueContract, RowThatKeepsFailingTheSameWayIsSetAside)
{
    if (!GetParam().setsRowsAside)
        GTEST_SKIP() << GetParam().name << " sets no row aside yet";
    const auto queue = make(2);
    const auto fail = [&](FailedStep step, const QString &message) {
        UnitJob job;
        EXPECT_EQ(claim(*queue, "fix1", job), UnitQueue::Claim::Claimed);
        EXPECT_EQ(job.row, 1);
        UnitResult failed = result("fix1", step);
        failed.message = message;
        EXPECT_TRUE(complete(*queue, job, failed));
    };
    fail(FailedStep::Write, "SMTP Port: bad");
    fail(FailedStep::Verify, "SMTP Port: bad");
    fail(FailedStep::Verify, "hostname differs");
    fail(FailedStep::Verify, "hostname differs");
    EXPECT_TRUE(queue->progress().setAsideRows.isEmpty());
    fail(FailedStep::Verify, "hostname differs");
    EXPECT_EQ(queue->progress().setAsideRows, QVector<int>{1});
    EXPECT_FALSE(queue->progress().settled());
    UnitJob job;
    ASSERT_EQ(claim(*queue, "fix1", job), UnitQueue::Claim::Claimed);
    EXPECT_EQ(job.row, 2);
    ASSERT_TRUE(complete(*queue, job, result("fix1")));
    expectProgress(*queue, {2, 1, 5});
    EXPECT_TRUE(queue->progress().settled());
    EXPECT_EQ(claim(*queue, "fix1", job), UnitQueue::Claim::Ended);
}

// While another fixture holds the last job, a claim waits: for that job to
// fail and come free, or for the stop.
TEST_P(UnitQueueContract, ClaimWaitsForAHeldJob)
{
    const auto queue = make(1);
    UnitJob held;
    ASSERT_EQ(claim(*queue, "fix1", held), UnitQueue::Claim::Claimed);
    std::atomic<bool> stop{false};
    UnitJob taken;
    auto waiting = std::async(std::launch::async,
                              [&] { return claim(*queue, "fix2", taken, stopLater(&stop)); });
    EXPECT_EQ(waiting.wait_for(std::chrono::milliseconds(300)), std::future_status::timeout);
    ASSERT_TRUE(complete(*queue, held, result("fix1", FailedStep::Port)));
    ASSERT_EQ(waiting.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    ASSERT_EQ(waiting.get(), UnitQueue::Claim::Claimed);
    EXPECT_EQ(taken.key, held.key);

    auto stopped = std::async(std::launch::async, [&] {
        UnitJob none;
        return claim(*queue, "fix1", none, stopLater(&stop));
    });
    stop = true;
    ASSERT_EQ(stopped.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_EQ(stopped.get(), UnitQueue::Claim::Ended);
}

// A record that cannot be made is said so, with the reason, and the job does
// not count as passed: it is not settled.
TEST_P(UnitQueueContract, RecordThatCannotBeMadeSettlesNothing)
{
    const auto queue = make(2, true);
    UnitJob job;
    ASSERT_EQ(claim(*queue, "fix1", job), UnitQueue::Claim::Claimed);
    QString problem;
    EXPECT_FALSE(queue->complete(job, result("fix1"), problem));
    EXPECT_FALSE(problem.isEmpty());
    problem.clear();
    EXPECT_FALSE(queue->recordUnclaimed(result("fix2", FailedStep::Ping), problem));
    EXPECT_FALSE(problem.isEmpty());
    expectProgress(*queue, {2, 0, 0});
}

// Fixtures claiming at once never share a job, and together pass them all.
TEST_P(UnitQueueContract, ConcurrentFixturesNeverShareAJob)
{
    const int count = 12;
    const auto queue = make(count);
    std::mutex mutex;
    QVector<QString> passed;
    QSet<QString> failedOnce; // rows 5 and 10 fail on their first unit
    std::vector<std::thread> fixtures;
    for (int f = 0; f < 4; ++f) {
        fixtures.emplace_back([&, f] {
            const QString fixture = QStringLiteral("fix%1").arg(f);
            UnitJob job;
            while (claim(*queue, fixture, job) == UnitQueue::Claim::Claimed) {
                bool fails = false;
                {
                    const std::lock_guard<std::mutex> lock(mutex);
                    fails = job.row % 5 == 0 && !failedOnce.contains(job.key);
                    if (fails)
                        failedOnce << job.key;
                }
                complete(*queue, job,
                         result(fixture, fails ? FailedStep::Write : FailedStep::None));
                const std::lock_guard<std::mutex> lock(mutex);
                if (!fails)
                    passed << job.key;
            }
        });
    }
    for (std::thread &fixture : fixtures)
        fixture.join();
    EXPECT_EQ(passed.size(), count);
    EXPECT_EQ(QSet<QString>(passed.begin(), passed.end()).size(), count);
    EXPECT_EQ(failedOnce.size(), 2);
    expectProgress(*queue, {count, count, 2});
}

#endif // TESTS_STATION_UNIT_QUEUE_CONTRACT_H
