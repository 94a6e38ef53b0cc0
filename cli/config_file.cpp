#include "cli/config_file.h"
#include "protocol/config_fields.h"

#include <QByteArray>
#include <QFile>

#include <cstdio>
#include <cstring>

namespace {

// The port as the record would hold it, when the text is a port number.
QString canonical(int row, const QString &value)
{
    ushort port = 0;
    return row == RowSmtpPort && smtpPortNumber(value, port) ? QString::number(port) : value;
}

// Checks one --set argument, KEY=VALUE.
bool setPairIsUtf8(const QByteArray &pair, QString &problem)
{
    QString text;
    if (decodeUtf8(pair, text))
        return true;
    const int equals = pair.indexOf('=');
    problem = QStringLiteral("--set %1: not valid UTF-8 text")
                  .arg(QString::fromUtf8(equals < 0 ? pair : pair.left(equals)));
    return false;
}

bool readStandardInput(ValueChanges &changes, QString &reason)
{
    QFile input;
    if (!input.open(stdin, QIODevice::ReadOnly)) {
        reason = QStringLiteral("cannot read: %1").arg(input.errorString());
        return false;
    }
    return readProfile(input, changes, reason);
}

} // namespace

bool readProfileArgument(const QString &path, ValueChanges &changes, QString &problem)
{
    const bool fromInput = path == QLatin1String("-");
    QString reason;
    if (fromInput ? readStandardInput(changes, reason) : readProfileFile(path, changes, reason))
        return true;
    problem =
        QStringLiteral("%1: %2").arg(fromInput ? QStringLiteral("standard input") : path, reason);
    return false;
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
            problem = QStringLiteral("--set %1: %2").arg(pair, unknownKeyReason(key));
            return false;
        }
        changes[row] = pair.mid(equals + 1);
    }
    return true;
}

bool setValuesAreUtf8(int argc, const char *const *argv, QString &problem)
{
    for (int i = 1; i < argc; ++i) {
        const char *argument = argv[i];
        // After "--" every argument is a file name, not an option.
        if (std::strcmp(argument, "--") == 0)
            return true;
        if (std::strcmp(argument, "--set") == 0 && i + 1 < argc) {
            if (!setPairIsUtf8(QByteArray(argv[++i]), problem))
                return false;
        } else if (std::strncmp(argument, "--set=", 6) == 0) {
            if (!setPairIsUtf8(QByteArray(argument + 6), problem))
                return false;
        }
    }
    return true;
}

QStringList differenceLines(const QStringList &from, const QStringList &to, const QString &format,
                            bool showSecrets)
{
    const QString hidden = jsonString(QStringLiteral("********"));
    QStringList lines;
    for (int row = 0; row < ConfigRowCount; ++row) {
        const QString before = canonical(row, from.at(row));
        const QString after = canonical(row, to.at(row));
        const bool hide = isSecretRow(row) && !showSecrets;
        if (before != after)
            lines << format.arg(keyOfRow(row), hide ? hidden : shownValue(row, before),
                                hide ? hidden : shownValue(row, after));
    }
    return lines;
}
