// Field validation: the diagnosis each value gets, the rule that ties the
// addressees to the account and the server, and the Update button that
// follows the Info column once a port has been selected.
#include "config/config_cell_delegate.h"
#include "config/field_rules.h"
#include "tests/support/main_window_probe.h"
#include "tests/support/wait_until.h"
#include "tests/support/window_on_pty.h"

#include <QAction>
#include <QLineEdit>
#include <QMap>
#include <QStyle>
#include <QTableWidget>
#include <QToolTip>
#include <QVector>
#include <QtTest>

namespace {

enum Row {
    Hostname = 0,
    Description = 1,
    Ssid = 2,
    WifiPassword = 3,
    ServerName = 4,
    Port = 5,
    Account = 6,
    EmailPassword = 7,
    Addressee1 = 8,
    Addressee2 = 9,
    Addressee3 = 10,
    Addressee4 = 11,
    Addressee5 = 12
};

const QString kAccepted; // no diagnosis
const QString kMandatory = "Mandatory field.  Please provide a value.";
const QString kHostnameInvalid = "Hostname must be 63 characters or less, alphanumeric or hyphen.  "
                                 "Cannot start with a hyphen.";
const QString kSsidInvalid = "SSID must be 31 characters or less, alphanumeric or hyphen.  "
                             "Cannot start with a hyphen.";
const QString kWifiTooLong = "Wifi password must be 63 characters or less.";
const QString kDigitsOnly = "Decimal digits only";
const QString kPortValues = "Valid values are 25, 465, 587, and 2525";
const QString kEmailPasswordTooLong = "Email password must be 100 characters or less.";
const QString kNoAccount = "Email address not specified.";
const QString kNoServer = "SMTP Server Name not specified.";
const QString kAddressTooLong = "Email address must be 254 characters or less.";
const QString kNotTwoParts = "Email address must consist of a local part and a servername, "
                             "separated by an at sign (@)";
const QString kLocalPart = "Local part invalid.  Must be 31 characters or less, alphanumeric or "
                           "hyphen.  Cannot start with a hyphen.";
const QString kServerEmpty = "Server name is empty";
const QString kServerTooLong = "Server name must be 254 characters or less.";
const QString kGroup = "Group between dots must be 1-63 alphanumeric or hyphen characters in "
                       "length.";

QString repeated(const QString &unit, int times)
{
    return unit.repeated(times);
}

// A window whose table is edited the way the user edits it: every setText on a
// Value item reaches the validation slot through the table's signal.
class Fixture
{
public:
    Fixture() : ui(Probe::ui(window)), table(ui.tableWidget) {}

    void set(int row, const QString &text) { table->item(row, 0)->setText(text); }
    QString info(int row) const { return table->item(row, 1)->text(); }
    bool updateEnabled() const { return ui.updateButton->isEnabled(); }

    // What the port selection does once it has opened a port.
    void selectPort()
    {
        ui.pingButton->setEnabled(true);
        for (int row = 0; row < table->rowCount(); ++row)
            Probe::cellChanged(window, row, 0);
    }

    // Every Info cell holds what `expected` says, or nothing.
    QString infoMismatch(const QMap<int, QString> &expected) const
    {
        for (int row = 0; row < table->rowCount(); ++row) {
            if (info(row) != expected.value(row))
                return QStringLiteral("row %1: '%2', expected '%3'")
                    .arg(row)
                    .arg(info(row), expected.value(row));
        }
        return QString();
    }

    MainWindow window;
    WindowWidgets ui;
    QTableWidget *table;
};

struct Step {
    int row;
    QString text;
    QMap<int, QString> diagnoses; // rows not listed must have an empty Info cell
};

using Steps = QVector<Step>;

} // namespace

Q_DECLARE_METATYPE(Steps)

class FieldValidationTest : public QObject
{
    Q_OBJECT

private slots:
    void singleValue_data();
    void singleValue();
    void sequence_data();
    void sequence();
    void portSelectionOnEmptyTable();
    void noUpdateWithoutPort();
    void infoWritesValidateNothing();
    void constructionDiagnosesNothing();
    void typingShowsDiagnosis_data();
    void typingShowsDiagnosis();
    void serverNameLengthComesFirst();
    void cellsShow_data();
    void cellsShow();
    void keyboardShowsDiagnosis_data();
    void keyboardShowsDiagnosis();
};

// One value changed in an otherwise acceptable configuration: the row's
// diagnosis, no diagnosis elsewhere, and Update enabled only without one.
void FieldValidationTest::singleValue_data()
{
    QTest::addColumn<int>("row");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("diagnosis");

    const QString a63 = repeated("a", 63);
    const QString a64 = repeated("a", 64);

    QTest::newRow("hostname empty") << int(Hostname) << "" << kMandatory;
    QTest::newRow("hostname one space") << int(Hostname) << " " << kHostnameInvalid;
    QTest::newRow("hostname 63") << int(Hostname) << a63 << kAccepted;
    QTest::newRow("hostname 64") << int(Hostname) << a64 << kHostnameInvalid;
    QTest::newRow("hostname at sign inside") << int(Hostname) << "dev@site" << kAccepted;
    QTest::newRow("hostname leading hyphen") << int(Hostname) << "-dev" << kHostnameInvalid;
    QTest::newRow("hostname leading underscore") << int(Hostname) << "_dev" << kAccepted;
    QTest::newRow("hostname leading bracket") << int(Hostname) << "]dev" << kAccepted;
    QTest::newRow("hostname underscore inside") << int(Hostname) << "dev_1" << kHostnameInvalid;
    QTest::newRow("hostname dot") << int(Hostname) << "dev.local" << kHostnameInvalid;
    QTest::newRow("hostname non-ASCII") << int(Hostname) << "d\u00e9v" << kHostnameInvalid;

    QTest::newRow("description long") << int(Description) << repeated("x", 400) << kAccepted;

    QTest::newRow("ssid empty") << int(Ssid) << "" << kMandatory;
    QTest::newRow("ssid 31") << int(Ssid) << repeated("s", 31) << kAccepted;
    QTest::newRow("ssid 32") << int(Ssid) << repeated("s", 32) << kSsidInvalid;
    QTest::newRow("ssid spaces, dots, underscores") << int(Ssid) << "My net_2.4-G" << kAccepted;
    QTest::newRow("ssid leading hyphen") << int(Ssid) << "-net" << kSsidInvalid;
    QTest::newRow("ssid leading space") << int(Ssid) << " net" << kSsidInvalid;
    QTest::newRow("ssid exclamation") << int(Ssid) << "net!" << kSsidInvalid;

    QTest::newRow("wifi password empty") << int(WifiPassword) << "" << kMandatory;
    QTest::newRow("wifi password one space") << int(WifiPassword) << " " << kAccepted;
    QTest::newRow("wifi password 63") << int(WifiPassword) << repeated("p", 63) << kAccepted;
    QTest::newRow("wifi password 64") << int(WifiPassword) << repeated("p", 64) << kWifiTooLong;

    QTest::newRow("server single group") << int(ServerName) << "localhost" << kAccepted;
    QTest::newRow("server empty") << int(ServerName) << "" << kAccepted;
    QTest::newRow("server doubled dot") << int(ServerName) << "mail..example.com" << kGroup;
    QTest::newRow("server leading dot") << int(ServerName) << ".example.com" << kGroup;
    QTest::newRow("server trailing dot") << int(ServerName) << "example.com." << kGroup;
    QTest::newRow("server group 63") << int(ServerName) << "mail." + a63 << kAccepted;
    QTest::newRow("server group 64") << int(ServerName) << "mail." + a64 << kGroup;
    QTest::newRow("server group leading hyphen") << int(ServerName) << "-mail.com" << kGroup;
    QTest::newRow("server group underscore") << int(ServerName) << "mail_1.com" << kGroup;
    // 63 + 1 + 63 + 1 + 63 + 1 + 62 = 254
    const QString server254 = QStringList({a63, a63, a63, repeated("a", 62)}).join('.');
    QTest::newRow("server 254") << int(ServerName) << server254 << kAccepted;
    QTest::newRow("server 255") << int(ServerName) << server254 + "a" << kServerTooLong;

    QTest::newRow("port 25") << int(Port) << "25" << kAccepted;
    QTest::newRow("port 465") << int(Port) << "465" << kAccepted;
    QTest::newRow("port 2525") << int(Port) << "2525" << kAccepted;
    QTest::newRow("port 0025 is numeric 25") << int(Port) << "0025" << kAccepted;
    QTest::newRow("port empty") << int(Port) << "" << kDigitsOnly;
    QTest::newRow("port with letters") << int(Port) << "58x" << kDigitsOnly;
    QTest::newRow("port above 65535") << int(Port) << "65536" << kDigitsOnly;
    QTest::newRow("port negative") << int(Port) << "-25" << kDigitsOnly;
    QTest::newRow("port 26") << int(Port) << "26" << kPortValues;
    QTest::newRow("port 0") << int(Port) << "0" << kPortValues;

    QTest::newRow("account empty without addressee") << int(Account) << "" << kAccepted;
    QTest::newRow("account without at sign") << int(Account) << "tech" << kNotTwoParts;
    QTest::newRow("account with two at signs") << int(Account) << "a@b@example.com" << kNotTwoParts;
    QTest::newRow("account nothing before at") << int(Account) << "@example.com" << kLocalPart;
    QTest::newRow("account nothing after at") << int(Account) << "tech@" << kServerEmpty;
    QTest::newRow("account server doubled dot") << int(Account) << "tech@a..com" << kGroup;
    QTest::newRow("account server leading dot") << int(Account) << "tech@.com" << kGroup;
    QTest::newRow("account server trailing dot") << int(Account) << "tech@example." << kGroup;
    QTest::newRow("account server single group") << int(Account) << "tech@localhost" << kAccepted;
    QTest::newRow("account server group 64") << int(Account) << "tech@" + a64 << kGroup;
    QTest::newRow("account local part 40")
        << int(Account) << repeated("l", 40) + "@x.com" << kAccepted;
    QTest::newRow("account local part 63") << int(Account) << a63 + "@x.com" << kAccepted;
    QTest::newRow("account local part 64") << int(Account) << a64 + "@x.com" << kLocalPart;
    QTest::newRow("account local leading hyphen") << int(Account) << "-tech@x.com" << kLocalPart;
    QTest::newRow("account local leading underscore") << int(Account) << "_tech@x.com" << kAccepted;
    QTest::newRow("account local backslash") << int(Account) << "te\\ch@x.com" << kLocalPart;
    QTest::newRow("account local space") << int(Account) << "te ch@x.com" << kLocalPart;
    QTest::newRow("account local specials")
        << int(Account) << "o'hara!#$%&*=?^{|}~\"+,-./@x.com" << kAccepted;
    // 63 + 1 + (63 + 1 + 63 + 1 + 62) = 254
    const QString domain190 = QStringList({a63, a63, repeated("a", 62)}).join('.');
    QTest::newRow("account 254") << int(Account) << a63 + "@" + domain190 << kAccepted;
    QTest::newRow("account 255 with a valid shape")
        << int(Account) << a63 + "@" + domain190 + "a" << kAddressTooLong;
    QTest::newRow("account 255 without at sign")
        << int(Account) << repeated("a", 255) << kAddressTooLong;

    QTest::newRow("email password empty") << int(EmailPassword) << "" << kAccepted;
    QTest::newRow("email password 100") << int(EmailPassword) << repeated("e", 100) << kAccepted;
    QTest::newRow("email password 101")
        << int(EmailPassword) << repeated("e", 101) << kEmailPasswordTooLong;

    for (int row = Addressee1; row <= Addressee5; ++row) {
        const QByteArray n = QByteArray::number(row - Addressee1 + 1);
        QTest::newRow("addressee " + n + " valid") << row << "ops@example.com" << kAccepted;
        QTest::newRow("addressee " + n + " invalid") << row << "ops" << kNotTwoParts;
    }
}

void FieldValidationTest::singleValue()
{
    QFETCH(int, row);
    QFETCH(QString, text);
    QFETCH(QString, diagnosis);

    Fixture f;
    f.selectPort();
    fillValidValues(f.window);
    QCOMPARE(f.infoMismatch({}), QString());
    QVERIFY(f.updateEnabled());

    f.set(row, text);
    QMap<int, QString> expected;
    if (!diagnosis.isEmpty())
        expected.insert(row, diagnosis);
    QCOMPARE(f.infoMismatch(expected), QString());
    QCOMPARE(f.updateEnabled(), diagnosis.isEmpty());
}

// Sequences of edits after a port has been selected. After each step every
// Info cell and the Update button are checked.
void FieldValidationTest::sequence_data()
{
    QTest::addColumn<Steps>("steps");

    // The three mandatory rows filled; everything else empty.
    const Steps base = {{Hostname, "dev-1", {{Ssid, kMandatory}, {WifiPassword, kMandatory}}},
                        {Ssid, "plant-net", {{WifiPassword, kMandatory}}},
                        {WifiPassword, "secret", {}}};
    const auto after = [&base](const Steps &steps) { return base + steps; };

    QTest::newRow("server name entered while the port is empty")
        << after({{ServerName, "mail.example.com", {{Port, kDigitsOnly}}}, {Port, "465", {}}});
    QTest::newRow("port not checked without server")
        << after({{Port, "abc", {}}, {Port, "26", {}}, {Port, "", {}}});
    QTest::newRow("server name cleared: its port verdict goes too")
        << after({{ServerName, "mail.example.com", {{Port, kDigitsOnly}}},
                  {Port, "26", {{Port, kPortValues}}},
                  {ServerName, "", {}},
                  {ServerName, "mail.example.com", {{Port, kPortValues}}},
                  {Port, "25", {}}});
    QTest::newRow("invalid server name still checks the port") << after(
        {{Port, "26", {}}, {ServerName, "mail..com", {{ServerName, kGroup}, {Port, kPortValues}}}});
    QTest::newRow("addressee needs account and server")
        << after({{Addressee1, "ops@example.com", {{Account, kNoAccount}, {ServerName, kNoServer}}},
                  {Account, "tech@example.com", {{ServerName, kNoServer}}},
                  {ServerName, "mail.example.com", {{Port, kDigitsOnly}}},
                  {Port, "587", {}}});
    QTest::newRow("last addressee cleared: the rule's complaints go")
        << after({{Addressee3, "ops@example.com", {{Account, kNoAccount}, {ServerName, kNoServer}}},
                  {Addressee3, "", {}}});
    QTest::newRow("one addressee left keeps the rule")
        << after({{Addressee1, "a@x.com", {{Account, kNoAccount}, {ServerName, kNoServer}}},
                  {Addressee5, "b@x.com", {{Account, kNoAccount}, {ServerName, kNoServer}}},
                  {Addressee1, "", {{Account, kNoAccount}, {ServerName, kNoServer}}},
                  {Addressee5, "", {}}});
    QTest::newRow("clearing the addressees keeps other verdicts") << after(
        {{Account, "tech", {{Account, kNotTwoParts}}},
         {ServerName, "a..b", {{Account, kNotTwoParts}, {ServerName, kGroup}, {Port, kDigitsOnly}}},
         {Addressee2,
          "ops@example.com",
          {{Account, kNotTwoParts}, {ServerName, kGroup}, {Port, kDigitsOnly}}},
         {Addressee2, "", {{Account, kNotTwoParts}, {ServerName, kGroup}, {Port, kDigitsOnly}}}});
    QTest::newRow("account kept, server missing, addressee cleared")
        << after({{Account, "tech@example.com", {}},
                  {Addressee4, "ops@example.com", {{ServerName, kNoServer}}},
                  {Addressee4, "", {}}});
    QTest::newRow("server emptied while an addressee is given")
        << after({{Account, "tech@example.com", {}},
                  {ServerName, "mail.example.com", {{Port, kDigitsOnly}}},
                  {Port, "25", {}},
                  {Addressee1, "ops@example.com", {}},
                  {ServerName, "", {{ServerName, kNoServer}}},
                  {Addressee1, "", {}}});
    QTest::newRow("account emptied while an addressee is given")
        << after({{Account, "tech@example.com", {}},
                  {ServerName, "mail.example.com", {{Port, kDigitsOnly}}},
                  {Port, "2525", {}},
                  {Addressee1, "ops@example.com", {}},
                  {Account, "", {{Account, kNoAccount}}},
                  {Account, "tech@example.com", {}}});
    QTest::newRow("a mandatory row emptied and refilled")
        << after({{Hostname, "", {{Hostname, kMandatory}}}, {Hostname, "dev-2", {}}});
    QTest::newRow("a diagnosis elsewhere keeps Update disabled")
        << after({{EmailPassword, repeated("e", 101), {{EmailPassword, kEmailPasswordTooLong}}},
                  {Hostname, "dev-2", {{EmailPassword, kEmailPasswordTooLong}}},
                  {Description, "pump house", {{EmailPassword, kEmailPasswordTooLong}}},
                  {EmailPassword, "short", {}}});
}

void FieldValidationTest::sequence()
{
    QFETCH(Steps, steps);

    Fixture f;
    f.selectPort();
    for (int i = 0; i < steps.size(); ++i) {
        const Step &step = steps.at(i);
        f.set(step.row, step.text);
        const QString where =
            QStringLiteral("step %1 (row %2 = '%3'): ").arg(i).arg(step.row).arg(step.text);
        const QString mismatch = f.infoMismatch(step.diagnoses);
        QVERIFY2(mismatch.isEmpty(), qPrintable(where + mismatch));
        QVERIFY2(f.updateEnabled() == step.diagnoses.isEmpty(), qPrintable(where + "Update state"));
    }
}

void FieldValidationTest::portSelectionOnEmptyTable()
{
    Fixture f;
    f.selectPort();
    QCOMPARE(
        f.infoMismatch({{Hostname, kMandatory}, {Ssid, kMandatory}, {WifiPassword, kMandatory}}),
        QString());
    QVERIFY(!f.updateEnabled());
}

// Diagnoses are shown before a port is chosen, but Update stays disabled.
void FieldValidationTest::noUpdateWithoutPort()
{
    Fixture f;
    f.set(Hostname, "-dev");
    QCOMPARE(f.info(Hostname), kHostnameInvalid);
    f.set(Hostname, "dev-1");
    f.set(Ssid, "plant-net");
    f.set(WifiPassword, "secret");
    QCOMPARE(f.infoMismatch({}), QString());
    QVERIFY(!f.updateEnabled());

    f.ui.pingButton->setEnabled(true);
    f.set(Description, "pump house");
    QVERIFY(f.updateEnabled());
}

void FieldValidationTest::infoWritesValidateNothing()
{
    Fixture f;
    f.selectPort();
    fillValidValues(f.window);
    QVERIFY(f.updateEnabled());

    // A validation pass would clear this text again.
    f.table->item(Hostname, 1)->setText("written by hand");
    QCOMPARE(f.info(Hostname), QString("written by hand"));
    QVERIFY(f.updateEnabled());

    Probe::cellChanged(f.window, Hostname, 1);
    QCOMPARE(f.info(Hostname), QString("written by hand"));
    QVERIFY(f.updateEnabled());
}

void FieldValidationTest::constructionDiagnosesNothing()
{
    Fixture f;
    QCOMPARE(f.infoMismatch({}), QString());
    QVERIFY(!f.updateEnabled());
}

// The user's way in: the cell editor, keys, Return.
void FieldValidationTest::typingShowsDiagnosis_data()
{
    QTest::addColumn<int>("row");
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QString>("diagnosis");
    QTest::newRow("hostname leading hyphen") << int(Hostname) << "-dev" << kHostnameInvalid;
    QTest::newRow("hostname valid") << int(Hostname) << "dev-1" << kAccepted;
    QTest::newRow("ssid too long") << int(Ssid) << repeated("s", 32) << kSsidInvalid;
    QTest::newRow("account without at sign") << int(Account) << "tech" << kNotTwoParts;
    QTest::newRow("addressee without account") << int(Addressee1) << "ops@example.com" << kAccepted;
}

void FieldValidationTest::typingShowsDiagnosis()
{
    QFETCH(int, row);
    QFETCH(QString, typed);
    QFETCH(QString, diagnosis);

    Fixture f;
    QVERIFY(showExposed(f.window));

    QTableWidgetItem *item = f.table->item(row, 0);
    f.table->setCurrentItem(item);
    f.table->editItem(item);
    QLineEdit *editor = f.table->viewport()->findChild<QLineEdit *>();
    QVERIFY(editor);
    QTest::keyClicks(editor, typed);
    QTest::keyClick(editor, Qt::Key_Return);

    QTRY_COMPARE(item->text(), typed);
    QCOMPARE(f.info(row), diagnosis);
    if (row >= Addressee1)
        QCOMPARE(f.info(Account), kNoAccount);
}

void FieldValidationTest::serverNameLengthComesFirst()
{
    Fixture f;
    QCOMPARE(checkServerName(repeated(".", 255)), kServerTooLong);
    QCOMPARE(checkServerName(repeated(".", 254)), kGroup);
    QCOMPARE(checkServerName(""), QString());
    QCOMPARE(checkEmailAddress(""), QString());
}

void FieldValidationTest::cellsShow_data()
{
    QTest::addColumn<int>("row");
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("showPasswords"); // chosen in the table's context menu
    QTest::addColumn<QString>("shown");      // "*" stands for the style's password dot
    QTest::addColumn<QString>("diagnosis");  // heads both cells' tooltips
    QTest::newRow("password hidden, too long") << int(EmailPassword) << repeated("p", 101) << false
                                               << repeated("*", 101) << kEmailPasswordTooLong;
    QTest::newRow("password shown")
        << int(WifiPassword) << "s3cret" << true << "s3cret" << kAccepted;
    QTest::newRow("diagnosis longer than its cell")
        << int(Account) << "tech" << false << "tech" << kNotTwoParts;
}

// The passwords show as dots until asked for, and a diagnosis that the Info
// cell cuts is whole in the tooltip of either cell of its row; the value and
// its editor stay as typed.
void FieldValidationTest::cellsShow()
{
    QFETCH(int, row);
    QFETCH(QString, text);
    QFETCH(bool, showPasswords);
    QFETCH(QString, shown);
    QFETCH(QString, diagnosis);
    Fixture f;
    QVERIFY(showExposed(f.window));
    f.set(row, text);
    f.window.findChild<QAction *>("actionShowPasswords")->setChecked(showPasswords);
    const QChar dot(f.table->style()->styleHint(QStyle::SH_LineEdit_PasswordCharacter));
    const auto *cells = qobject_cast<ConfigCellDelegate *>(f.table->itemDelegate());
    QCOMPARE(cells->shownText(f.table->model()->index(row, 0)), shown.replace('*', dot));
    for (const int column : {0, 1}) {
        const QPoint at = f.table->visualItemRect(f.table->item(row, column)).center();
        QHelpEvent hover(QEvent::ToolTip, at, f.table->viewport()->mapToGlobal(at));
        QApplication::sendEvent(f.table->viewport(), &hover);
        QVERIFY2(
            QToolTip::text().startsWith(diagnosis.isEmpty() ? "F2: " : diagnosis + "\n\nF2: ") &&
                QToolTip::text().endsWith("Ctrl+S: Save Profile"),
            qPrintable(QToolTip::text()));
    }
    f.table->editItem(f.table->item(row, 0));
    QCOMPARE(f.table->viewport()->findChild<QLineEdit *>()->text(), text);
    QCOMPARE(f.table->item(row, 0)->text(), text);
}

void FieldValidationTest::keyboardShowsDiagnosis_data()
{
    QTest::addColumn<int>("row");          // current when the table gets the focus
    QTest::addColumn<QKeySequence>("key"); // then pressed
    QTest::addColumn<QString>("shown");    // how the tooltip starts; empty: none shows
    // Only the Hostname has a diagnosis.
    QTest::newRow("focus on a diagnosed row")
        << int(Hostname) << QKeySequence() << kHostnameInvalid;
    QTest::newRow("focus on a row without") << int(Description) << QKeySequence() << QString();
    QTest::newRow("arrow onto a diagnosed row")
        << int(Description) << QKeySequence(Qt::Key_Up) << kHostnameInvalid;
    QTest::newRow("Shift+F1 on a row without")
        << int(Description) << QKeySequence(Qt::SHIFT | Qt::Key_F1) << "F2: ";
}

void FieldValidationTest::keyboardShowsDiagnosis()
{
    QFETCH(int, row);
    QFETCH(QKeySequence, key);
    QFETCH(QString, shown);
    Fixture f;
    QVERIFY(showExposed(f.window));
    QApplication::setActiveWindow(&f.window);
    QVERIFY(QTest::qWaitForWindowActive(&f.window));
    f.set(Hostname, "-dev");
    f.ui.logTableWidget->setFocus();
    f.table->setCurrentCell(row, 0);
    f.table->setFocus(Qt::TabFocusReason);
    QTest::keySequence(f.table, key);
    QCoreApplication::processEvents();
    QCOMPARE(QToolTip::isVisible(), !shown.isEmpty());
    QVERIFY2(QToolTip::text().startsWith(shown), qPrintable(QToolTip::text()));
}

QTEST_MAIN(FieldValidationTest)
#include "field_validation_test.moc"
