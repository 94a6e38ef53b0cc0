#include "config/config_values.h"
#include "config/field_rules.h"
#include "protocol/config_fields.h"

#include <QByteArray>
#include <QString>

#include <cstring>

namespace {

// Number of leading bytes of the UTF-8 text that fit in maxBytes without
// splitting a character: a cut never lands in front of a continuation byte.
int fittingUtf8Length(const QByteArray &utf8, int maxBytes)
{
    if (utf8.size() <= maxBytes)
        return utf8.size();
    int length = maxBytes;
    while (length > 0 && (static_cast<unsigned char>(utf8.at(length)) & 0xC0) == 0x80)
        --length;
    return length;
}

// Stores text as byte count, bytes and NUL; the array must already be zero.
void storeText(unsigned char *record, const ConfigField &field, const QString &text)
{
    const QByteArray utf8 = text.toUtf8();
    const int length = fittingUtf8Length(utf8, field.maxTextBytes());
    std::memcpy(record + field.arrayOffset, utf8.constData(), std::size_t(length));
    record[field.lengthOffset] = static_cast<unsigned char>(length);
}

QString loadText(const unsigned char *record, const ConfigField &field)
{
    const char *array = reinterpret_cast<const char *>(record + field.arrayOffset);
    const void *nul = std::memchr(array, 0, field.arraySize);
    const std::size_t length =
        nul ? std::size_t(static_cast<const char *>(nul) - array) : field.arraySize;
    return QString::fromUtf8(array, int(length));
}

} // namespace

QStringList valuesFromConfig(const DeviceConfig &config)
{
    const auto *record = reinterpret_cast<const unsigned char *>(&config);
    QStringList values;
    for (const ConfigField &field : kConfigFields)
        values << (field.isText() ? loadText(record, field) : QString::number(config.smtpPort));
    return values;
}

void configFromValues(const QStringList &values, DeviceConfig &config)
{
    std::memset(&config, 0, sizeof config);
    auto *record = reinterpret_cast<unsigned char *>(&config);
    for (int row = 0; row < ConfigRowCount; ++row) {
        const ConfigField &field = kConfigFields[row];
        if (field.isText()) {
            storeText(record, field, values.at(row));
        } else {
            ushort port = 0;
            config.smtpPort = smtpPortNumber(values.at(row), port) ? port : 0;
        }
    }
}

QStringList asRecorded(const QStringList &values)
{
    DeviceConfig config;
    configFromValues(values, config);
    return valuesFromConfig(config);
}

bool smtpPortNumber(const QString &value, ushort &port)
{
    bool ok = false;
    port = value.toUShort(&ok, 10);
    return ok;
}

QStringList withChanges(QStringList values, const ValueChanges &changes)
{
    for (auto it = changes.constBegin(); it != changes.constEnd(); ++it)
        values[it.key()] = it.value();
    return values;
}

namespace {

// The given value's diagnosis. The port is only judged against a given
// server, and the addressee rule only where a given addressee calls for an
// account or server that is given empty.
QString givenDiagnosis(int row, const QStringList &values, const ValueChanges &changes)
{
    if (row == RowSmtpPort && !changes.contains(RowSmtpServerName))
        return QString();
    const QString complaint = addresseeComplaint(row, values);
    return complaint.isEmpty() ? diagnoseRow(row, values) : complaint;
}

} // namespace

QStringList givenValueProblems(const ValueChanges &changes)
{
    // Rows not given stay empty, so that they call for nothing.
    QStringList values;
    for (int row = 0; row < ConfigRowCount; ++row)
        values << QString();
    values = withChanges(values, changes);
    QStringList diagnoses = values;
    for (int row = 0; row < ConfigRowCount; ++row)
        diagnoses[row] = changes.contains(row) ? givenDiagnosis(row, values, changes) : QString();
    return problemLines(diagnoses) + textsThatDoNotFit(values);
}
