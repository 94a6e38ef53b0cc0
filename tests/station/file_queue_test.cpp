// The UnitQueue contract on the embedded queue: the manifest's jobs and a
// journal in a folder of its own; a journal on /dev/full for a record that
// cannot be made. Then what only FileQueue promises: its journal lines.
#include "station/file_queue.h"
#include "tests/station/unit_queue_contract.h"

#include <QFile>
#include <QTemporaryDir>

namespace {

// The queue owns the folder its journal is in.
class TemporaryFileQueue : public FileQueue
{
public:
    explicit TemporaryFileQueue(const QVector<UnitJob> &jobs) : FileQueue(jobs, {}, false) {}
    QTemporaryDir dir;
};

std::unique_ptr<UnitQueue> makeFileQueue(const QVector<UnitJob> &jobs, bool recordsFail)
{
    auto queue = std::make_unique<TemporaryFileQueue>(jobs);
    const QString path = recordsFail ? QStringLiteral("/dev/full")
                                     : queue->dir.filePath(QStringLiteral("units.csv.journal"));
    QString problem;
    EXPECT_TRUE(queue->openJournal(path, JournalHistory(), problem)) << problem.toStdString();
    return queue;
}

} // namespace

INSTANTIATE_TEST_SUITE_P(File, UnitQueueContract,
                         ::testing::Values(QueueFactory{"FileQueue", makeFileQueue}));

// Rows passed in an earlier run are neither claimed nor counted again, and
// every completion is one whole journal line, in the order made.
TEST(FileQueue, ResumesAndJournalsEveryUnit)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("j"));
    QVector<UnitJob> jobs;
    for (int row = 1; row <= 3; ++row) {
        UnitJob job;
        job.key = QString::number(row);
        job.row = row;
        job.certificateSha256 = QStringLiteral("ab");
        jobs << job;
    }
    FileQueue queue(jobs, {1}, false);
    QString problem;
    ASSERT_TRUE(queue.openJournal(path, JournalHistory(), problem));
    EXPECT_EQ(queue.progress().passed, 1);
    UnitJob job;
    ASSERT_EQ(queue.claim(
                  "fix1", [] { return false; }, job, problem),
              UnitQueue::Claim::Claimed);
    EXPECT_EQ(job.row, 2);
    UnitResult failed;
    failed.fixture = QStringLiteral("fix1");
    failed.failedStep = FailedStep::Certificate;
    failed.message = QStringLiteral("Certificate Upload returned 4");
    ASSERT_TRUE(queue.complete(job, failed, problem));
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QByteArray line = file.readAll();
    EXPECT_TRUE(line.endsWith("\n"));
    EXPECT_EQ(line.count('\n'), 1);
    for (const char *part : {R"("row":2,)", R"("port":"fix1",)", R"("result":"failed",)",
                             R"("failed_step":"certificate",)", R"("certificate_sha256":null,)"})
        EXPECT_TRUE(line.contains(part)) << part << " in " << line.toStdString();
}
