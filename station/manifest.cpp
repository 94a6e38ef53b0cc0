#include "station/manifest.h"
#include "base/bounded_read.h"
#include "config/config_values.h"
#include "device/certificate_file.h"
#include "protocol/device_message.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>

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
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly) || !readUpTo(file, kMostManifestBytes, bytes)) {
        problem = QStringLiteral("cannot read: %1").arg(file.errorString());
        return false;
    }
    if (bytes.size() > kMostManifestBytes) {
        problem = QStringLiteral("larger than %1 bytes").arg(kMostManifestBytes);
        return false;
    }
    if (bytes.startsWith("\xEF\xBB\xBF")) // spreadsheets mark UTF-8 so
        bytes.remove(0, 3);
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

bool readRecords(const QString &path, Records &records, QString &problem)
{
    QByteArray bytes;
    if (!readBytes(path, bytes, problem) || !parseCsv(bytes, records, problem))
        return false;
    if (records.all.isEmpty())
        problem = QStringLiteral("empty: the first row names the columns, each later row is one "
                                 "unit");
    return !records.all.isEmpty();
}

} // namespace

bool readManifest(const QString &path, QVector<ManifestRow> &rows, QString &problem)
{
    Records records;
    QVector<int> columns;
    bool ok =
        readRecords(path, records, problem) && readHeader(records.all.first(), columns, problem);
    if (ok && records.all.size() < 2) {
        problem = QStringLiteral("no units: only the header row");
        ok = false;
    }
    const QDir folder = QFileInfo(path).absoluteDir();
    for (int i = 1; ok && i < records.all.size(); ++i) {
        ManifestRow row;
        row.number = i;
        ok = readRow(records.all.at(i), columns, folder, row, problem);
        rows.append(row);
    }
    if (!ok)
        problem = path + QStringLiteral(": ") + problem;
    return ok;
}

namespace {

// A row's first problem, or an empty string.
QString planJob(const ManifestRow &row, const ValueChanges &profile, const QString &certificatePath,
                UnitJob &plan)
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
    const QString problem = certificateProblem(certificatePath, plan.certificate);
    if (!problem.isEmpty())
        return QStringLiteral("certificate %1: %2").arg(certificatePath, problem);
    plan.certificateSha256 = QString::fromLatin1(
        QCryptographicHash::hash(plan.certificate, QCryptographicHash::Sha256).toHex());
    return QString();
}

} // namespace

bool planJobs(const QVector<ManifestRow> &rows, const ValueChanges &profile,
              const QString &defaultCertificate, QVector<UnitJob> &jobs, QStringList &problems)
{
    for (const ManifestRow &row : rows) {
        UnitJob job;
        const QString certificate =
            row.certificatePath.isEmpty() ? defaultCertificate : row.certificatePath;
        const QString problem = planJob(row, profile, certificate, job);
        if (!problem.isEmpty())
            problems << QStringLiteral("row %1: %2").arg(row.number).arg(problem);
        jobs.append(job);
    }
    return problems.isEmpty();
}
