#include "line/db_queue.h"
#include "line/line_batch.h"
#include "line/line_query.h"
#include "line/line_schema.h"
#include "station/identity.h"
#include "station/journal.h"

#include <QFile>
#include <QFileInfo>
#include <QThread>

#include <algorithm>
#include <chrono>

#include <nlohmann/json.hpp>

namespace {

// How long a fixture waits before it asks again while every open row is
// leased to another fixture.
constexpr int kBusyWaitMs = 200;
constexpr int kPauseSliceMs = 50;
// The back-off between tries to reach a database that went away: from the
// first to the last.
constexpr int kFirstRetryMs = 250;
constexpr int kLastRetryMs = 5000;

void pause(const std::function<bool()> &stopping, int ms)
{
    for (int slept = 0; slept < ms && !stopping(); slept += kPauseSliceMs)
        QThread::msleep(kPauseSliceMs);
}

UnitJob jobOf(const LineLease &lease, const LineRow &row, const QMap<int, QString> &identity)
{
    UnitJob job;
    job.key = QString::number(lease.row);
    job.row = row.number;
    job.unit = row.unit;
    for (auto it = row.values.constBegin(); it != row.values.constEnd(); ++it)
        job.changes.insert(rowOfKey(it.key()), it.value());
    job.certificate = row.certificate;
    job.certificateSha256 = row.certificateSha256;
    job.identity = identity;
    return job;
}

using Json = nlohmann::ordered_json;

QByteArray text(const Json &entry)
{
    const std::string text = entry.dump(-1, ' ', false, Json::error_handler_t::replace);
    return QByteArray(text.data(), int(text.size()));
}

// The journal's line with the batch and the station added, without its newline.
QByteArray withOrigin(const QByteArray &line, const QString &batch, const QString &station)
{
    Json entry = Json::parse(line.toStdString(), nullptr, false);
    if (!entry.is_object())
        return line.trimmed();
    entry["batch"] = batch.toStdString();
    entry["station"] = station.toStdString();
    return text(entry);
}

// The line as the station's journal keeps it while the database has not
// taken it, with the generation of its claim, which fences its record.
QByteArray markedUnrecorded(const QByteArray &line, qint64 generation)
{
    Json entry = Json::parse(line.toStdString(), nullptr, false);
    if (!entry.is_object())
        return line;
    entry["recorded"] = false;
    entry["generation"] = generation > 0 ? Json(generation) : Json(nullptr);
    return text(entry);
}

QString member(const Json &entry, const char *name)
{
    return entry.contains(name) && entry[name].is_string()
               ? QString::fromStdString(entry[name].get<std::string>())
               : QString();
}

qint64 integer(const Json &entry, const char *name)
{
    return entry.contains(name) && entry[name].is_number_integer() ? entry[name].get<qint64>() : 0;
}

QString lateLineOf(int row, const QString &unit, const QString &fixture)
{
    return QStringLiteral("row %1 (%2) on %3: passed on the unit but the row went to another "
                          "unit (lease lost); commission this unit again")
        .arg(row)
        .arg(unit, fixture);
}

QString timeOf(const QByteArray &line)
{
    const Json entry = Json::parse(line.toStdString(), nullptr, false);
    return entry.is_object() ? member(entry, "time") : QString();
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

// Every third of a lease: renews the leases of the jobs in progress. While
// the database is out of reach: tries it again as the back-off allows.
void DbQueue::renewHeld()
{
    const auto period = std::chrono::milliseconds(qint64(settings_.leaseSeconds * 1000 / 3));
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        const auto wait = reachable_ ? period : std::chrono::milliseconds(kFirstRetryMs);
        if (wake_.wait_for(lock, wait, [this] { return closing_; }))
            return;
        if (!reconnect())
            continue;
        for (auto it = held_.constBegin(); it != held_.constEnd(); ++it) {
            UnitJob job;
            job.key = it.key();
            bool held = false;
            // A lease that was lost shows when the result is recorded.
            const LineStatus status = renewLease(database_, leaseOf(job, it.value().fixture),
                                                 settings_.leaseSeconds, held);
            if (status.fault == LineFault::Unreachable)
                lost(status);
        }
        if (reachable_)
            stationSeen(database_, settings_.station);
    }
}

bool DbQueue::openJournal(const QString &path, const JournalHistory &history, QString &problem)
{
    const std::lock_guard<std::mutex> lock(mutex_);
    journalOpen_ = journal_.open(path, history, settings_.withSecrets, problem);
    return journalOpen_;
}

void DbQueue::readUnrecorded(const QString &path)
{
    const std::lock_guard<std::mutex> lock(mutex_);
    QFile file(path);
    // None yet; one that cannot be read (or a FIFO) is told when it is opened.
    if (!QFileInfo(path).isFile() || !file.open(QIODevice::ReadOnly))
        return;
    while (!file.atEnd()) {
        const QByteArray line = file.readLine();
        if (line.contains("\"recorded\":false"))
            addUnrecorded(line);
    }
}

// With the lock held: a result an earlier run of this station journalled
// while the database was away, to be recorded as it would have been then.
void DbQueue::addUnrecorded(const QByteArray &line)
{
    Json entry = Json::parse(line.toStdString(), nullptr, false);
    if (!entry.is_object() || member(entry, "batch") != settings_.batch ||
        member(entry, "station") != settings_.station)
        return;
    Pending pending;
    pending.lease = leaseOf(UnitJob(), member(entry, "port"));
    pending.lease.row = int(integer(entry, "row"));
    pending.lease.generation = integer(entry, "generation");
    pending.record.passed = member(entry, "result") == QLatin1String("passed");
    pending.record.failedStep = member(entry, "failed_step");
    pending.record.message = member(entry, "message");
    pending.record.rowTries = settings_.rowTries;
    pending.lateLine = lateLineOf(pending.lease.row, member(entry, "unit"), pending.lease.fixture);
    entry.erase("recorded");
    entry.erase("generation");
    pending.record.journalLine = text(entry);
    pending_.append(pending);
}

LineStatus DbQueue::open(const QString &connectionString, const QString &host, qint64 pid,
                         int fixtures)
{
    const std::lock_guard<std::mutex> lock(mutex_);
    connectionString_ = connectionString;
    host_ = host;
    pid_ = pid;
    LineStatus status = database_.open(connectionString);
    if (status.ok())
        status = checkLineSchema(database_);
    QVector<BatchProgress> batches;
    if (status.ok())
        status = batchProgress(database_, settings_.batch, batches, WithStations::No);
    if (status.ok())
        status = rowIdentities(database_, settings_.batch, identities_);
    // What an earlier run under this name left in its journal alone is
    // recorded, fenced by its claims, before their leases are given back.
    if (status.ok() && !pending_.isEmpty())
        status = resumeStation(database_, settings_.station, host, pid);
    if (status.ok() && !pending_.isEmpty()) {
        recordPending();
        status = reachable_ ? LineStatus() : outage_;
    }
    if (status.ok())
        status = startStation(database_, settings_.station, host, pid, fixtures);
    if (status.ok())
        renewer_ = std::thread([this] { renewHeld(); });
    return status;
}

UnitQueue::Claim DbQueue::claim(const QString &fixture, const QStringList &unitValues,
                                const std::function<bool()> &stopping, UnitJob &job,
                                QString &problem)
{
    const int unitRow = rowHeldBy(unitValues);
    while (!stopping()) {
        std::unique_lock<std::mutex> lock(mutex_);
        Claim answer = Claim::Ended;
        if (claimOnce(fixture, unitRow, job, problem, answer))
            return answer;
        lock.unlock();
        pause(stopping, kBusyWaitMs);
    }
    return Claim::Ended;
}

bool DbQueue::claimOnce(const QString &fixture, int unitRow, UnitJob &job, QString &problem,
                        Claim &answer)
{
    answer = Claim::Unavailable;
    if (!reconnect()) {
        problem = outageNote();
        return true;
    }
    if (!lateLines_.isEmpty()) {
        problem = lateLines_.takeFirst();
        return true;
    }
    LineLease lease = leaseOf(UnitJob(), fixture);
    LineRow row;
    bool claimed = false, passed = false;
    const LineStatus status =
        claimRow(database_, lease, settings_.leaseSeconds, unitRow, claimed, passed, row);
    if (status.ok() && (claimed || passed)) {
        job = jobOf(lease, row, identities_.value(lease.row));
        if (claimed)
            held_.insert(job.key, {fixture, lease.generation});
        answer = claimed ? Claim::Claimed : Claim::AlreadyPassed;
        return true;
    }
    return nothingFree(status, problem, answer);
}

bool DbQueue::nothingFree(LineStatus status, QString &problem, Claim &answer)
{
    bool open = false, someExpired = false;
    if (status.ok())
        status = rowsOpen(open, someExpired);
    if (!status.ok()) {
        problem = unavailable(status);
        return true;
    }
    if (!open) {
        answer = Claim::Ended;
        return true;
    }
    // A lease that ran out and was not claimed again may be a row kept for
    // its unit.
    problem = someExpired ? keptRowNote() : QString();
    return !problem.isEmpty();
}

bool DbQueue::complete(const UnitJob &job, const UnitResult &result, QString &problem)
{
    const Completion completion = completeJob(job, result, problem);
    return completion == Completion::Settled || completion == Completion::Pending;
}

UnitQueue::Completion DbQueue::completeJob(const UnitJob &job, const UnitResult &result,
                                           QString &problem)
{
    return record(job, result, problem);
}

bool DbQueue::recordUnclaimed(const UnitResult &result, QString &problem)
{
    return record(UnitJob(), result, problem) != Completion::NotRecorded;
}

bool DbQueue::stillHolds(const UnitJob &job, const QString &fixture, QString &problem)
{
    const std::lock_guard<std::mutex> lock(mutex_);
    if (!reconnect())
        return true;
    bool held = false;
    const LineStatus status = renewLease(database_, leaseOf(job, fixture), settings_.leaseSeconds,
                                         held, Renewal::BeforeWriting);
    if (status.fault == LineFault::Unreachable) {
        lost(status);
        return true;
    }
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
    if (reachable_ && batchProgress(database_, settings_.batch, batches, WithStations::No).ok() &&
        batches.size() == 1) {
        last_.rows = int(batches.first().rows);
        last_.passed = int(batches.first().passed);
        last_.failedUnits = int(batches.first().failedUnits);
        // Which rows, asked only when there are some: most runs have none.
        if (batches.first().setAside > 0)
            setAsideRows(database_, settings_.batch, last_.setAsideRows);
        else
            last_.setAsideRows.clear();
    }
    return last_;
}

int DbQueue::unrecorded() const
{
    const std::lock_guard<std::mutex> lock(mutex_);
    return pending_.size();
}

int DbQueue::rowHeldBy(const QStringList &unitValues) const
{
    UnitJob job;
    for (auto it = identities_.constBegin(); it != identities_.constEnd(); ++it) {
        job.identity = it.value();
        if (holdsIdentity(job, unitValues))
            return it.key();
    }
    return 0;
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

UnitQueue::Completion DbQueue::record(const UnitJob &job, const UnitResult &result,
                                      QString &problem)
{
    Pending pending;
    pending.record.passed = result.passed();
    pending.record.failedStep = QLatin1String(stepName(result.failedStep));
    pending.record.message = result.message;
    pending.record.rowTries = settings_.rowTries;
    pending.record.journalLine = withOrigin(journalLine(job, result, settings_.withSecrets),
                                            settings_.batch, settings_.station);
    pending.lateLine = lateLineOf(job.row, job.unit, result.fixture);
    const std::lock_guard<std::mutex> lock(mutex_);
    pending.lease = leaseOf(job, result.fixture);
    if (pending.lease.generation != 0)
        held_.remove(job.key);
    bool settled = false;
    const LineStatus status = reconnect() ? recordJournalled(pending, settled, problem) : outage_;
    if (status.ok()) {
        const bool late = pending.lease.row > 0 && pending.record.passed && !settled;
        problem = late ? pending.lateLine : QString();
        return late ? Completion::Unsettled : Completion::Settled;
    }
    if (status.fault != LineFault::Unreachable) {
        problem = status.message; // a right the station's role lacks, say
        return Completion::NotRecorded;
    }
    lost(status);
    // Still the station's own copy, marked: the database takes it once it is
    // back, in this run or the next. Journalled already, the commit itself
    // was lost and may have landed: it is marked all the same, so that a
    // restart asks too, and whether it went through is asked before it is
    // recorded again.
    if (journalOpen_ &&
        !journal_.append(
            markedUnrecorded(pending.record.journalLine, pending.lease.generation) + '\n', problem))
        return Completion::NotRecorded;
    pending_.append(pending);
    problem = outageNote();
    return Completion::Pending;
}

// With the lock held: records the result and, in the same transaction,
// writes it to the journal, so that a result the journal lacks settles
// nothing.
LineStatus DbQueue::recordJournalled(const Pending &pending, bool &settled, QString &problem)
{
    LineTransaction transaction(database_);
    LineStatus status = transaction.begin();
    if (status.ok())
        status = recordUnit(database_, pending.lease, pending.record, settled);
    if (!status.ok())
        return status;
    if (journalOpen_ && !journal_.append(pending.record.journalLine + '\n', problem))
        return LineStatus::failed(LineFault::BadInput, problem);
    return transaction.commit();
}

LineStatus DbQueue::rowsOpen(bool &open, bool &someExpired) const
{
    QVector<BatchProgress> batches;
    const LineStatus status = batchProgress(database_, settings_.batch, batches, WithStations::No);
    open = status.ok() && batches.first().waiting + batches.first().leased > 0;
    someExpired = status.ok() && batches.first().expiredLeases > 0;
    return status;
}

QString DbQueue::keptRowNote()
{
    QMap<int, QString> kept;
    if (!rowsKeptForTheirUnit(database_, settings_.batch, kept).ok())
        return QString();
    for (auto it = kept.constBegin(); it != kept.constEnd(); ++it) {
        if (!toldKept_.contains(it.key())) {
            toldKept_.insert(it.key());
            return it.value();
        }
    }
    return QString();
}

QString DbQueue::unavailable(const LineStatus &status)
{
    if (status.fault != LineFault::Unreachable)
        return status.message + QStringLiteral("; trying again");
    lost(status);
    return outageNote();
}

void DbQueue::lost(const LineStatus &status)
{
    if (!reachable_)
        return;
    reachable_ = false;
    outage_ = status;
    backoffMs_ = kFirstRetryMs;
    nextTry_ = std::chrono::steady_clock::now() + std::chrono::milliseconds(backoffMs_);
}

// Said once for each outage, by whichever fixture comes first.
QString DbQueue::outageNote()
{
    if (reachable_ || toldOutage_)
        return QString();
    toldOutage_ = true;
    return QStringLiteral("database unreachable: %1; retrying").arg(outage_.message);
}

bool DbQueue::reconnect()
{
    if (reachable_)
        return true;
    const auto now = std::chrono::steady_clock::now();
    if (now < nextTry_)
        return false;
    if (!resume().ok()) {
        backoffMs_ = std::min(backoffMs_ * 2, kLastRetryMs);
        nextTry_ = now + std::chrono::milliseconds(backoffMs_);
        return false;
    }
    reachable_ = true;
    toldOutage_ = false;
    recordPending();
    return reachable_;
}

LineStatus DbQueue::resume()
{
    LineStatus status = database_.open(connectionString_);
    if (status.ok())
        status = checkLineSchema(database_);
    if (status.ok())
        status = resumeStation(database_, settings_.station, host_, pid_);
    return status;
}

// With the lock held, the database back: records what it missed, oldest
// first, each fenced by its own lease; stops at the first that cannot be.
void DbQueue::recordPending()
{
    while (!pending_.isEmpty()) {
        const Pending &pending = pending_.first();
        bool found = false, settled = false;
        LineStatus status = findRecord(database_, pending.lease, timeOf(pending.record.journalLine),
                                       found, settled);
        if (status.ok() && !found)
            status = recordUnit(database_, pending.lease, pending.record, settled);
        if (status.fault == LineFault::Unreachable) {
            lost(status);
            return;
        }
        if (status.ok() && pending.lease.row > 0 && pending.record.passed && !settled)
            lateLines_.append(pending.lateLine);
        // Any other failure (a right the role lacks): the journal keeps it.
        pending_.removeFirst();
    }
}
