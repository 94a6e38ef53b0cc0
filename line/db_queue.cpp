#include "line/db_queue.h"
#include "line/line_batch.h"
#include "line/line_schema.h"
#include "station/journal.h"

#include <QThread>

#include <chrono>

#include <nlohmann/json.hpp>

namespace {

// How long a fixture waits before it asks again while every open row is
// leased to another fixture.
constexpr int kBusyWaitMs = 200;
constexpr int kPauseSliceMs = 50;

void pause(const std::function<bool()> &stopping, int ms)
{
    for (int slept = 0; slept < ms && !stopping(); slept += kPauseSliceMs)
        QThread::msleep(kPauseSliceMs);
}

UnitJob jobOf(const LineLease &lease, const LineRow &row)
{
    UnitJob job;
    job.key = QString::number(lease.row);
    job.row = row.number;
    job.unit = row.unit;
    for (auto it = row.values.constBegin(); it != row.values.constEnd(); ++it)
        job.changes.insert(rowOfKey(it.key()), it.value());
    job.certificate = row.certificate;
    job.certificateSha256 = row.certificateSha256;
    return job;
}

// The journal's line with the batch and the station added, without its newline.
QByteArray withOrigin(const QByteArray &line, const QString &batch, const QString &station)
{
    using Json = nlohmann::ordered_json;
    Json entry = Json::parse(line.toStdString(), nullptr, false);
    if (!entry.is_object())
        return line.trimmed();
    entry["batch"] = batch.toStdString();
    entry["station"] = station.toStdString();
    const std::string text = entry.dump(-1, ' ', false, Json::error_handler_t::replace);
    return QByteArray(text.data(), int(text.size()));
}

} // namespace

DbQueue::~DbQueue()
{
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        closing_ = true;
    }
    wake_.notify_all();
    if (renewer_.joinable())
        renewer_.join();
}

void DbQueue::renewHeld()
{
    const auto period = std::chrono::milliseconds(qint64(settings_.leaseSeconds * 1000 / 3));
    std::unique_lock<std::mutex> lock(mutex_);
    while (!wake_.wait_for(lock, period, [this] { return closing_; })) {
        for (auto it = held_.constBegin(); it != held_.constEnd(); ++it) {
            UnitJob job;
            job.key = it.key();
            bool held = false;
            // A lease that was lost shows when the result is recorded.
            renewLease(database_, leaseOf(job, it.value().fixture), settings_.leaseSeconds, held);
        }
        stationSeen(database_, settings_.station);
    }
}

bool DbQueue::openJournal(const QString &path, const JournalHistory &history, QString &problem)
{
    journalOpen_ = journal_.open(path, history, settings_.withSecrets, problem);
    return journalOpen_;
}

LineStatus DbQueue::open(const QString &connectionString, const QString &host, qint64 pid,
                         int fixtures)
{
    const std::lock_guard<std::mutex> lock(mutex_);
    LineStatus status = database_.open(connectionString);
    if (status.ok())
        status = checkLineSchema(database_);
    QVector<BatchProgress> batches;
    if (status.ok())
        status = batchProgress(database_, settings_.batch, batches);
    if (status.ok())
        status = startStation(database_, settings_.station, host, pid, fixtures);
    if (status.ok())
        renewer_ = std::thread([this] { renewHeld(); });
    return status;
}

UnitQueue::Claim DbQueue::claim(const QString &fixture, const QStringList &,
                                const std::function<bool()> &stopping, UnitJob &job,
                                QString &problem)
{
    while (!stopping()) {
        std::unique_lock<std::mutex> lock(mutex_);
        LineLease lease = leaseOf(UnitJob(), fixture);
        LineRow row;
        bool claimed = false;
        LineStatus status = claimRow(database_, lease, settings_.leaseSeconds, claimed, row);
        if (status.ok() && claimed) {
            job = jobOf(lease, row);
            held_.insert(job.key, {fixture, lease.generation});
            return Claim::Claimed;
        }
        QString why = status.message;
        if (!status.ok() || !rowsOpen(why)) {
            problem = why;
            return why.isEmpty() ? Claim::Ended : Claim::Unavailable;
        }
        lock.unlock();
        pause(stopping, kBusyWaitMs);
    }
    return Claim::Ended;
}

bool DbQueue::complete(const UnitJob &job, const UnitResult &result, QString &problem)
{
    bool settled = false;
    if (!record(job, result, settled, problem))
        return false;
    if (settled || !result.passed())
        return true;
    problem = QStringLiteral("row %1 (%2) on %3: passed on the unit but the row went to another "
                             "unit (lease lost); commission this unit again")
                  .arg(job.row)
                  .arg(job.unit, result.fixture);
    return false;
}

bool DbQueue::recordUnclaimed(const UnitResult &result, QString &problem)
{
    bool settled = false;
    return record(UnitJob(), result, settled, problem);
}

bool DbQueue::stillHolds(const UnitJob &job, const QString &fixture, QString &problem)
{
    const std::lock_guard<std::mutex> lock(mutex_);
    bool held = false;
    const LineStatus status =
        renewLease(database_, leaseOf(job, fixture), settings_.leaseSeconds, held);
    if (!status.ok())
        problem = status.message;
    else if (!held)
        problem = QStringLiteral("row %1's lease was lost; the row may be on another unit now")
                      .arg(job.row);
    return status.ok() && held;
}

QueueProgress DbQueue::progress() const
{
    const std::lock_guard<std::mutex> lock(mutex_);
    QVector<BatchProgress> batches;
    if (batchProgress(database_, settings_.batch, batches).ok() && batches.size() == 1) {
        last_.rows = int(batches.first().rows);
        last_.passed = int(batches.first().passed);
        last_.failedUnits = int(batches.first().failedUnits);
    }
    return last_;
}

LineLease DbQueue::leaseOf(const UnitJob &job, const QString &fixture) const
{
    LineLease lease;
    lease.batch = settings_.batch;
    lease.station = settings_.station;
    lease.fixture = fixture;
    lease.row = job.key.toInt();
    const auto holding = held_.constFind(job.key);
    if (holding != held_.constEnd() && holding->fixture == fixture)
        lease.generation = holding->generation;
    return lease;
}

bool DbQueue::record(const UnitJob &job, const UnitResult &result, bool &settled, QString &problem)
{
    LineRecord record;
    record.passed = result.passed();
    record.failedStep = QLatin1String(stepName(result.failedStep));
    record.journalLine = withOrigin(journalLine(job, result, settings_.withSecrets),
                                    settings_.batch, settings_.station);
    // The station's own copy first: it holds what the database may not.
    if (journalOpen_ && !journal_.append(record.journalLine + '\n', problem))
        return false;
    const std::lock_guard<std::mutex> lock(mutex_);
    const LineLease lease = leaseOf(job, result.fixture);
    if (lease.generation != 0)
        held_.remove(job.key);
    const LineStatus status = recordUnit(database_, lease, record, settled);
    if (!status.ok())
        problem = status.message;
    return status.ok();
}

bool DbQueue::rowsOpen(QString &problem) const
{
    QVector<BatchProgress> batches;
    const LineStatus status = batchProgress(database_, settings_.batch, batches);
    if (!status.ok()) {
        problem = status.message;
        return false;
    }
    const BatchProgress &batch = batches.first();
    return batch.waiting + batch.leased > 0;
}
