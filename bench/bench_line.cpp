// The line's database against a pg_virtualenv server (scripts/bench starts
// one): a claim and then the record of its unit, with 1 and with 32
// fixtures, each on its own connection, no device. Between the two a
// fixture holds its unit for 50 ms (a real unit takes over a second), the
// same for all, so that all 32 fixtures ask in the same instant, round after
// round; and, to show the queue's ceiling, not at all. Then what a unit
// costs the database queue (claim, marks, record, counts) on a batch of
// 100,000 rows against one of 100; kestroctl line status --json on a
// worked batch of 100 and of 100,000 rows; kestroctl line import of a
// 100,000-row manifest (unit labels, host names of their own, one shared
// 8192-byte certificate), start to exit, and its peak resident memory; and
// one unit at 115200 baud (a row and an 8192-byte certificate), start to
// exit, through the database queue against the file queue.
//
// Targets: p99 of a claim and record at most 20 ms with 32 fixtures holding
// their units; a unit on the large batch at most 1.05 times one on the
// small; line status at most 200 ms at 100,000 rows; the import at most 2 s
// and 150 MB; the unit through the database at most 1.05 times the file's.
#include "bench/bench_support.h"
#include "line/db_queue.h"
#include "line/line_batch.h"
#include "line/line_leases.h"
#include "line/line_query.h"
#include "line/line_schema.h"
#include "protocol/config_fields.h"
#include "tests/support/devsim_process.h"

#include <QProcess>
#include <QTemporaryDir>

#include <condition_variable>
#include <mutex>
#include <thread>

#include <sys/resource.h>
#include <unistd.h>

namespace {

using namespace bench;

constexpr int kUnitsPerFixture = 200;
// How long a fixture holds its unit between claim and record: far shorter
// than any real unit, so that 32 fixtures still ask about 600 times a second.
constexpr int kHoldMs = 50;
constexpr int kImportRows = 100000;
constexpr int kImportRuns = 3;
constexpr int kUnitRuns = 5;
constexpr int kQueueUnits = 500;
constexpr int kStatusRuns = 5;

QString g_database; // the benchmark's own database

void openOrFail(LineDatabase &database)
{
    const LineStatus status = database.open(g_database);
    if (!status.ok())
        fail(status.message.toStdString());
}

QVector<LineRow> rows(int count)
{
    QVector<LineRow> all;
    for (int i = 1; i <= count; ++i)
        all.append({i,
                    QStringLiteral("B-%1").arg(i),
                    {{"hostname", QStringLiteral("unit-%1").arg(i)}, {"ssid", "plant"}},
                    {},
                    {}});
    return all;
}

// Lets a party of threads go on together once all of them arrived.
class Barrier
{
public:
    explicit Barrier(int parties) : left_(parties) {}
    void arriveAndWait()
    {
        std::unique_lock<std::mutex> lock(mutex_);
        if (--left_ == 0)
            all_.notify_all();
        all_.wait(lock, [this] { return left_ == 0; });
    }

private:
    std::mutex mutex_;
    std::condition_variable all_;
    int left_;
};

// One fixture's units: claim, hold the unit `holdMs`, then record it as
// passed; the time of each claim and record in ms, the hold left out.
void serve(const QString &batch, int fixture, int holdMs, Barrier &connected,
           std::vector<double> &times, std::mutex &mutex)
{
    LineDatabase database;
    openOrFail(database);
    LineRun run;
    const StationStart start{batch, QStringLiteral("bench-%1").arg(fixture), "bench",
                             1,     {QStringLiteral("fix%1").arg(fixture)},  30,
                             3};
    if (!startStation(database, start, run).ok() || !stationReady(database, run).ok())
        fail("a bench station did not start");
    LineLease lease{1};
    connected.arriveAndWait(); // no claim shares the CPU with a connection's start
    std::vector<double> mine;
    for (;;) {
        const Clock::time_point start = Clock::now();
        bool claimed = false, passed = false, settled = false;
        LineRow row;
        if (!claimRow(database, run, lease, 0, claimed, passed, row).ok() || !claimed)
            break;
        const double claiming = msSince(start);
        std::this_thread::sleep_for(std::chrono::milliseconds(holdMs));
        const Clock::time_point recording = Clock::now();
        const QByteArray line = R"({"row":)" + QByteArray::number(row.number) + "}";
        if (!recordUnit(database, run, lease, {true, {}, {}, line}, settled).ok() || !settled)
            fail("a record was not settled");
        mine.push_back(claiming + msSince(recording));
    }
    // A connection's first claim and record prepare the functions' plans,
    // once for a station's whole run: not what a unit costs.
    const std::lock_guard<std::mutex> lock(mutex);
    times.insert(times.end(), mine.begin() + (mine.empty() ? 0 : 1), mine.end());
}

double percentile(std::vector<double> values, double share)
{
    std::sort(values.begin(), values.end());
    return values.empty() ? 0.0 : values[size_t(share * double(values.size() - 1))];
}

void claimAndRecord(int fixtures, int holdMs)
{
    const std::string name = "line.claim_record_" + std::to_string(fixtures) + "_fixtures" +
                             (holdMs > 0 ? "" : "_no_hold");
    const QString batch = QString::fromStdString(name);
    {
        LineDatabase database;
        openOrFail(database);
        if (!importBatch(database, batch, rows(fixtures * kUnitsPerFixture)).ok())
            fail("cannot import " + batch.toStdString());
    }
    std::vector<double> times;
    std::mutex mutex;
    std::vector<std::thread> threads;
    Barrier connected(fixtures);
    const Clock::time_point start = Clock::now();
    for (int i = 0; i < fixtures; ++i)
        threads.emplace_back([&, i] { serve(batch, i, holdMs, connected, times, mutex); });
    for (std::thread &thread : threads)
        thread.join();
    const double seconds = msSince(start) / 1000;
    if (times.size() != size_t(fixtures * (kUnitsPerFixture - 1)))
        fail("not every row was claimed once");
    report(name + ".median", median(times), "ms");
    const double p99 = percentile(times, 0.99);
    report(name + ".p99", p99, "ms",
           fixtures == 32 && holdMs > 0 ? "target <= 20 ms: " + verdict(p99 <= 20.0)
                                        : std::string());
    if (holdMs == 0)
        report(name + ".units_per_second", double(fixtures * kUnitsPerFixture) / seconds,
               "units/s");
}

// The largest peak resident memory of the programs this one started and
// waited for, in kB.
long childrenPeakKb()
{
    struct rusage usage;
    return ::getrusage(RUSAGE_CHILDREN, &usage) == 0 ? usage.ru_maxrss : -1;
}

// One import of the manifest, in s; the batch goes again once imported, so
// that the next run, and the host names of the benchmarks after it, find no
// open batch that holds them.
double importOnce(const QString &manifest, int run)
{
    const QString batch = QStringLiteral("import-%1").arg(run);
    QProcess process;
    const Clock::time_point start = Clock::now();
    process.start(QStringLiteral(KESTROCTL_PATH),
                  {"line", "import", manifest, "--batch", batch, "--db", g_database});
    if (!process.waitForFinished(120000) || process.exitCode() != 0)
        fail("line import failed: " + process.readAllStandardError().toStdString());
    const double seconds = msSince(start) / 1000.0;
    LineDatabase database;
    openOrFail(database);
    if (!runQuery(database, "DELETE FROM line_batches WHERE name = $1", {batch.toUtf8()}).ok())
        fail("cannot drop the imported batch");
    return seconds;
}

// The imports are the first programs this benchmark starts, so that the
// children's peak is theirs.
void importManifest()
{
    QTemporaryDir dir;
    if (!dir.isValid())
        fail("no temporary folder");
    const QString manifest = writeLargeManifest(dir.path(), kImportRows);
    std::vector<double> seconds;
    for (int run = 0; run < kImportRuns; ++run)
        seconds.push_back(importOnce(manifest, run));
    const double typical = median(seconds);
    const long peakKb = childrenPeakKb();
    report("line.import_100000_rows", typical, "s",
           "median of " + std::to_string(kImportRuns) +
               ", one shared certificate; target <= 2 s: " + verdict(typical <= 2.0));
    report("line.import_100000_rows_peak_rss", double(peakKb) / 1024.0, "MB",
           "target <= 150 MB: " + verdict(peakKb > 0 && peakKb <= 150 * 1024));
}

// Drops the bench's batch: its rows would otherwise hold the host names
// that a later import gives too.
void dropBatch(const QString &batch)
{
    LineDatabase database;
    openOrFail(database);
    if (!runQuery(database, "DELETE FROM line_batches WHERE name = $1", {batch.toUtf8()}).ok())
        fail("cannot drop " + batch.toStdString());
}

// A batch of `size` rows for the queue's units, with the statistics a
// server gathers on its own soon after an import.
QString batchOf(int size)
{
    const QString batch = QStringLiteral("queue-%1").arg(size);
    LineDatabase database;
    openOrFail(database);
    if (!importBatch(database, batch, rows(size)).ok() ||
        !runQuery(database, "ANALYZE line_rows").ok())
        fail("cannot import " + batch.toStdString());
    return batch;
}

// One unit through the database queue, without a device: its claim, the
// two marks before its writes and its record (with the counts after it),
// in ms. It fails at verify, each unit with a message of its own, so that
// its row waits again and is never set aside: a small batch serves as many
// units as a large one.
double unitThrough(DbQueue &queue, int unit)
{
    QStringList fresh; // a unit that holds no row's identity
    while (fresh.size() < ConfigRowCount)
        fresh << QString();
    const Clock::time_point start = Clock::now();
    UnitJob job;
    QString problem;
    if (queue.claim(
            "fix1", fresh, [] { return false; }, job, problem) != UnitQueue::Claim::Claimed ||
        !queue.stillHolds(job, "fix1", problem) || !queue.stillHolds(job, "fix1", problem) ||
        !queue.complete(
            job, {"fix1", FailedStep::Verify, QStringLiteral("unit %1").arg(unit), {}, 1.0, {}},
            problem))
        fail("a unit did not go through the queue: " + problem.toStdString());
    queue.progress();
    return msSince(start);
}

// What a unit costs the database queue on a batch of 100 rows and on one of
// 100,000, their units taken in turn so that both see the same machine. A
// station's first unit, which prepares its statements, is left out.
void unitCostOnABigBatch()
{
    const QString small = batchOf(100), big = batchOf(100000);
    std::vector<double> onSmall, onBig;
    {
        DbQueue smallQueue({small, small, 30, false}), bigQueue({big, big, 30, false});
        if (!smallQueue.open(g_database, "bench", 1, {"fix1"}).ok() ||
            !bigQueue.open(g_database, "bench", 2, {"fix1"}).ok())
            fail("the queues did not open");
        for (int unit = 0; unit <= kQueueUnits; ++unit) {
            const double a = unitThrough(smallQueue, unit), b = unitThrough(bigQueue, unit);
            if (unit > 0) {
                onSmall.push_back(a);
                onBig.push_back(b);
            }
        }
    }
    dropBatch(small);
    dropBatch(big);
    report("line.unit_through_queue.batch_100", median(onSmall), "ms");
    report("line.unit_through_queue.batch_100000", median(onBig), "ms");
    const double ratio = median(onBig) / median(onSmall);
    report("line.unit_through_queue.ratio", ratio, "x",
           "target <= 1.05: " + verdict(ratio <= 1.05));
}

// A batch of `size` rows that 8 stations of 4 fixtures each have worked
// through: every row tried once, one in ten failed at verify.
QString workedBatch(int size)
{
    const QString batch = QStringLiteral("status-%1").arg(size);
    LineDatabase database;
    openOrFail(database);
    QueryResult id;
    if (!importBatch(database, batch, rows(size)).ok() ||
        !runQuery(database, "SELECT id FROM line_batches WHERE name = $1", {batch.toUtf8()}, &id)
             .ok())
        fail("cannot import " + batch.toStdString());
    const QByteArray results =
        "INSERT INTO line_results (batch_id, row_no, station, fixture, passed, failed_step, "
        "generation, settled, entry, message) SELECT $1::bigint, g, 'bench-' || (g % 8), "
        "'fix' || (g % 32), g % 10 <> 0, CASE WHEN g % 10 = 0 THEN 'verify' END, 1, true, "
        "'{}'::json, CASE WHEN g % 10 = 0 THEN 'hostname differs' ELSE '' END "
        "FROM generate_series(1, $2::integer) g";
    if (!runQuery(database, results.constData(), {id.bytes(0, 0), QByteArray::number(size)}).ok() ||
        !runQuery(database,
                  "UPDATE line_rows SET state = 'passed' WHERE batch_id = $1::bigint "
                  "AND row_no % 10 <> 0",
                  {id.bytes(0, 0)})
             .ok() ||
        !runQuery(database, "ANALYZE line_rows; ANALYZE line_results").ok())
        fail("cannot record the stations' results");
    return batch;
}

// kestroctl line status --json on a worked batch, start to exit; the median
// of a few runs, in ms.
double statusOf(const QString &batch)
{
    std::vector<double> runs;
    for (int run = 0; run < kStatusRuns; ++run) {
        QProcess status;
        const Clock::time_point start = Clock::now();
        status.start(QStringLiteral(KESTROCTL_PATH),
                     {"line", "status", "--json", "--batch", batch, "--db", g_database});
        if (!status.waitForFinished(60000) || status.exitCode() != 0)
            fail("line status failed: " + status.readAllStandardError().toStdString());
        runs.push_back(msSince(start));
    }
    return median(runs);
}

void statusOfBigBatches()
{
    const QString small = workedBatch(100), large = workedBatch(100000);
    report("line.status_json.batch_100", statusOf(small), "ms");
    const double big = statusOf(large);
    dropBatch(small);
    dropBatch(large);
    report("line.status_json.batch_100000", big, "ms",
           "target <= 200 ms: " + verdict(big <= 200.0));
}

// One station run of one unit against a simulator at 115200 baud; its wall
// time in ms. `source` is the manifest, or --batch and its name.
double unitRun(const QTemporaryDir &dir, const QStringList &source, int run)
{
    DevsimProcess device;
    if (!device.start({"--baud", "115200"}))
        fail("the simulator did not start");
    QProcess station;
    station.setWorkingDirectory(dir.path());
    const Clock::time_point start = Clock::now();
    station.start(QStringLiteral(KESTROCTL_PATH),
                  QStringList{"-p", device.portPath(), "station"} + source +
                      QStringList{"--journal", dir.filePath(QStringLiteral("j%1").arg(run))});
    if (!station.waitForFinished(60000) || station.exitCode() != 0)
        fail("station failed: " + station.readAllStandardError().toStdString());
    return msSince(start);
}

void unitThroughEachQueue()
{
    QTemporaryDir dir;
    QFile certificate(dir.filePath("unit.pem"));
    if (!dir.isValid() || !certificate.open(QIODevice::WriteOnly))
        fail("cannot write the certificate");
    certificate.write(QByteArray(8192, 'c'));
    certificate.close();
    std::vector<double> file, database;
    for (int run = 0; run < kUnitRuns; ++run) {
        const QString manifest = dir.filePath(QStringLiteral("units%1.csv").arg(run));
        QFile csv(manifest);
        if (!csv.open(QIODevice::WriteOnly) ||
            csv.write("hostname,description,certificate\nunit-1,Line bench,unit.pem\n") < 0)
            fail("cannot write the manifest");
        csv.close();
        const QString batch = QStringLiteral("unit-%1").arg(run);
        if (QProcess::execute(KESTROCTL_PATH,
                              {"line", "import", manifest, "--batch", batch, "--db", g_database}))
            fail("cannot import the unit's batch");
        file.push_back(unitRun(dir, {manifest}, 2 * run));
        database.push_back(unitRun(dir, {"--batch", batch, "--db", g_database}, 2 * run + 1));
    }
    report("line.unit_115200.file_queue", median(file), "ms");
    report("line.unit_115200.database_queue", median(database), "ms");
    const double ratio = median(database) / median(file);
    report("line.unit_115200.ratio", ratio, "x", "target <= 1.05: " + verdict(ratio <= 1.05));
}

} // namespace

int main()
{
    const QString name = QStringLiteral("kestro_bench_%1").arg(::getpid());
    LineDatabase server;
    if (!server.open(QString()).ok() ||
        !runQuery(server, ("CREATE DATABASE " + name).toUtf8().constData()).ok())
        fail("no PostgreSQL server: run under pg_virtualenv, as scripts/bench does");
    g_database = QStringLiteral("dbname=") + name;
    {
        LineDatabase database;
        openOrFail(database);
        if (!initLineSchema(database, QString()).ok())
            fail("line init failed");
    }
    claimAndRecord(1, kHoldMs);
    claimAndRecord(32, kHoldMs);
    claimAndRecord(32, 0);
    unitCostOnABigBatch();
    statusOfBigBatches();
    importManifest();
    unitThroughEachQueue();
    runQuery(server, ("DROP DATABASE " + name + " WITH (FORCE)").toUtf8().constData());
    return 0;
}
