#include "station/journal.h"
#include "base/bounded_read.h"
#include "base/json_text.h"
#include "base/time_stamp.h"
#include "config/config_values.h"
#include "protocol/config_fields.h"

#include <QDateTime>
#include <QFile>
#include <QFileInfo>

#include <nlohmann/json.hpp>

#include <cerrno>
#include <cmath>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using Json = nlohmann::ordered_json;

std::string utf8(const QString &text)
{
    return text.toStdString();
}

Json textOrNull(const QString &text)
{
    return text.isEmpty() ? Json(nullptr) : Json(utf8(text));
}

std::string timeStamp()
{
    return utf8(isoTimeWithOffset(QDateTime::currentDateTime()));
}

Json valuesObject(const QStringList &values, bool withSecrets)
{
    if (values.size() != ConfigRowCount)
        return Json(nullptr);
    Json object = Json::object();
    for (int row = 0; row < ConfigRowCount; ++row) {
        if (!withSecrets && (row == RowWifiPassword || row == RowEmailPassword))
            continue;
        ushort port = 0;
        object[kConfigFields[row].key] = row == RowSmtpPort && smtpPortNumber(values.at(row), port)
                                             ? Json(port)
                                             : Json(utf8(values.at(row)));
    }
    return object;
}

// A journal line longer than this is no entry of ours (values and all, an
// entry is a few kilobytes); it is skipped without being held.
constexpr int kLongestLine = 1024 * 1024;
// Beyond these, lines that are not entries or not this manifest's are counted,
// not named one by one.
constexpr int kNamedLines = 10;

// The journal's lines are parsed with the library's exceptions off: a line
// that is not JSON (a number beyond a double's range included) comes back
// discarded, and every member is looked at only after its type is, so
// nothing here can throw.
struct Entry {
    bool valid = false;  // a JSON object with a result
    bool passed = false; // ...which is "passed"
    // What the line says of its row's identity: kept for its unit, freed
    // (passed, given back, never taken, or released), or nothing new.
    enum class Identity { Unchanged, Kept, Freed } identity = Identity::Unchanged;
    std::string rowKey;
    std::string port;
    QString who; // the unit's label, else its row's number
};

Entry::Identity identityOf(const Json &entry)
{
    const auto fate = entry.find("identity");
    if (entry["result"] == "passed" || entry["result"] == "released" ||
        (fate != entry.end() && fate->is_string() && *fate != "kept"))
        return Entry::Identity::Freed;
    return fate != entry.end() && *fate == "kept" ? Entry::Identity::Kept
                                                  : Entry::Identity::Unchanged;
}

Entry parseEntry(const QByteArray &line)
{
    Entry parsed;
    // Most lines of a long journal are failed units, of which nothing but
    // their being entries matters: checked without building them.
    if (!line.contains("passed") && !line.contains("\"identity\"") &&
        !line.contains("\"released\"")) {
        parsed.valid = line.trimmed().startsWith('{') && line.contains("\"result\"") &&
                       Json::accept(line.constData(), line.constData() + line.size());
        return parsed;
    }
    const Json entry =
        Json::parse(line.constData(), line.constData() + line.size(), nullptr, false);
    if (entry.is_discarded() || !entry.is_object() || !entry.contains("result"))
        return parsed;
    parsed.valid = true;
    parsed.passed = entry["result"] == "passed";
    parsed.identity = identityOf(entry);
    const auto member = [&entry](const char *name) {
        const auto it = entry.find(name);
        return it == entry.end() ? Json() : *it;
    };
    const Json key = member("row_key");
    const Json unit = member("unit");
    const Json row = member("row");
    const Json port = member("port");
    if (key.is_string())
        parsed.rowKey = key.get<std::string>();
    if (port.is_string())
        parsed.port = port.get<std::string>();
    if (unit.is_string() && !unit.get<std::string>().empty())
        parsed.who = QString::fromStdString(unit.get<std::string>());
    else if (row.is_number_integer())
        parsed.who = QStringLiteral("row %1").arg(row.get<qint64>());
    else
        parsed.who = QStringLiteral("a unit");
    return parsed;
}

// One line of `device` without its newline; false at the end. `ended`
// tells whether it had one. A line beyond kLongestLine is read to its end
// but not kept: `line` comes back empty and `tooLong` set.
bool nextLine(QIODevice &device, QByteArray &line, bool &ended, bool &tooLong)
{
    line.clear();
    ended = tooLong = false;
    char chunk[16384];
    for (;;) {
        const qint64 got = device.readLine(chunk, qint64(sizeof chunk));
        if (got <= 0)
            return !line.isEmpty() || tooLong;
        ended = chunk[got - 1] == '\n';
        if (!tooLong)
            line.append(chunk, int(ended ? got - 1 : got));
        if (line.size() > kLongestLine) {
            tooLong = true;
            line.clear();
        }
        if (ended)
            return true;
    }
}

// Takes note of one line; false if it is not an entry.
bool noteLine(JournalHistory &history, const QString &name, qint64 number, const Entry &entry,
              const QSet<QString> &rowKeys)
{
    if (!entry.valid) {
        if (history.warnings.size() < kNamedLines)
            history.warnings << QStringLiteral("%1: line %2 is not a whole entry (left by a "
                                               "crash?); ignored")
                                    .arg(name)
                                    .arg(number);
        return false;
    }
    const QString key = QString::fromStdString(entry.rowKey);
    if (entry.identity == Entry::Identity::Kept && rowKeys.contains(key))
        history.keptKeys.insert(key, QString::fromStdString(entry.port));
    else if (entry.identity == Entry::Identity::Freed)
        history.keptKeys.remove(key);
    if (!entry.passed)
        return true;
    ++history.passedLines;
    if (rowKeys.contains(key))
        ++history.passedKeys[key];
    else if (history.strangers.size() < kNamedLines)
        history.strangers << QStringLiteral("journal line %1: %2").arg(number).arg(entry.who);
    else
        ++history.moreStrangers;
    return true;
}

} // namespace

QByteArray journalLine(const UnitJob &job, const UnitResult &result, bool withSecrets)
{
    Json line = Json::object();
    line["time"] = timeStamp();
    line["row"] = job.row > 0 ? Json(job.row) : Json(nullptr);
    line["row_key"] = textOrNull(job.row > 0 ? job.rowKey : QString());
    line["unit"] = utf8(job.unit);
    line["port"] = utf8(result.fixture);
    line["result"] = result.passed() ? "passed" : "failed";
    line["failed_step"] = result.passed() ? Json(nullptr) : Json(stepName(result.failedStep));
    line["message"] = utf8(result.message);
    // A unit that failed once the row's values may have reached it: whether
    // it gave them back, never took them, or may hold them (the row is kept
    // for it).
    if (result.identity != IdentityFate::None)
        line["identity"] = identityName(result.identity);
    line["values"] = valuesObject(result.values, withSecrets);
    // The certificate is the last step: only a unit that passed has it.
    line["certificate_sha256"] = textOrNull(result.passed() ? job.certificateSha256 : QString());
    line["seconds"] = std::round(result.seconds * 1000.0) / 1000.0;
    // A value read from a device may hold bytes that are not UTF-8.
    return jsonText(line) + '\n';
}

bool JournalHistory::belongsElsewhere() const
{
    return passedLines > 0 && passedKeys.isEmpty();
}

bool readJournal(QIODevice &device, const QString &name, const QSet<QString> &rowKeys,
                 JournalHistory &history, QString &problem)
{
    QByteArray line;
    bool ended = false;
    bool tooLong = false;
    qint64 number = 0;
    qint64 notEntries = 0;
    bool lastEnded = true;
    while (nextLine(device, line, ended, tooLong)) {
        ++number;
        lastEnded = ended;
        if ((!line.isEmpty() || tooLong) &&
            !noteLine(history, name, number, parseEntry(line), rowKeys))
            ++notEntries;
    }
    if (notEntries > kNamedLines)
        history.warnings << QStringLiteral("%1: %2 more lines are not whole entries; ignored")
                                .arg(name)
                                .arg(notEntries - kNamedLines);
    // The text after the last newline: empty, or a line that never ended.
    history.endsTorn = !lastEnded;
    if (device.isReadable() && !device.atEnd()) {
        problem = QStringLiteral("%1: cannot read: %2").arg(name, device.errorString());
        return false;
    }
    return true;
}

bool readJournal(const QString &path, const QSet<QString> &rowKeys, JournalHistory &history,
                 QString &problem)
{
    QFile file;
    QString error;
    switch (openRegularFile(file, path, error)) {
    case RegularOpen::Opened: return readJournal(file, path, rowKeys, history, problem);
    case RegularOpen::NotRegular:
        problem = QStringLiteral("%1 is not a regular file").arg(path);
        return false;
    case RegularOpen::Failed: break;
    }
    if (!QFileInfo::exists(path) && !QFileInfo(path).isSymLink())
        return true; // a first run
    problem = QStringLiteral("%1: cannot read: %2").arg(path, error);
    return false;
}

QSet<int> passedRows(const QVector<UnitJob> &jobs, const JournalHistory &history)
{
    QHash<QString, int> left = history.passedKeys;
    QSet<int> passed;
    for (const UnitJob &job : jobs) {
        const auto it = left.find(job.rowKey);
        if (it != left.end() && it.value() > 0) {
            --it.value();
            passed.insert(job.row);
        }
    }
    return passed;
}

QHash<int, QString> keptRows(const QVector<UnitJob> &jobs, const JournalHistory &history)
{
    QHash<int, QString> kept;
    for (const UnitJob &job : jobs) {
        const auto it = history.keptKeys.constFind(job.rowKey);
        if (it != history.keptKeys.constEnd())
            kept.insert(job.row, it.value());
    }
    return kept;
}

QByteArray releaseLine(const UnitJob &job, const QString &reason, const QString &releasedBy)
{
    Json line = Json::object();
    line["time"] = timeStamp();
    line["row"] = job.row;
    line["row_key"] = utf8(job.rowKey);
    line["unit"] = utf8(job.unit);
    line["result"] = "released";
    line["reason"] = utf8(reason);
    line["released_by"] = utf8(releasedBy);
    return jsonText(line) + '\n';
}

JournalWriter::~JournalWriter()
{
    if (fd_ >= 0)
        ::close(fd_);
}

bool JournalWriter::open(const QString &path, const JournalHistory &history, bool withSecrets,
                         QString &problem)
{
    path_ = path;
    // With the passwords in it, the journal is for its owner's eyes only.
    const mode_t mode = withSecrets ? 0600 : 0644;
    fd_ = ::open(QFile::encodeName(path).constData(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC,
                 mode);
    if (fd_ < 0) {
        problem = QStringLiteral("%1: cannot write: %2")
                      .arg(path, QString::fromLocal8Bit(std::strerror(errno)));
        return false;
    }
    // The torn line gets the end it lacks, so that no entry is joined to it.
    return !history.endsTorn || writeWhole(QByteArray("\n"), problem);
}

bool JournalWriter::append(const QByteArray &line, QString &problem)
{
    const std::lock_guard<std::mutex> lock(mutex_);
    struct stat before;
    const bool sized = ::fstat(fd_, &before) == 0;
    if (writeWhole(line, problem)) {
        if (::fsync(fd_) == 0)
            return true;
        problem = QStringLiteral("%1: cannot flush to disk: %2")
                      .arg(path_, QString::fromLocal8Bit(std::strerror(errno)));
    }
    if (sized)
        cutBack(before.st_size, problem);
    return false;
}

// A line that is not whole on the disk, or not known to be, is taken back:
// no entry may follow a torn one, nor may a pass stand that was not recorded.
void JournalWriter::cutBack(off_t size, QString &problem)
{
    struct stat now;
    if (::fstat(fd_, &now) != 0 || now.st_size <= size)
        return;
    if (::ftruncate(fd_, size) == 0)
        return;
    problem += QStringLiteral("; cannot cut it back to its last whole line: %1")
                   .arg(QString::fromLocal8Bit(std::strerror(errno)));
}

bool JournalWriter::writeWhole(const QByteArray &bytes, QString &problem)
{
    qint64 done = 0;
    while (done < bytes.size()) {
        const ssize_t count = ::write(fd_, bytes.constData() + done, size_t(bytes.size() - done));
        if (count < 0 && errno == EINTR)
            continue;
        if (count <= 0) {
            problem = QStringLiteral("%1: cannot write: %2")
                          .arg(path_, QString::fromLocal8Bit(std::strerror(errno)));
            return false;
        }
        done += count;
    }
    return true;
}
