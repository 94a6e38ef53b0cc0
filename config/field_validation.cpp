// Validation of the configuration table: each edited value gets a diagnosis
// in its Info cell, and Update is enabled only while no Info cell holds one.
#include "app/mainwindow.h"
#include "ui_mainwindow.h"

#include <QRegularExpression>
#include <QTableWidgetItem>

namespace {

// Fixed row indexes of the configuration table.
enum ConfigRow {
    RowHostname = 0,
    RowDescription = 1,
    RowSsid = 2,
    RowWifiPassword = 3,
    RowSmtpServerName = 4,
    RowSmtpPort = 5,
    RowEmailAccount = 6,
    RowEmailPassword = 7,
    RowFirstAddressee = 8,
    RowLastAddressee = 12
};

constexpr int ValueColumn = 0;
constexpr int InfoColumn = 1;

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

const char kMandatory[] = "Mandatory field.  Please provide a value.";
const char kHostnameInvalid[] = "Hostname must be 63 characters or less, alphanumeric or hyphen.  "
                                "Cannot start with a hyphen.";
const char kSsidInvalid[] = "SSID must be 31 characters or less, alphanumeric or hyphen.  "
                            "Cannot start with a hyphen.";
const char kWifiPasswordTooLong[] = "Wifi password must be 63 characters or less.";
const char kPortNotNumber[] = "Decimal digits only";
const char kPortNotAllowed[] = "Valid values are 25, 465, 587, and 2525";
const char kEmailPasswordTooLong[] = "Email password must be 100 characters or less.";
const char kEmailNotSpecified[] = "Email address not specified.";
const char kServerNotSpecified[] = "SMTP Server Name not specified.";
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
    const QRegularExpression expression(QString::fromLatin1(pattern));
    return expression.match(text).hasMatch();
}

bool isAllowedSmtpPort(ushort port)
{
    return port == 25 || port == 465 || port == 587 || port == 2525;
}

} // namespace

void MainWindow::on_tableWidget_cellChanged(int row, int col)
{
    // Info writes come back here as changes in column 1 and are ignored.
    if (col != ValueColumn)
        return;
    QTableWidget *table = ui->tableWidget;
    // While the table is being built a row's value arrives before its Info item.
    if (!table->item(row, InfoColumn))
        return;

    const auto value = [table](int r) {
        const QTableWidgetItem *item = table->item(r, ValueColumn);
        return item ? item->text() : QString();
    };
    const auto info = [table](int r) {
        const QTableWidgetItem *item = table->item(r, InfoColumn);
        return item ? item->text() : QString();
    };
    const auto setInfo = [table](int r, const QString &text) {
        if (QTableWidgetItem *item = table->item(r, InfoColumn))
            item->setText(text);
    };
    const auto disableUpdate = [this] { ui->updateButton->setEnabled(false); };

    switch (row) {
    case RowHostname: {
        const QString hostname = value(RowHostname);
        if (hostname.isEmpty()) {
            setInfo(RowHostname, QLatin1String(kMandatory));
            disableUpdate();
            return;
        }
        setInfo(RowHostname, matches(kHostnamePattern, hostname)
                                 ? QString()
                                 : QString::fromLatin1(kHostnameInvalid));
        break;
    }
    case RowDescription: break;
    case RowSsid: {
        const QString ssid = value(RowSsid);
        if (ssid.isEmpty()) {
            setInfo(RowSsid, QLatin1String(kMandatory));
            disableUpdate();
            return;
        }
        setInfo(RowSsid,
                matches(kSsidPattern, ssid) ? QString() : QString::fromLatin1(kSsidInvalid));
        break;
    }
    case RowWifiPassword: {
        const QString password = value(RowWifiPassword);
        if (password.isEmpty()) {
            setInfo(RowWifiPassword, QLatin1String(kMandatory));
            disableUpdate();
            return;
        }
        setInfo(RowWifiPassword, password.length() > kMaxWifiPassword
                                     ? QString::fromLatin1(kWifiPasswordTooLong)
                                     : QString());
        break;
    }
    case RowSmtpServerName:
        setInfo(RowSmtpServerName, checkServerName(value(RowSmtpServerName)));
        // The port is only checked while a server is named, so its verdict
        // depends on this row too.
        on_tableWidget_cellChanged(RowSmtpPort, ValueColumn);
        break;
    case RowSmtpPort: {
        if (value(RowSmtpServerName).isEmpty()) {
            // Without a server the port is not checked; an earlier verdict must
            // not linger and keep Update disabled.
            setInfo(RowSmtpPort, QString());
            break;
        }
        bool ok = false;
        const ushort port = value(RowSmtpPort).toUShort(&ok, 10);
        if (!ok) {
            setInfo(RowSmtpPort, QLatin1String(kPortNotNumber));
            disableUpdate();
            return;
        }
        if (!isAllowedSmtpPort(port)) {
            setInfo(RowSmtpPort, QLatin1String(kPortNotAllowed));
            disableUpdate();
            return;
        }
        setInfo(RowSmtpPort, QString());
        break;
    }
    case RowEmailAccount:
    case RowFirstAddressee:
    case RowFirstAddressee + 1:
    case RowFirstAddressee + 2:
    case RowFirstAddressee + 3:
    case RowLastAddressee: setInfo(row, checkEmailAddress(value(row))); break;
    case RowEmailPassword:
        setInfo(RowEmailPassword, value(RowEmailPassword).length() > kMaxEmailPassword
                                      ? QString::fromLatin1(kEmailPasswordTooLong)
                                      : QString());
        break;
    default: break;
    }

    // Sending mail to addressees needs an account and a server.
    bool anyAddressee = false;
    for (int r = RowFirstAddressee; r <= RowLastAddressee && !anyAddressee; ++r)
        anyAddressee = !value(r).isEmpty();
    if (anyAddressee) {
        if (value(RowEmailAccount).isEmpty())
            setInfo(RowEmailAccount, QLatin1String(kEmailNotSpecified));
        if (value(RowSmtpServerName).isEmpty())
            setInfo(RowSmtpServerName, QLatin1String(kServerNotSpecified));
    } else {
        // With no addressee left these two complaints no longer apply; the rows
        // get their own verdict back.
        if (info(RowEmailAccount) == QLatin1String(kEmailNotSpecified))
            setInfo(RowEmailAccount, checkEmailAddress(value(RowEmailAccount)));
        if (info(RowSmtpServerName) == QLatin1String(kServerNotSpecified))
            setInfo(RowSmtpServerName, checkServerName(value(RowSmtpServerName)));
    }

    // Update needs every row acceptable and a selected port, which an enabled
    // Ping button stands for.
    for (int r = 0; r < table->rowCount(); ++r) {
        if (!info(r).isEmpty()) {
            disableUpdate();
            return;
        }
    }
    if (ui->pingButton->isEnabled())
        ui->updateButton->setEnabled(true);
}

QString MainWindow::checkEmailAddress(QString address)
{
    // Whether an address is required at all is the addressee rule's matter.
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

QString MainWindow::checkServerName(QString name)
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
