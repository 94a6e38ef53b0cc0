#include "line/db_queue.h"
#include "base/json_text.h"
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
// How often a station tells the database it is alive and reads its batch's
// counts, whatever its fixtures are doing.
constexpr int kSeenMs = 1000;

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

// The journal's line with the batch and the station added, without its newline.
QByteArray withOrigin(const QByteArray &line, const QString &batch, const QString &station)
{
    Json entry = Json::parse(line.toStdString(), nullptr, false);
    if (!entry.is_object())
        return line.trimmed();
    entry["batch"] = batch.toStdString();
    entry["station"] = station.toStdString();
    return jsonText(entry);
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
    return jsonText(entry);
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

QString noAnswer(bool marked)
{
    return marked ? QStringLiteral("the line's database did not answer; the certificate was not "
                                   "sent")
                  : QStringLiteral("the line's database did not answer; the unit was not written");
}

} // namespace

DbQueue::~DbQueue()
{
    // A request in flight gives up at once, and with it the lock it holds.
    interrupted_ = true;
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        closing_ = true;
    }
    wake_.notify_all();
    if (keeper_.joinable())
        keeper_.join();
}

// About once a second: tells the database the station is alive and reads
// its batch's counts, so that a station whose fixtures are idle notices an
// outage, connects again and sees the batch end; every third of a lease,
// renews the leases of the jobs in progress. While the database is out of
// reach: tries it again as the back-off allows.
void DbQueue::keepUp()
{
    const auto period = std::chrono::milliseconds(qint64(settings_.leaseSeconds * 1000 / 3));
    auto renewal = std::chrono::steady_clock::now() + period;
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        const auto wait = std::chrono::milliseconds(reachable_ ? kSeenMs : kFirstRetryMs);
        if (wake_.wait_for(lock, wait, [this] { return closing_; }))
            return;
        if (!fatal_.isEmpty() || !reconnect())
            continue;
        if (std::chrono::steady_clock::now() >= renewal) {
            renewHeld();
            renewal = std::chrono::steady_clock::now() + period;
        }
        if (reachable_)
            noteFailure(refreshCounts());
    }
}

// With the lock held. A lease that was lost shows when the result is recorded.
void DbQueue::renewHeld()
{
    for (auto it = held_.constBegin(); reachable_ && it != held_.constEnd(); ++it) {
        UnitJob job;
        job.key = it.key();
        bool held = false;
        noteFailure(renewLease(database_, run_, leaseOf(job, it.value().fixture), held));
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
// Its fixture is taken from the row it holds.
void DbQueue::addUnrecorded(const QByteArray &line)
{
    Json entry = Json::parse(line.toStdString(), nullptr, false);
    if (!entry.is_object() || member(entry, "batch") != settings_.batch ||
        member(entry, "station") != settings_.station)
        return;
    Pending pending;
    pending.lease.row = int(integer(entry, "row"));
    pending.lease.generation = integer(entry, "generation");
    pending.port = member(entry, "port");
    pending.record.passed = member(entry, "result") == QLatin1String("passed");
    pending.record.failedStep = member(entry, "failed_step");
    pending.record.message = member(entry, "message");
    pending.record.identity = member(entry, "identity");
    pending.lateLine = lateLineOf(pending.lease.row, member(entry, "unit"), member(entry, "port"));
    entry.erase("recorded");
    entry.erase("generation");
    pending.record.journalLine = jsonText(entry);
    pending_.append(pending);
    unrecorded_ = pending_.size();
}

LineStatus DbQueue::open(const QString &connectionString, const QString &host, qint64 pid,
                         const QStringList &fixtures, const std::atomic<bool> *abandon)
{
    const std::lock_guard<std::mutex> lock(mutex_);
    connectionString_ = connectionString;
    database_.setInterruption(
        [this, abandon] { return interrupted_.load() || (abandon && abandon->load()); });
    LineStatus status = database_.open(connectionString, LineUse::Station);
    if (status.ok())
        status = checkLineSchema(database_);
    if (status.ok())
        status = startStation(database_,
                              {settings_.batch, settings_.station, host, pid, fixtures,
                               settings_.leaseSeconds, settings_.rowTries},
                              run_);
    if (status.ok())
        status = startRun();
    // From now on the first stop lets the units in progress finish.
    database_.setInterruption([this] { return interrupted_.load(); });
    if (status.ok())
        keeper_ = std::thread([this] { keepUp(); });
    return status;
}

// With the lock held, the run started: what an earlier run under this name
// left in its journal alone is recorded, fenced by its claims, before their
// leases are given back.
LineStatus DbQueue::startRun()
{
    LineStatus status = rowIdentities(database_, run_, identities_);
    for (auto it = identities_.constBegin(); it != identities_.constEnd(); ++it)
        heldBy_.add(it.key(), it.value());
    if (status.ok() && !pending_.isEmpty()) {
        // A row's result goes with the fixture that holds the row; a unit
        // without one, with its port if this run has it.
        for (Pending &pending : pending_)
            pending.lease.fixture =
                pending.lease.row > 0 ? 0 : qMax(1, fixtureNumber(pending.port));
        recordPending();
        status = reachable_ ? LineStatus() : outage_;
    }
    if (status.ok())
        status = stationReady(database_, run_);
    return status.ok() ? refreshCounts() : status;
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
    if (!fatal_.isEmpty()) {
        problem = fatal_;
        return true;
    }
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
    const LineStatus status = claimRow(database_, run_, lease, unitRow, claimed, passed, row);
    if (status.ok() && (claimed || passed)) {
        job = jobOf(lease, row, identities_.value(lease.row));
        job.cameBack = claimed && lease.row == unitRow;
        if (claimed)
            held_.insert(job.key, {fixture, lease.generation, false});
        answer = claimed ? Claim::Claimed : Claim::AlreadyPassed;
        return true;
    }
    return nothingFree(status, problem, answer);
}

bool DbQueue::nothingFree(LineStatus status, QString &problem, Claim &answer)
{
    if (status.ok())
        status = refreshCounts();
    if (!status.ok()) {
        problem = unavailable(status);
        return true;
    }
    const StationCounts now = counts();
    if (now.waiting + now.leased + now.kept == 0) {
        answer = Claim::Ended;
        return true;
    }
    // Rows kept for other units: this unit may be swapped for one of those,
    // so the fixture reads it again before it asks again.
    if (now.kept == 0)
        return false;
    problem = keptRowNote();
    answer = Claim::KeptForOthers;
    return true;
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
    const auto holding = held_.find(job.key);
    const bool marked = holding != held_.end() && holding->marked;
    if (!fatal_.isEmpty() || !reconnect()) {
        problem = fatal_.isEmpty() ? noAnswer(marked) : fatal_;
        return false;
    }
    bool held = false;
    const LineStatus status =
        renewLease(database_, run_, leaseOf(job, fixture), held, Renewal::BeforeWriting);
    if (!status.ok()) {
        const bool unanswered = status.fault == LineFault::Unreachable;
        noteFailure(status);
        problem = unanswered ? noAnswer(marked) : status.message;
        return false;
    }
    if (!held)
        problem = QStringLiteral("row %1's lease was lost; the row may be on another unit now")
                      .arg(job.row);
    else if (holding != held_.end())
        holding->marked = true;
    return held;
}

QueueProgress DbQueue::progress() const
{
    const std::lock_guard<std::mutex> lock(countsMutex_);
    return last_;
}

StationCounts DbQueue::counts() const
{
    const std::lock_guard<std::mutex> lock(countsMutex_);
    return counts_;
}

QString DbQueue::fatal() const
{
    const std::lock_guard<std::mutex> lock(countsMutex_);
    return fatal_;
}

int DbQueue::unrecorded() const
{
    return unrecorded_;
}

int DbQueue::rowHeldBy(const QStringList &unitValues) const
{
    return qMax(0, heldBy_.find(unitValues));
}

int DbQueue::fixtureNumber(const QString &fixture) const
{
    return int(run_.fixtures.indexOf(fixture)) + 1;
}

LineLease DbQueue::leaseOf(const UnitJob &job, const QString &fixture) const
{
    LineLease lease;
    lease.fixture = fixtureNumber(fixture);
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
    pending.record.identity = QLatin1String(identityName(result.identity));
    pending.record.journalLine = withOrigin(journalLine(job, result, settings_.withSecrets),
                                            settings_.batch, settings_.station);
    pending.lateLine = lateLineOf(job.row, job.unit, result.fixture);
    const std::lock_guard<std::mutex> lock(mutex_);
    pending.lease = leaseOf(job, result.fixture);
    if (pending.lease.generation != 0)
        held_.remove(job.key);
    bool settled = false;
    LineStatus status = !fatal_.isEmpty() ? LineStatus::failed(LineFault::RunEnded, fatal_)
                        : reconnect()     ? recordJournalled(pending, settled, problem)
                                          : outage_;
    if (status.ok()) {
        noteFailure(refreshCounts());
        const bool late = pending.lease.row > 0 && pending.record.passed && !settled;
        problem = late ? pending.lateLine : QString();
        return late ? Completion::Unsettled : Completion::Settled;
    }
    if (status.fault != LineFault::Unreachable) {
        problem = status.message; // a right the station's role lacks, say
        return Completion::NotRecorded;
    }
    lost(status);
    return unrecordedCompletion(pending, problem);
}

// With the lock held, the database out of reach: still the station's own
// copy, marked, which the database takes once it is back, in this run or the
// next. Journalled already, the commit itself was lost and may have landed:
// it is marked all the same, so that a restart asks too, and whether it
// went through is asked before it is recorded again.
UnitQueue::Completion DbQueue::unrecordedCompletion(const Pending &pending, QString &problem)
{
    if (journalOpen_ &&
        !journal_.append(
            markedUnrecorded(pending.record.journalLine, pending.lease.generation) + '\n', problem))
        return Completion::NotRecorded;
    pending_.append(pending);
    unrecorded_ = pending_.size();
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
        status = recordUnit(database_, run_, pending.lease, pending.record, settled);
    if (!status.ok())
        return status;
    if (journalOpen_ && !journal_.append(pending.record.journalLine + '\n', problem))
        return LineStatus::failed(LineFault::BadInput, problem);
    return transaction.commit();
}

LineStatus DbQueue::refreshCounts()
{
    StationCounts counts;
    LineStatus status = stationSeen(database_, run_, counts);
    if (!status.ok())
        return status;
    QVector<int> setAside = progress().setAsideRows;
    QVector<KeptRow> kept = progress().keptRows;
    // Which rows, asked only when their number changed (or, for kept rows,
    // while there are any: where their units were may change): most runs
    // have none.
    if (counts.setAside != setAside.size())
        status = setAsideRows(database_, run_, setAside);
    if (status.ok() && (counts.kept > 0 || !kept.isEmpty()))
        status = rowsKeptForTheirUnit(database_, run_, kept);
    const std::lock_guard<std::mutex> lock(countsMutex_);
    counts_ = counts;
    last_.rows = int(counts.rows);
    last_.passed = int(counts.passed);
    last_.failedUnits = int(counts.failedUnits);
    if (status.ok()) {
        last_.setAsideRows = setAside;
        last_.keptRows = kept;
    }
    return status;
}

QString DbQueue::keptRowNote()
{
    for (const KeptRow &kept : progress().keptRows) {
        if (!toldKept_.contains(kept.row)) {
            toldKept_.insert(kept.row);
            return ::keptRowNote(kept, QStringLiteral("a fixture of the line"));
        }
    }
    return QString();
}

QString DbQueue::unavailable(const LineStatus &status)
{
    noteFailure(status);
    if (!fatal().isEmpty())
        return fatal();
    if (status.fault != LineFault::Unreachable)
        return status.message + QStringLiteral("; trying again");
    return outageNote();
}

void DbQueue::noteFailure(const LineStatus &status)
{
    // The name taken by another run, or the schema upgraded past this
    // station: nothing it could try again would help.
    if (status.fault == LineFault::RunEnded || status.fault == LineFault::SchemaUnknown) {
        const std::lock_guard<std::mutex> lock(countsMutex_);
        if (fatal_.isEmpty())
            fatal_ = QStringLiteral("%1; this run of station %2 stops")
                         .arg(status.message, settings_.station);
    }
    if (status.fault == LineFault::Unreachable)
        lost(status);
}

void DbQueue::lost(const LineStatus &status)
{
    if (!reachable_)
        return;
    reachable_ = false;
    outage_ = status;
    backoffMs_ = kFirstRetryMs;
    nextTry_ = std::chrono::steady_clock::now() + std::chrono::milliseconds(backoffMs_);
    const std::lock_guard<std::mutex> lock(countsMutex_);
    if (!toldOutage_)
        outageToTell_ = QStringLiteral("database unreachable: %1; retrying").arg(status.message);
}

// Said once for each outage, by whichever comes first: a fixture that
// asked, or the station's own look at its queue.
QString DbQueue::outageNote()
{
    const std::lock_guard<std::mutex> lock(countsMutex_);
    QString note;
    note.swap(outageToTell_);
    toldOutage_ = toldOutage_ || !note.isEmpty();
    return note;
}

QString DbQueue::note()
{
    return outageNote();
}

bool DbQueue::reconnect()
{
    if (reachable_)
        return true;
    const auto now = std::chrono::steady_clock::now();
    if (now < nextTry_ || interrupted_)
        return false;
    const LineStatus status = resume();
    if (!status.ok()) {
        noteFailure(status); // the outage goes on, or the run is over
        backoffMs_ = std::min(backoffMs_ * 2, kLastRetryMs);
        nextTry_ = now + std::chrono::milliseconds(backoffMs_);
        return false;
    }
    reachable_ = true;
    {
        // An outage over before anyone told it is still told, once.
        const std::lock_guard<std::mutex> lock(countsMutex_);
        toldOutage_ = false;
    }
    recordPending();
    return reachable_;
}

LineStatus DbQueue::resume()
{
    LineStatus status = database_.open(connectionString_, LineUse::Station);
    if (status.ok())
        status = checkLineSchema(database_);
    if (status.ok())
        status = resumeRun(database_, run_);
    return status;
}

// With the lock held, the database back: records what it missed, oldest
// first, each fenced by its own lease; stops at the first that cannot be.
void DbQueue::recordPending()
{
    while (!pending_.isEmpty()) {
        const Pending &pending = pending_.first();
        bool found = false, settled = false;
        LineStatus status = findRecord(database_, run_, pending.lease,
                                       timeOf(pending.record.journalLine), found, settled);
        if (status.ok() && !found)
            status = recordUnit(database_, run_, pending.lease, pending.record, settled);
        if (status.fault == LineFault::Unreachable || status.fault == LineFault::RunEnded) {
            noteFailure(status);
            return;
        }
        if (status.ok() && pending.lease.row > 0 && pending.record.passed && !settled)
            lateLines_.append(pending.lateLine);
        // Any other failure (a right the role lacks): the journal keeps it.
        pending_.removeFirst();
        unrecorded_ = pending_.size();
    }
}
