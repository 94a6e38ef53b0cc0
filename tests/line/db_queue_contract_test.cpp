// The UnitQueue contract on the line's database queue, against the server
// pg_virtualenv started: each queue a batch of its own, under a station name
// of its own; a station journal on /dev/full for a record that cannot be made.
#include "line/db_queue.h"
#include "line/line_batch.h"
#include "line/line_query.h"
#include "line/line_schema.h"
#include "tests/station/unit_queue_contract.h"

#include <unistd.h>

namespace {

// The test's own database, made at the first queue and dropped at the end.
class LineServer : public ::testing::Environment
{
public:
    void SetUp() override
    {
        if (qEnvironmentVariableIsEmpty("PGHOST") && qEnvironmentVariableIsEmpty("PGSERVICE") &&
            qEnvironmentVariableIsEmpty("PGPORT") && qEnvironmentVariableIsEmpty("PGDATABASE"))
            FAIL() << "no PostgreSQL server: run under pg_virtualenv, as scripts/test does";
        LineDatabase server;
        ASSERT_TRUE(server.open(QString()).ok());
        ASSERT_TRUE(runQuery(server, ("CREATE DATABASE " + name_).constData()).ok());
        LineDatabase database;
        ASSERT_TRUE(database.open(connection()).ok());
        ASSERT_TRUE(initLineSchema(database, QString()).ok());
    }
    void TearDown() override
    {
        LineDatabase server;
        if (server.open(QString()).ok())
            runQuery(server, ("DROP DATABASE IF EXISTS " + name_ + " WITH (FORCE)").constData());
    }
    static QString connection() { return QStringLiteral("dbname=") + QString::fromLatin1(name_); }

private:
    static inline const QByteArray name_ = "kestro_queue_" + QByteArray::number(::getpid());
};

std::unique_ptr<UnitQueue> makeDbQueue(const QVector<UnitJob> &jobs, bool recordsFail)
{
    static int made = 0;
    const QString batch = QStringLiteral("contract-%1").arg(++made);
    QVector<LineRow> rows;
    for (const UnitJob &job : jobs)
        rows.append({job.row, job.unit, {{"hostname", job.changes.value(0)}}, {}, {}});
    LineDatabase database;
    EXPECT_TRUE(database.open(LineServer::connection()).ok());
    EXPECT_TRUE(importBatch(database, batch, rows).ok());
    auto queue = std::make_unique<DbQueue>(DbQueue::Settings{batch, batch, 30, false});
    const LineStatus status =
        queue->open(LineServer::connection(), "contract", 1, {"fix0", "fix1", "fix2", "fix3"});
    EXPECT_TRUE(status.ok()) << status.message.toStdString();
    QString problem;
    const bool opened = !recordsFail || queue->openJournal("/dev/full", JournalHistory(), problem);
    EXPECT_TRUE(opened) << problem.toStdString();
    return queue;
}

} // namespace

INSTANTIATE_TEST_SUITE_P(Database, UnitQueueContract,
                         ::testing::Values(QueueFactory{"DbQueue", makeDbQueue}));

int main(int argc, char **argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    ::testing::AddGlobalTestEnvironment(new LineServer);
    return RUN_ALL_TESTS();
}
