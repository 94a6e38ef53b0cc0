#include "station/journal.h"
#include "base/time_stamp.h"
#include "config/config_values.h"
#include "protocol/config_fields.h"

#include <QDateTime>
#include <QFile>

#include <nlohmann/json.hpp>

#include <cerrno>
#include <cmath>
#include <cstring>

#include <fcntl.h>
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

// The journal's lines are parsed with the library's exceptions off: a line
// that is not JSON (a number beyond a double's range included) comes back
// discarded, and every member is looked at only after its type is, so
// nothing here can throw.
bool isPassedEntry(const std::string &line, int &row)
{
    const Json entry = Json::parse(line, nullptr, false);
    if (entry.is_discarded() || !entry.is_object() || !entry.contains("row") ||
        !entry.contains("result"))
        return false;
    const Json &number = entry["row"];
    row = number.is_number_integer() ? number.get<int>() : 0;
    return entry["result"] == "passed" && row > 0;
}

bool isEntry(const std::string &line)
{
    const Json entry = Json::parse(line, nullptr, false);
    return !entry.is_discarded() && entry.is_object() && entry.contains("result");
}

} // namespace

QByteArray journalLine(const UnitJob &job, const UnitResult &result, bool withSecrets)
{
    Json line = Json::object();
    line["time"] = timeStamp();
    line["row"] = job.row > 0 ? Json(job.row) : Json(nullptr);
    line["unit"] = utf8(job.unit);
    line["port"] = utf8(result.fixture);
    line["result"] = result.passed() ? "passed" : "failed";
    line["failed_step"] = result.passed() ? Json(nullptr) : Json(stepName(result.failedStep));
    line["message"] = utf8(result.message);
    line["values"] = valuesObject(result.values, withSecrets);
    // The certificate is the last step: only a unit that passed has it.
    line["certificate_sha256"] = textOrNull(result.passed() ? job.certificateSha256 : QString());
    line["seconds"] = std::round(result.seconds * 100.0) / 100.0;
    // A value read from a device may hold bytes that are not UTF-8.
    const std::string text = line.dump(-1, ' ', false, Json::error_handler_t::replace) + '\n';
    return QByteArray(text.data(), int(text.size()));
}

bool readJournal(const QString &path, JournalHistory &history, QString &problem)
{
    QFile file(path);
    if (!file.exists())
        return true;
    if (!file.open(QIODevice::ReadOnly)) {
        problem = QStringLiteral("%1: cannot read: %2").arg(path, file.errorString());
        return false;
    }
    const QList<QByteArray> lines = file.readAll().split('\n');
    for (int i = 0; i < lines.size(); ++i) {
        const std::string line = lines.at(i).toStdString();
        int row = 0;
        if (isPassedEntry(line, row))
            history.passedRows.insert(row);
        else if (!line.empty() && !isEntry(line))
            history.warnings << QStringLiteral("%1: line %2 is not a whole entry (left by a "
                                               "crash?); ignored")
                                    .arg(path)
                                    .arg(i + 1);
    }
    // The text after the last newline: empty, or a line that never ended.
    history.endsTorn = !lines.last().isEmpty();
    return true;
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
    if (!writeWhole(line, problem))
        return false;
    if (::fsync(fd_) == 0)
        return true;
    problem = QStringLiteral("%1: cannot flush to disk: %2")
                  .arg(path_, QString::fromLocal8Bit(std::strerror(errno)));
    return false;
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
