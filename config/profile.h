// Profiles: the thirteen values as a JSON object keyed by the field table's
// keys, in row order, smtp_port a number. The window and kestroctl read and
// write them through these functions, so a file one of them accepts the
// other accepts too, and a saved profile is byte for byte what kestroctl
// read prints.
#ifndef CONFIG_PROFILE_H
#define CONFIG_PROFILE_H

#include <QByteArray>
#include <QMap>
#include <QString>
#include <QStringList>

class QIODevice;

// New values by row; a row that is not named keeps the value it had.
using ValueChanges = QMap<int, QString>;

// A profile is a few hundred bytes; anything larger is some other file, and
// reading no further keeps /dev/zero from taking the memory.
inline constexpr qint64 kProfileMaxBytes = 64 * 1024;

// The row whose file key is `key`, or -1.
int rowOfKey(const QString &key);
// The file key of `row`.
QString keyOfRow(int row);
// Why `key` is refused, with the keys that are known.
QString unknownKeyReason(const QString &key);

// Reads a profile from `device`, already open, to its end. False, with a
// reason that names the key but not the file, if it is larger than
// kProfileMaxBytes, is not one JSON object, gives a key twice or an unknown
// key, holds text that is not valid Unicode, or gives a value of the wrong
// type.
bool readProfile(QIODevice &device, ValueChanges &changes, QString &reason);
// The same for the file at `path`; a file that cannot be opened is refused
// too.
bool readProfileFile(const QString &path, ValueChanges &changes, QString &reason);

// The values as a JSON object in row order, as kestroctl read prints them;
// the two passwords left out on request.
QByteArray valuesJson(const QStringList &values, bool omitSecrets);

// Decodes UTF-8 into `text`; false for any invalid or cut-off sequence
// (overlong forms and encoded surrogates count as invalid), where a lenient
// decoder would put replacement characters.
bool decodeUtf8(const QByteArray &bytes, QString &text);

// Whether `row` holds a password.
bool isSecretRow(int row);
// A text as a JSON string literal, quotes and escapes included.
QString jsonString(const QString &text);

// A value as the JSON text shows it: the port as a number when it is one,
// every other value as a string literal.
QString shownValue(int row, const QString &value);

#endif // CONFIG_PROFILE_H
