// The UnitQueue contract on the embedded queue: the manifest's jobs and a
// journal in a folder of its own; a journal on /dev/full for a record that
// cannot be made. What the journal's lines hold is kestroctl_test's.
#include "station/file_queue.h"
#include "tests/station/unit_queue_contract.h"

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
