// Configuration files and --set pairs: the thirteen values as a JSON object
// keyed by the field table's keys, in row order, smtp_port a number.
#ifndef CLI_CONFIG_FILE_H
#define CLI_CONFIG_FILE_H

#include <QByteArray>
#include <QMap>
#include <QString>
#include <QStringList>

// New values by row; a row that is not named keeps the device's value.
using ValueChanges = QMap<int, QString>;

// The row whose file key is `key`, or -1.
int rowOfKey(const QString &key);

// Reads a profile, which may name any of the keys. False, with a reason that
// names the file and the key, if the file cannot be read, is not a JSON
// object, names an unknown key or gives a value of the wrong type.
bool readProfile(const QString &path, ValueChanges &changes, QString &problem);

// Applies KEY=VALUE pairs after whatever is already in `changes`. False,
// with the pair and the reason, for a pair without '=' or an unknown key.
bool applySetPairs(const QStringList &pairs, ValueChanges &changes, QString &problem);

// The thirteen values with the changes made.
QStringList withChanges(QStringList values, const ValueChanges &changes);

// The values as a JSON object in row order; the two passwords left out on
// request.
QByteArray valuesJson(const QStringList &values, bool omitSecrets);

// One line for each row whose values differ, with `format`'s %1 the key,
// %2 the value in `from` and %3 the one in `to`, each shown as in JSON. A
// port is compared as the number it stands for. A password that differs is
// shown as "********" unless `showSecrets`.
QStringList differenceLines(const QStringList &from, const QStringList &to, const QString &format,
                            bool showSecrets);

// A text as a JSON string literal, quotes and escapes included.
QString jsonString(const QString &text);

#endif // CLI_CONFIG_FILE_H
