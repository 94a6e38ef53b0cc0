// What only the command line does with profiles: the file named on it
// (standard input for "-"), the --set pairs, and the lines that compare two
// sets of values.
#ifndef CLI_CONFIG_FILE_H
#define CLI_CONFIG_FILE_H

#include "config/config_values.h"
#include "config/profile.h"

#include <QString>
#include <QStringList>

// Reads the profile at `path`, or standard input when it is "-". False, with
// a problem that names the file, on any of the refusals of readProfile.
bool readProfileArgument(const QString &path, ValueChanges &changes, QString &problem);

// Applies KEY=VALUE pairs after whatever is already in `changes`. False,
// with the pair and the reason, for a pair without '=' or an unknown key.
bool applySetPairs(const QStringList &pairs, ValueChanges &changes, QString &problem);

// The argument that follows each --set (or is joined to it by '='), checked
// in the bytes the program was given: by the time Qt hands over the
// arguments, bytes that are not UTF-8 have become replacement characters.
// False, with the key and the reason, for a value that is not UTF-8.
bool setValuesAreUtf8(int argc, const char *const *argv, QString &problem);

// One line for each row whose values differ, with `format`'s %1 the key,
// %2 the value in `from` and %3 the one in `to`, each shown as in JSON. A
// port is compared as the number it stands for. A password that differs is
// shown as "********" unless `showSecrets`.
QStringList differenceLines(const QStringList &from, const QStringList &to, const QString &format,
                            bool showSecrets);

#endif // CLI_CONFIG_FILE_H
