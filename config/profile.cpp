#include "config/profile.h"
#include "base/bounded_read.h"
#include "config/config_values.h"
#include "protocol/config_fields.h"

#include <QFile>
#include <QHash>
#include <QTextCodec>

#include <nlohmann/json.hpp>

#include <set>
#include <string>

namespace {

// Keeps the keys in the order in which the file gives them, so that the
// first fault in the file is the one reported.
using Json = nlohmann::ordered_json;

QString knownKeys()
{
    QStringList keys;
    for (int row = 0; row < ConfigRowCount; ++row)
        keys << keyOfRow(row);
    return keys.join(QStringLiteral(", "));
}

bool readBounded(QIODevice &device, QByteArray &bytes, QString &reason)
{
    if (!readUpTo(device, kProfileMaxBytes, bytes)) {
        reason = QStringLiteral("cannot read: %1").arg(device.errorString());
        return false;
    }
    if (bytes.size() > kProfileMaxBytes) {
        reason = QStringLiteral("larger than %1 KiB, not a profile").arg(kProfileMaxBytes / 1024);
        return false;
    }
    return true;
}

// Watches the parser's keys at the top level: the first key given twice,
// and the key whose value is being read, so that a fault inside that value
// can name it.
struct KeyWatch {
    std::set<std::string> seen;
    std::string twice;
    std::string reading;

    bool see(int depth, Json::parse_event_t event, const Json &parsed)
    {
        if (depth != 1)
            return true;
        if (event == Json::parse_event_t::key) {
            reading = parsed.get<std::string>();
            if (!seen.insert(reading).second && twice.empty())
                twice = reading;
        } else if (event != Json::parse_event_t::object_start &&
                   event != Json::parse_event_t::array_start) {
            reading.clear();
        }
        return true;
    }
};

QString fromStd(const std::string &text)
{
    return QString::fromUtf8(text.data(), int(text.size()));
}

// The one way JSON is written: UTF-8 as it is, a text that is not valid
// UTF-8 with replacement characters.
std::string dumped(const Json &json, int indent = -1)
{
    return json.dump(indent, ' ', false, Json::error_handler_t::replace);
}

// A value as files show it: the port as a number when it is one, every
// other value as a string.
Json shownJson(int row, const QString &value)
{
    ushort port = 0;
    if (row == RowSmtpPort && smtpPortNumber(value, port) && QString::number(port) == value)
        return Json(port);
    return Json(value.toStdString());
}

// A fault under a top-level key names the key.
QString underKey(const std::string &key, const QString &fault)
{
    return key.empty() ? fault : QStringLiteral("%1: %2").arg(fromStd(key), fault);
}

// The library's words, less its "[json.exception.KIND.N] " preamble.
std::string libraryWords(const nlohmann::json::exception &error)
{
    const std::string what = error.what();
    const std::size_t end = what.find("] ");
    return end == std::string::npos ? what : what.substr(end + 2);
}

// Where the parser stopped, as an editor counts: the line, and the character
// in it, both from 1. `byte` counts the bytes read, the last of them the one
// that did not fit.
QString placeIn(const QByteArray &bytes, std::size_t byte)
{
    const int end = int(qMin<std::size_t>(byte, std::size_t(bytes.size())));
    int line = 1;
    int column = 0;
    for (int i = 0; i < end; ++i) {
        if (bytes.at(i) == '\n') {
            ++line;
            column = 0;
        } else if ((uchar(bytes.at(i)) & 0xc0) != 0x80) { // not inside a UTF-8 sequence
            ++column;
        }
    }
    return QStringLiteral("line %1, column %2").arg(line).arg(qMax(column, 1));
}

// Text that is not Unicode names its key; any other fault says where it is,
// not how the parser came upon it.
QString parseErrorReason(const Json::parse_error &error, const std::string &reading,
                         const QByteArray &bytes)
{
    const std::string what = error.what();
    const bool badText = what.find("ill-formed UTF-8") != std::string::npos ||
                         what.find("surrogate U+") != std::string::npos;
    if (badText)
        return reading.empty() ? QStringLiteral("a key is not valid Unicode text")
                               : underKey(reading, QStringLiteral("not valid Unicode text"));
    return QStringLiteral("not valid JSON at %1").arg(placeIn(bytes, error.byte));
}

bool parseObject(const QByteArray &bytes, Json &object, QString &reason)
{
    KeyWatch watch;
    const Json::parser_callback_t callback = [&watch](int depth, Json::parse_event_t event,
                                                      Json &parsed) {
        return watch.see(depth, event, parsed);
    };
    try {
        object = Json::parse(bytes.cbegin(), bytes.cend(), callback);
    } catch (const Json::parse_error &error) {
        reason = parseErrorReason(error, watch.reading, bytes);
        return false;
    } catch (const Json::out_of_range &) {
        // What the parser throws for a number beyond a double's range.
        reason = underKey(watch.reading, QStringLiteral("number out of range"));
        return false;
    }
    if (!object.is_object()) {
        reason = QStringLiteral("must hold one JSON object of keys and values");
        return false;
    }
    // Only one of the two values would take effect, and which is the file's
    // intent cannot be known.
    if (!watch.twice.empty()) {
        reason = QStringLiteral("key \"%1\" is given twice").arg(fromStd(watch.twice));
        return false;
    }
    return true;
}

QString typeName(const Json &value)
{
    switch (value.type()) {
    case Json::value_t::null: return QStringLiteral("null");
    case Json::value_t::boolean: return QStringLiteral("a boolean");
    case Json::value_t::string: return QStringLiteral("a string");
    case Json::value_t::array: return QStringLiteral("an array");
    case Json::value_t::object: return QStringLiteral("an object");
    default: return value.is_number() ? QStringLiteral("a number") : QStringLiteral("undefined");
    }
}

// A whole JSON number as the port's text; the rules judge whether it is a port.
QString numberText(const Json &value)
{
    if (value.is_number_unsigned())
        return QString::number(value.get<quint64>());
    return QString::number(value.get<qint64>());
}

bool acceptMember(const QString &key, const Json &value, ValueChanges &changes, QString &reason)
{
    const int row = rowOfKey(key);
    if (row < 0) {
        reason = unknownKeyReason(key);
        return false;
    }
    const bool wantsNumber = row == RowSmtpPort;
    if (wantsNumber ? !value.is_number() : !value.is_string()) {
        reason =
            QStringLiteral("key \"%1\" must be %2, not %3")
                .arg(key, wantsNumber ? QStringLiteral("a number") : QStringLiteral("a string"),
                     typeName(value));
        return false;
    }
    // 587.0 would be taken for 587 by one reader and refused by another.
    if (wantsNumber && value.is_number_float()) {
        reason = QStringLiteral("key \"%1\" must be a whole number, written without a fraction or "
                                "an exponent")
                     .arg(key);
        return false;
    }
    const QString text = wantsNumber ? numberText(value) : fromStd(value.get<std::string>());
    // The record ends each text at its first NUL, so such a text would not
    // arrive as given.
    if (text.contains(QChar(0))) {
        reason = QStringLiteral("key \"%1\" must not contain a NUL character").arg(key);
        return false;
    }
    changes[row] = text;
    return true;
}

} // namespace

// Looked up by hash: an import asks for every value of 100,000 rows.
int rowOfKey(const QString &key)
{
    static const QHash<QString, int> rows = [] {
        QHash<QString, int> all;
        for (int row = 0; row < ConfigRowCount; ++row)
            all.insert(keyOfRow(row), row);
        return all;
    }();
    return rows.value(key, -1);
}

bool decodeUtf8(const QByteArray &bytes, QString &text)
{
    QTextCodec::ConverterState state(QTextCodec::IgnoreHeader);
    text = QTextCodec::codecForMib(106)->toUnicode(bytes.constData(), bytes.size(), &state);
    return state.invalidChars == 0 && state.remainingChars == 0;
}

bool isSecretRow(int row)
{
    return row == RowWifiPassword || row == RowEmailPassword;
}

QString jsonString(const QString &text)
{
    return fromStd(dumped(Json(text.toStdString())));
}

QString keyOfRow(int row)
{
    return QString::fromLatin1(kConfigFields[row].key);
}

QString unknownKeyReason(const QString &key)
{
    return QStringLiteral("unknown key \"%1\" (the keys are %2)").arg(key, knownKeys());
}

bool readProfile(QIODevice &device, ValueChanges &changes, QString &reason)
{
    QByteArray bytes;
    Json object;
    ValueChanges given;
    // The library reports its faults by throwing; none of them may end the
    // program, so every kind stops here as a refusal of the file.
    try {
        if (!readBounded(device, bytes, reason) || !parseObject(bytes, object, reason))
            return false;
        for (const auto &member : object.items()) {
            if (!acceptMember(fromStd(member.key()), member.value(), given, reason))
                return false;
        }
    } catch (const nlohmann::json::exception &error) {
        reason = QStringLiteral("not a profile: %1").arg(fromStd(libraryWords(error)));
        return false;
    }
    // Nothing is changed unless the whole file is sound.
    for (auto it = given.constBegin(); it != given.constEnd(); ++it)
        changes[it.key()] = it.value();
    return true;
}

bool readProfileFile(const QString &path, ValueChanges &changes, QString &reason)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        reason = QStringLiteral("cannot read: %1").arg(file.errorString());
        return false;
    }
    return readProfile(file, changes, reason);
}

QString shownValue(int row, const QString &value)
{
    return fromStd(dumped(shownJson(row, value)));
}

QByteArray valuesJson(const QStringList &values, bool omitSecrets)
{
    Json object = Json::object();
    for (int row = 0; row < ConfigRowCount; ++row) {
        if (!(omitSecrets && isSecretRow(row)))
            object[kConfigFields[row].key] = shownJson(row, values.at(row));
    }
    return QByteArray::fromStdString(dumped(object, 2) + '\n');
}
