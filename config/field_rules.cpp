#include "config/field_rules.h"
#include "protocol/config_fields.h"

#include <QByteArray>
#include <QHash>
#include <QRegularExpression>

namespace {

// These patterns are what the device firmware accepts and are kept exactly as
// they are, including the A-z range of the first character (which also admits
// [ \ ] ^ _ and the grave accent) and a local part of up to 63 characters.
constexpr char kHostnamePattern[] = R"re(^[a-zA-z0-9]([a-zA-Z0-9-@]){0,62}$)re";
constexpr char kSsidPattern[] = R"re(^[a-zA-z0-9]([a-zA-Z0-9-._ ]){0,30}$)re";
constexpr char kGroupPattern[] = R"re(^[a-zA-z0-9]([a-zA-Z0-9-]){0,62}$)re";
constexpr char kLocalPartPattern[] = R"re(^[a-zA-z0-9]([a-zA-Z0-9!#$%&'*+-/=?^"\{|}~]){0,62}$)re";

static_assert(sizeof kHostnamePattern - 1 == 34, "hostname pattern changed");
static_assert(sizeof kSsidPattern - 1 == 36, "SSID pattern changed");
static_assert(sizeof kGroupPattern - 1 == 33, "group pattern changed");
static_assert(sizeof kLocalPartPattern - 1 == 51, "local-part pattern changed");

const char kHostnameInvalid[] = "Hostname must be 63 characters or less, alphanumeric or hyphen.  "
                                "Cannot start with a hyphen.";
const char kSsidInvalid[] = "SSID must be 31 characters or less, alphanumeric or hyphen.  "
                            "Cannot start with a hyphen.";
const char kWifiPasswordTooLong[] = "Wifi password must be 63 characters or less.";
const char kPortNotNumber[] = "Decimal digits only";
const char kPortNotAllowed[] = "Valid values are 25, 465, 587, and 2525";
const char kEmailPasswordTooLong[] = "Email password must be 100 characters or less.";
const char kEmailTooLong[] = "Email address must be 254 characters or less.";
const char kEmailNotTwoParts[] = "Email address must consist of a local part and a servername, "
                                 "separated by an at sign (@)";
const char kLocalPartInvalid[] = "Local part invalid.  Must be 31 characters or less, alphanumeric "
                                 "or hyphen.  Cannot start with a hyphen.";
const char kServerEmpty[] = "Server name is empty";
const char kServerTooLong[] = "Server name must be 254 characters or less.";
const char kGroupInvalid[] = "Group between dots must be 1-63 alphanumeric or hyphen characters "
                             "in length.";

constexpr int kMaxWifiPassword = 63;
constexpr int kMaxEmailPassword = 100;
constexpr int kMaxAddress = 254;

bool matches(const char *pattern, const QString &text)
{
    // Compiled once per thread: a station checks a hundred thousand rows at
    // start, and compiling took most of that time.
    thread_local QHash<const char *, QRegularExpression> compiled;
    auto it = compiled.find(pattern);
    if (it == compiled.end())
        it = compiled.insert(pattern, QRegularExpression(QString::fromLatin1(pattern)));
    return it.value().match(text).hasMatch();
}

// A mandatory value that is present must match its pattern.
QString checkMandatory(const QString &value, const char *pattern, const char *invalid)
{
    if (value.isEmpty())
        return QString::fromLatin1(kMandatoryText);
    return matches(pattern, value) ? QString() : QString::fromLatin1(invalid);
}

QString tooLongIf(bool tooLong, const char *diagnosis)
{
    return tooLong ? QString::fromLatin1(diagnosis) : QString();
}

bool isAllowedSmtpPort(ushort port)
{
    return port == 25 || port == 465 || port == 587 || port == 2525;
}

} // namespace

QString checkHostname(const QString &hostname)
{
    return checkMandatory(hostname, kHostnamePattern, kHostnameInvalid);
}

QString checkSsid(const QString &ssid)
{
    return checkMandatory(ssid, kSsidPattern, kSsidInvalid);
}

QString checkWifiPassword(const QString &password)
{
    if (password.isEmpty())
        return QString::fromLatin1(kMandatoryText);
    return tooLongIf(password.length() > kMaxWifiPassword, kWifiPasswordTooLong);
}

QString checkServerName(const QString &name)
{
    if (name.length() > kMaxAddress)
        return QString::fromLatin1(kServerTooLong);
    if (name.isEmpty())
        return QString();
    // Empty parts are kept, so a leading, trailing or doubled dot fails as an
    // empty group.
    const QStringList groups = name.split(QLatin1Char('.'), Qt::KeepEmptyParts, Qt::CaseSensitive);
    for (const QString &group : groups) {
        if (!matches(kGroupPattern, group))
            return QString::fromLatin1(kGroupInvalid);
    }
    return QString();
}

QString checkSmtpPort(const QString &port, const QString &serverName)
{
    if (serverName.isEmpty())
        return QString();
    bool ok = false;
    const ushort number = port.toUShort(&ok, 10);
    if (!ok)
        return QString::fromLatin1(kPortNotNumber);
    return isAllowedSmtpPort(number) ? QString() : QString::fromLatin1(kPortNotAllowed);
}

QString checkEmailAddress(const QString &address)
{
    if (address.isEmpty())
        return QString();
    if (address.length() > kMaxAddress)
        return QString::fromLatin1(kEmailTooLong);
    const QStringList parts =
        address.split(QLatin1Char('@'), Qt::KeepEmptyParts, Qt::CaseSensitive);
    if (parts.size() != 2)
        return QString::fromLatin1(kEmailNotTwoParts);
    if (!matches(kLocalPartPattern, parts.at(0)))
        return QString::fromLatin1(kLocalPartInvalid);
    if (parts.at(1).isEmpty())
        return QString::fromLatin1(kServerEmpty);
    return checkServerName(parts.at(1));
}

QString checkEmailPassword(const QString &password)
{
    return tooLongIf(password.length() > kMaxEmailPassword, kEmailPasswordTooLong);
}

QString diagnoseRow(int row, const QStringList &values)
{
    const QString &value = values.at(row);
    switch (row) {
    case RowHostname: return checkHostname(value);
    case RowSsid: return checkSsid(value);
    case RowWifiPassword: return checkWifiPassword(value);
    case RowSmtpServerName: return checkServerName(value);
    case RowSmtpPort: return checkSmtpPort(value, values.at(RowSmtpServerName));
    case RowEmailPassword: return checkEmailPassword(value);
    case RowDescription: return QString();
    default: return checkEmailAddress(value); // the account and the addressees
    }
}

bool anyAddresseeGiven(const QStringList &values)
{
    for (int row = RowFirstAddressee; row <= RowLastAddressee; ++row) {
        if (!values.at(row).isEmpty())
            return true;
    }
    return false;
}

QString addresseeComplaintText(int row)
{
    switch (row) {
    case RowEmailAccount: return QString::fromLatin1(kEmailNotSpecifiedText);
    case RowSmtpServerName: return QString::fromLatin1(kServerNotSpecifiedText);
    default: return QString();
    }
}

QString addresseeComplaint(int row, const QStringList &values)
{
    if (values.at(row).isEmpty() && anyAddresseeGiven(values))
        return addresseeComplaintText(row);
    return QString();
}

QStringList diagnoseAll(const QStringList &values)
{
    QStringList diagnoses;
    for (int row = 0; row < ConfigRowCount; ++row) {
        const QString complaint = addresseeComplaint(row, values);
        diagnoses << (complaint.isEmpty() ? diagnoseRow(row, values) : complaint);
    }
    return diagnoses;
}

QStringList textsThatDoNotFit(const QStringList &values)
{
    QStringList lines;
    for (int row = 0; row < ConfigRowCount; ++row) {
        const ConfigField &field = kConfigFields[row];
        const int bytes = values.at(row).toUtf8().size();
        if (field.isText() && bytes > field.maxTextBytes())
            lines << QStringLiteral("%0 is too long: %1 bytes, at most %2 fit.")
                         .arg(QString::fromLatin1(field.rowName), QString::number(bytes),
                              QString::number(field.maxTextBytes()));
    }
    return lines;
}

QStringList problemLines(const QStringList &diagnoses)
{
    QStringList lines;
    for (int row = 0; row < ConfigRowCount; ++row) {
        if (!diagnoses.at(row).isEmpty())
            lines << QString::fromLatin1(kConfigFields[row].rowName) + QStringLiteral(": ") +
                         diagnoses.at(row);
    }
    return lines;
}

QStringList valueProblems(const QStringList &values)
{
    return problemLines(diagnoseAll(values)) + textsThatDoNotFit(values);
}
