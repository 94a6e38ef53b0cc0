#include "station/manifest.h"
#include "base/bounded_read.h"
#include "config/config_values.h"
#include "protocol/config_fields.h"
#include "protocol/device_message.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>

#include <csv.h>
#include <nlohmann/json.hpp>

namespace {

// More than any station's day of units; a bigger file is a mistake.
constexpr qint64 kMostManifestBytes = 16 * 1024 * 1024;

const char kUnitColumn[] = "unit";
const char kCertificateColumn[] = "certificate";

using Record = QVector<QByteArray>;

// What libcsv's callbacks fill: every record of the file, fields as bytes.
struct Records {
    QVector<Record> all;
    Record current;
};

void appendField(void *field, size_t size, void *data)
{
    static_cast<Records *>(data)->current.append(
        QByteArray(static_cast<const char *>(field), int(size)));
}

void endRecord(int, void *data)
{
    Records &records = *static_cast<Records *>(data);
    records.all.append(records.current);
    records.current.clear();
}

// RFC 4180 keeps spaces around an unquoted field as part of it.
int noSpace(unsigned char)
{
    return 0;
}

// Where the quoted cell that the file leaves open starts: each quote opens
// or closes one, a doubled quote inside a cell doing both.
int openingQuote(const QByteArray &bytes)
{
    int opening = 0;
    bool quoted = false;
    for (int at = 0; at < bytes.size(); ++at) {
        if (bytes.at(at) == '"' && (quoted = !quoted))
            opening = at;
    }
    return opening;
}

// What is wrong where the strict parser stopped, at `stop` (the size of the
// file when it stopped at the end), in the words of someone who edits CSV.
QString csvFault(const QByteArray &bytes, int stop, int error)
{
    const bool unclosed = error == CSV_EPARSE && stop >= bytes.size();
    const int line = 1 + int(bytes.left(unclosed ? openingQuote(bytes) : stop).count('\n'));
    QString fault;
    if (error != CSV_EPARSE)
        fault =
            QStringLiteral("cannot be parsed (%1)").arg(QString::fromLatin1(csv_strerror(error)));
    else if (unclosed)
        fault = QStringLiteral("a quoted cell is not closed before the end of the file");
    else if (bytes.at(stop) == '"')
        fault = QStringLiteral("a quote inside a cell that does not start with one; "
                               "quote the whole cell");
    else
        fault = QStringLiteral("text after the closing quote of a cell; quote the whole cell "
                               "and double each quote inside it");
    return QStringLiteral("line %1: %2").arg(line).arg(fault);
}

// Strict RFC 4180: a file that breaks it is refused, never guessed at.
bool parseCsv(const QByteArray &bytes, Records &records, QString &problem)
{
    csv_parser parser;
    csv_init(&parser, CSV_STRICT | CSV_STRICT_FINI);
    csv_set_space_func(&parser, noSpace);
    const size_t size = size_t(bytes.size());
    const size_t parsed =
        csv_parse(&parser, bytes.constData(), size, appendField, endRecord, &records);
    const bool ok = parsed == size && csv_fini(&parser, appendField, endRecord, &records) == 0;
    if (!ok)
        problem = csvFault(bytes, int(parsed), csv_error(&parser));
    csv_free(&parser);
    return ok;
}

bool readBytes(const QString &path, QByteArray &bytes, QString &problem)
{
    QFile file;
    QString error;
    switch (openRegularFile(file, path, error)) {
    case RegularOpen::Opened: break;
    case RegularOpen::NotRegular:
        problem = QStringLiteral("%1 is not a regular file").arg(path);
        return false;
    case RegularOpen::Failed:
        problem = QStringLiteral("%1: cannot read: %2").arg(path, error);
        return false;
    }
    if (!readUpTo(file, kMostManifestBytes, bytes)) {
        problem = QStringLiteral("%1: cannot read: %2").arg(path, file.errorString());
        return false;
    }
    if (bytes.size() > kMostManifestBytes) {
        problem = QStringLiteral("%1: larger than %2 bytes").arg(path).arg(kMostManifestBytes);
        return false;
    }
    return true;
}

// The header's names: a profile key's row, or -1 for unit, -2 for certificate.
constexpr int kUnitIndex = -1;
constexpr int kCertificateIndex = -2;

bool readHeader(const Record &header, QVector<int> &columns, QString &problem)
{
    for (const QByteArray &field : header) {
        QString name;
        if (!decodeUtf8(field, name)) {
            problem = QStringLiteral("the header is not valid UTF-8");
            return false;
        }
        name = name.trimmed();
        int column = rowOfKey(name);
        if (name == QLatin1String(kUnitColumn))
            column = kUnitIndex;
        else if (name == QLatin1String(kCertificateColumn))
            column = kCertificateIndex;
        else if (column < 0) {
            problem = QStringLiteral("unknown column \"%1\" (a column is a profile key, "
                                     "\"certificate\" or \"unit\")")
                          .arg(name);
            return false;
        }
        if (columns.contains(column)) {
            problem = QStringLiteral("column \"%1\" given twice").arg(name);
            return false;
        }
        columns.append(column);
    }
    return true;
}

// A spreadsheet writes the rows it has seen as empty as ",,".
bool isBlank(const Record &record)
{
    for (const QByteArray &field : record) {
        if (!field.isEmpty())
            return false;
    }
    return true;
}

QString columnName(int column)
{
    if (column == kUnitIndex)
        return QLatin1String(kUnitColumn);
    return column == kCertificateIndex ? QLatin1String(kCertificateColumn) : keyOfRow(column);
}

// What the journal knows the row by; the cells are valid UTF-8 by now.
QString contentKey(const Record &record, const QVector<int> &columns)
{
    nlohmann::json cells = nlohmann::json::object(); // its keys stay sorted
    for (int i = 0; i < columns.size(); ++i) {
        if (!record.at(i).isEmpty())
            cells[columnName(columns.at(i)).toStdString()] = record.at(i).toStdString();
    }
    const std::string text = cells.dump();
    return QString::fromLatin1(QCryptographicHash::hash(QByteArray(text.data(), int(text.size())),
                                                        QCryptographicHash::Sha256)
                                   .toHex());
}

bool readRow(const Record &record, const QVector<int> &columns, const QDir &folder,
             ManifestRow &row, QString &problem)
{
    if (record.size() != columns.size()) {
        problem = QStringLiteral("row %1: %2 fields, but the header names %3 columns")
                      .arg(row.number)
                      .arg(record.size())
                      .arg(columns.size());
        return false;
    }
    for (int i = 0; i < columns.size(); ++i) {
        QString text;
        if (!decodeUtf8(record.at(i), text)) {
            problem = QStringLiteral("row %1: not valid UTF-8").arg(row.number);
            return false;
        }
        if (columns.at(i) == kUnitIndex)
            row.unit = text;
        else if (text.isEmpty())
            continue; // left to the profile, then to the device
        else if (columns.at(i) == kCertificateIndex)
            row.certificatePath = QDir::cleanPath(folder.absoluteFilePath(text));
        else
            row.changes[columns.at(i)] = text;
    }
    row.key = contentKey(record, columns);
    return true;
}

bool readRecords(QByteArray bytes, Records &records, QString &problem)
{
    if (bytes.startsWith("\xEF\xBB\xBF")) // spreadsheets mark UTF-8 so
        bytes.remove(0, 3);
    if (!parseCsv(bytes, records, problem))
        return false;
    if (records.all.isEmpty())
        problem = QStringLiteral("empty: the first row names the columns, each later row is one "
                                 "unit");
    return !records.all.isEmpty();
}

bool readRows(const Records &records, const QVector<int> &columns, const QDir &folder,
              QVector<ManifestRow> &rows, int &blankRows, QString &problem)
{
    for (int i = 1; i < records.all.size(); ++i) {
        if (isBlank(records.all.at(i))) {
            ++blankRows;
            continue;
        }
        ManifestRow row;
        row.number = i;
        if (!readRow(records.all.at(i), columns, folder, row, problem))
            return false;
        rows.append(row);
    }
    if (rows.isEmpty())
        problem = QStringLiteral("no units: only the header row");
    return !rows.isEmpty();
}

} // namespace

bool parseManifest(const QByteArray &bytes, const QString &folder, QVector<ManifestRow> &rows,
                   QString &problem, int *blankRows)
{
    Records records;
    QVector<int> columns;
    int blank = 0;
    const bool ok = readRecords(bytes, records, problem) &&
                    readHeader(records.all.first(), columns, problem) &&
                    readRows(records, columns, QDir(folder), rows, blank, problem);
    if (blankRows)
        *blankRows = blank;
    return ok;
}

bool readManifest(const QString &path, QVector<ManifestRow> &rows, QString &problem, int *blankRows)
{
    QByteArray bytes;
    if (!readBytes(path, bytes, problem))
        return false;
    if (parseManifest(bytes, QFileInfo(path).absolutePath(), rows, problem, blankRows))
        return true;
    problem = path + QStringLiteral(": ") + problem;
    return false;
}

namespace {

// How often a long plan says how far it is.
constexpr int kProgressEveryRows = 10000;

// One certificate file as read: its bytes, or why it cannot be one.
struct HeldCertificate {
    QByteArray bytes;
    QString sha256;
    QString problem;
};

// Each file is read once, and files with the same bytes share one copy: a
// hundred thousand rows naming one certificate hold it once.
class Certificates
{
public:
    const HeldCertificate &get(const QString &path)
    {
        auto it = byPath_.find(path);
        if (it == byPath_.end())
            it = byPath_.insert(path, read(path));
        return it.value();
    }

private:
    HeldCertificate read(const QString &path)
    {
        HeldCertificate held;
        held.problem = readRegular(path, held.bytes);
        if (!held.problem.isEmpty())
            return held;
        const QByteArray digest = QCryptographicHash::hash(held.bytes, QCryptographicHash::Sha256);
        held.sha256 = QString::fromLatin1(digest.toHex());
        auto same = byContent_.constFind(digest);
        if (same == byContent_.constEnd())
            same = byContent_.insert(digest, held.bytes);
        held.bytes = same.value(); // the copy held already, if there is one
        return held;
    }
    // Why the file cannot be a certificate, or an empty string.
    static QString readRegular(const QString &path, QByteArray &bytes)
    {
        QFile file;
        QString error;
        switch (openRegularFile(file, path, error)) {
        case RegularOpen::Opened: break;
        case RegularOpen::NotRegular:
            return QStringLiteral("certificate %1 is not a regular file").arg(path);
        case RegularOpen::Failed:
            return QStringLiteral("certificate %1: cannot read: %2").arg(path, error);
        }
        QString problem;
        if (!readUpTo(file, CERT_DATA_MAX, bytes))
            problem = QStringLiteral("cannot read: %1").arg(file.errorString());
        else if (bytes.size() > CERT_DATA_MAX)
            problem = QStringLiteral("larger than %1 bytes").arg(CERT_DATA_MAX);
        else if (bytes.isEmpty())
            problem = QStringLiteral("empty");
        return problem.isEmpty() ? problem
                                 : QStringLiteral("certificate %1: %2").arg(path, problem);
    }

    QHash<QString, HeldCertificate> byPath_;
    QHash<QByteArray, QByteArray> byContent_;
};

// The rows that gave each unit label and host name first. Two units with one
// host name collide on the plant's network; host names are compared as the
// network does, without regard to case.
struct Identities {
    QHash<QString, int> units;
    QHash<QString, int> hostnames;

    QString duplicateIn(const UnitJob &job)
    {
        const QString hostname = job.changes.value(RowHostname);
        const int unitRow = job.unit.isEmpty() ? 0 : units.value(job.unit, 0);
        const int hostRow = hostname.isEmpty() ? 0 : hostnames.value(hostname.toLower(), 0);
        if (!job.unit.isEmpty() && unitRow == 0)
            units.insert(job.unit, job.row);
        if (!hostname.isEmpty() && hostRow == 0)
            hostnames.insert(hostname.toLower(), job.row);
        if (unitRow > 0)
            return QStringLiteral("unit %1 is also row %2's").arg(job.unit).arg(unitRow);
        if (hostRow > 0)
            return QStringLiteral("hostname %1 is also row %2's").arg(hostname).arg(hostRow);
        return QString();
    }
};

// A row's first problem, or an empty string.
QString planJob(const ManifestRow &row, const ValueChanges &profile, const QString &certificatePath,
                Certificates &certificates, UnitJob &plan)
{
    plan.key = QString::number(row.number);
    plan.row = row.number;
    plan.unit = row.unit;
    plan.rowKey = row.key;
    plan.changes = profile;
    for (auto it = row.changes.constBegin(); it != row.changes.constEnd(); ++it)
        plan.changes[it.key()] = it.value();
    const QStringList problems = givenValueProblems(plan.changes);
    if (!problems.isEmpty())
        return problems.first();
    if (certificatePath.isEmpty())
        return QString();
    const HeldCertificate &certificate = certificates.get(certificatePath);
    plan.certificate = certificate.bytes;
    plan.certificateSha256 = certificate.sha256;
    return certificate.problem;
}

} // namespace

bool planJobs(const QVector<ManifestRow> &rows, const ValueChanges &profile,
              const QString &defaultCertificate, QVector<UnitJob> &jobs, QStringList &problems,
              const PlanProgress &progress)
{
    Certificates certificates;
    Identities identities;
    jobs.reserve(rows.size());
    for (const ManifestRow &row : rows) {
        UnitJob job;
        const QString certificate =
            row.certificatePath.isEmpty() ? defaultCertificate : row.certificatePath;
        QString problem = planJob(row, profile, certificate, certificates, job);
        const QString duplicate = identities.duplicateIn(job);
        if (problem.isEmpty())
            problem = duplicate;
        if (!problem.isEmpty())
            problems << QStringLiteral("row %1: %2").arg(row.number).arg(problem);
        jobs.append(job);
        if (progress && (jobs.size() % kProgressEveryRows == 0 || jobs.size() == rows.size()))
            progress(jobs.size(), rows.size());
    }
    return problems.isEmpty();
}
