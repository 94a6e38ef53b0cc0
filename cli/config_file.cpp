#include "cli/config_file.h"
#include "protocol/config_fields.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>

#include <cmath>

namespace {

QString keyOf(int row)
{
    return QString::fromLatin1(kConfigFields[row].key);
}

bool isSecret(int row)
{
    return row == RowWifiPassword || row == RowEmailPassword;
}

QString knownKeys()
{
    QStringList keys;
    for (int row = 0; row < ConfigRowCount; ++row)
        keys << keyOf(row);
    return keys.join(QStringLiteral(", "));
}

QString unknownKey(const QString &key)
{
    return QStringLiteral("unknown key \"%1\" (the keys are %2)").arg(key, knownKeys());
}

// The port as the record would hold it, when the text is a port number.
QString canonical(int row, const QString &value)
{
    bool ok = false;
    const ushort port = value.toUShort(&ok, 10);
    return row == RowSmtpPort && ok ? QString::number(port) : value;
}

// A value as JSON shows it: the port as a number when it is one.
QString shown(int row, const QString &value)
{
    bool ok = false;
    const ushort port = value.toUShort(&ok, 10);
    if (row == RowSmtpPort && ok && QString::number(port) == value)
        return value;
    return jsonString(value);
}

QString typeName(QJsonValue::Type type)
{
    switch (type) {
    case QJsonValue::Null: return QStringLiteral("null");
    case QJsonValue::Bool: return QStringLiteral("a boolean");
    case QJsonValue::Double: return QStringLiteral("a number");
    case QJsonValue::String: return QStringLiteral("a string");
    case QJsonValue::Array: return QStringLiteral("an array");
    case QJsonValue::Object: return QStringLiteral("an object");
    default: return QStringLiteral("undefined");
    }
}

// A JSON number as the port's text; the rules judge whether it is a port.
QString numberText(double number)
{
    if (std::floor(number) == number && std::fabs(number) < 1e15)
        return QString::number(qint64(number));
    return QString::number(number, 'g', 17);
}

bool takeValue(const QString &path, const QString &key, const QJsonValue &value,
               ValueChanges &changes, QString &problem)
{
    const int row = rowOfKey(key);
    if (row < 0) {
        problem = QStringLiteral("%1: %2").arg(path, unknownKey(key));
        return false;
    }
    const QJsonValue::Type wanted = row == RowSmtpPort ? QJsonValue::Double : QJsonValue::String;
    if (value.type() != wanted) {
        problem = QStringLiteral("%1: key \"%2\" must be %3, not %4")
                      .arg(path, key, typeName(wanted), typeName(value.type()));
        return false;
    }
    const QString text = row == RowSmtpPort ? numberText(value.toDouble()) : value.toString();
    // The record ends each text at its first NUL, so such a text would not
    // arrive as given.
    if (text.contains(QChar(0))) {
        problem = QStringLiteral("%1: key \"%2\" must not contain a NUL character").arg(path, key);
        return false;
    }
    changes[row] = text;
    return true;
}

bool parseJsonObject(const QString &path, QJsonObject &object, QString &problem)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        problem = QStringLiteral("%1: cannot read: %2").arg(path, file.errorString());
        return false;
    }
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(file.readAll(), &error);
    if (error.error != QJsonParseError::NoError) {
        problem = QStringLiteral("%1: not valid JSON: %2 at byte %3")
                      .arg(path, error.errorString())
                      .arg(error.offset);
        return false;
    }
    if (!document.isObject()) {
        problem = QStringLiteral("%1: must hold one JSON object of keys and values").arg(path);
        return false;
    }
    object = document.object();
    return true;
}

} // namespace

QString jsonString(const QString &text)
{
    const QByteArray array = QJsonDocument(QJsonArray{text}).toJson(QJsonDocument::Compact);
    return QString::fromUtf8(array.mid(1, array.size() - 2));
}

int rowOfKey(const QString &key)
{
    for (int row = 0; row < ConfigRowCount; ++row) {
        if (key == keyOf(row))
            return row;
    }
    return -1;
}

bool readProfile(const QString &path, ValueChanges &changes, QString &problem)
{
    QJsonObject object;
    if (!parseJsonObject(path, object, problem))
        return false;
    for (auto it = object.constBegin(); it != object.constEnd(); ++it) {
        if (!takeValue(path, it.key(), it.value(), changes, problem))
            return false;
    }
    return true;
}

bool applySetPairs(const QStringList &pairs, ValueChanges &changes, QString &problem)
{
    for (const QString &pair : pairs) {
        const int equals = pair.indexOf(QLatin1Char('='));
        if (equals < 0) {
            problem = QStringLiteral("--set %1: expected KEY=VALUE").arg(pair);
            return false;
        }
        const QString key = pair.left(equals);
        const int row = rowOfKey(key);
        if (row < 0) {
            problem = QStringLiteral("--set %1: %2").arg(pair, unknownKey(key));
            return false;
        }
        changes[row] = pair.mid(equals + 1);
    }
    return true;
}

QStringList withChanges(QStringList values, const ValueChanges &changes)
{
    for (auto it = changes.constBegin(); it != changes.constEnd(); ++it)
        values[it.key()] = it.value();
    return values;
}

QByteArray valuesJson(const QStringList &values, bool omitSecrets)
{
    QStringList members;
    for (int row = 0; row < ConfigRowCount; ++row) {
        if (!(omitSecrets && isSecret(row)))
            members << QStringLiteral("  ") + jsonString(keyOf(row)) + QStringLiteral(": ") +
                           shown(row, values.at(row));
    }
    return (QStringLiteral("{\n") + members.join(QStringLiteral(",\n")) + QStringLiteral("\n}\n"))
        .toUtf8();
}

QStringList differenceLines(const QStringList &from, const QStringList &to, const QString &format,
                            bool showSecrets)
{
    const QString hidden = jsonString(QStringLiteral("********"));
    QStringList lines;
    for (int row = 0; row < ConfigRowCount; ++row) {
        const QString before = canonical(row, from.at(row));
        const QString after = canonical(row, to.at(row));
        const bool hide = isSecret(row) && !showSecrets;
        if (before != after)
            lines << format.arg(keyOf(row), hide ? hidden : shown(row, before),
                                hide ? hidden : shown(row, after));
    }
    return lines;
}
