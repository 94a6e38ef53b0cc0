// Choosing the port: the extra ports in the selector and their refresh, the
// line settings, the state after a choice, a port that does not open and a
// port that goes away.
#include "tests/support/qtest_support.h"
#include "tests/support/window_on_pty.h"
#include "tests/support/wire_bytes.h"

#include <QAbstractItemView>
#include <QPointer>
#include <QProcess>
#include <QSerialPort>
#include <QSerialPortInfo>
#include <QTemporaryDir>

#include <cstring>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

class PortSelectionTest : public QObject
{
    Q_OBJECT

private slots:
    void extraPortsFollowDiscoveredPorts();
    void pickingThePtyOpensItWithLineSettings();
    void linkToThePtyOpensToo();
    void indexZeroDoesNothing();
    void keysOpenTheListNotAPort_data();
    void keysOpenTheListNotAPort();
    void portThatDoesNotOpenLeavesChoiceOpen();
    void portThatGoesAwayIsReportedOnce_data();
    void portThatGoesAwayIsReportedOnce();
    void onePortOneProgram_data();
    void onePortOneProgram();
};

void PortSelectionTest::extraPortsFollowDiscoveredPorts()
{
    WindowOnPty link(failTest, {"/tmp/first"}, {"/tmp/last"});
    QComboBox *selector = link.ui().serialPortComboBox;
    const QList<QSerialPortInfo> &discovered = Probe::portInfoList(*link.window);

    QStringList expected{"<no port selected>"};
    for (const QSerialPortInfo &info : discovered)
        expected << info.portName();
    expected << "/tmp/first" << link.pty.path() << "/tmp/last";
    QStringList entries;
    for (int i = 0; i < selector->count(); ++i)
        entries << selector->itemText(i);
    QCOMPARE(entries, expected);
    QCOMPARE(selector->currentIndex(), 0);
    QVERIFY(!Probe::serialPort(*link.window));

    // Opening the list takes it again without opening a port; the entry
    // picked afterwards is the port its text names.
    qputenv("KESTRO_EXTRA_PORTS", ("/tmp/late:" + link.pty.path()).toLocal8Bit());
    selector->showPopup();
    QCOMPARE(selector->count(), discovered.size() + 3);
    QCOMPARE(selector->itemText(discovered.size() + 1), "/tmp/late");
    QVERIFY(link.pickPty());
    QCOMPARE(link.log(), QStringList{"Port is " + link.pty.path().mid(int(strlen("/dev/")))});
}

void PortSelectionTest::pickingThePtyOpensItWithLineSettings()
{
    WindowOnPty link(failTest);
    QVERIFY(link.pickPty());

    QSerialPort *port = Probe::serialPort(*link.window);
    QVERIFY(port);
    QVERIFY(port->isOpen());
    QCOMPARE(port->openMode(), QIODevice::ReadWrite);
    QCOMPARE(port->parent(), link.window.get());

    // What the terminal itself was set to.
    termios settings;
    QCOMPARE(tcgetattr(int(port->handle()), &settings), 0);
    QCOMPARE(cfgetispeed(&settings), speed_t(B115200));
    QCOMPARE(cfgetospeed(&settings), speed_t(B115200));
    QCOMPARE(settings.c_cflag & CSIZE, tcflag_t(CS8));
    QCOMPARE(settings.c_cflag & (PARENB | CSTOPB | CRTSCTS), tcflag_t(0));
    QCOMPARE(settings.c_iflag & (IXON | IXOFF), tcflag_t(0));

    // The log names the port by its system name, the selector by its path.
    QCOMPARE(link.log(), QStringList{"Port is " + link.pty.path().mid(int(strlen("/dev/")))});
    QCOMPARE(link.ui().serialPortComboBox->currentText(), link.pty.path());
    QVERIFY(!link.ui().serialPortComboBox->isEnabled());
    QVERIFY(link.ui().pingButton->isEnabled());
    QVERIFY(link.ui().queryButton->isEnabled());
    QVERIFY(link.ui().uploadCertButton->isEnabled());

    // Every row was validated: the empty mandatory rows say so, Update stays off.
    const QString mandatory = "Mandatory field.  Please provide a value.";
    for (int row : {0, 2, 3})
        QCOMPARE(link.info(row), mandatory);
    QVERIFY(!link.ui().updateButton->isEnabled());
}

void PortSelectionTest::linkToThePtyOpensToo()
{
    // A link such as the simulator's --link or a socat bridge makes: the log
    // names it by the path it was given.
    QTemporaryDir dir;
    const QString linkPath = dir.filePath("device-port");
    WindowOnPty link(failTest, {linkPath});
    QVERIFY(QFile::link(link.pty.path(), linkPath));
    QVERIFY(link.pickPort(linkPath));
    QCOMPARE(link.log(), QStringList{"Port is " + linkPath});
    click(link.ui().queryButton);
    QCOMPARE(link.pty.read(8), kQueryRequestFrame);
}

void PortSelectionTest::indexZeroDoesNothing()
{
    WindowOnPty link(failTest);
    Probe::selectPort(*link.window, 0);
    QVERIFY(!Probe::serialPort(*link.window));
    QCOMPARE(link.ui().logTableWidget->columnCount(), 0);
    QVERIFY(link.ui().serialPortComboBox->isEnabled());
    QVERIFY(!link.ui().pingButton->isEnabled());
}

void PortSelectionTest::keysOpenTheListNotAPort_data()
{
    // The first key goes to the closed selector, the others to its list,
    // where "/" finds the terminal.
    QTest::addColumn<QList<int>>("keys");
    QTest::addColumn<bool>("picked");
    const int slash = Qt::Key_Slash;
    QTest::newRow("Up, Escape") << QList<int>{Qt::Key_Up, Qt::Key_Escape} << false;
    QTest::newRow("Down, Enter") << QList<int>{Qt::Key_Down, slash, Qt::Key_Return} << true;
    QTest::newRow("Down, Space") << QList<int>{Qt::Key_Down, slash, Qt::Key_Space} << true;
    QTest::newRow("typed, Enter") << QList<int>{slash, Qt::Key_Return} << true;
}

// A key on the closed selector opens its list, and no port: only a choice
// in the list opens one.
void PortSelectionTest::keysOpenTheListNotAPort()
{
    QFETCH(QList<int>, keys);
    QFETCH(bool, picked);
    WindowOnPty link(failTest);
    QComboBox *selector = link.ui().serialPortComboBox;
    for (int i = 0; i < keys.size(); ++i) {
        QTest::keyClick(i == 0 ? static_cast<QWidget *>(selector) : selector->view(),
                        Qt::Key(keys[i]));
        QVERIFY(i > 0 || (selector->view()->isVisible() && !Probe::serialPort(*link.window)));
    }
    QTRY_VERIFY(!selector->view()->isVisible());
    QCOMPARE(link.log(), picked ? QStringList{"Port is " + link.pty.path().mid(5)} : QStringList());
}

void PortSelectionTest::portThatDoesNotOpenLeavesChoiceOpen()
{
    const QString missing = "/nonexistent/kestro-port";
    WindowOnPty link(failTest, {missing});
    link.pick(link.ui().serialPortComboBox->findText(missing));

    QStringList log = link.log();
    QCOMPARE(log.size(), 2);
    QCOMPARE(log[0], "Port is " + missing);
    const QString prefix = "Cannot open port " + missing + ": ";
    QVERIFY2(log[1].startsWith(prefix) && log[1].size() > prefix.size(), qPrintable(log[1]));
    QVERIFY(!Probe::serialPort(*link.window));
    QCOMPARE(link.ui().serialPortComboBox->currentIndex(), 0);
    QVERIFY(link.ui().serialPortComboBox->isEnabled());
    for (QPushButton *button : {link.ui().pingButton, link.ui().queryButton, link.ui().updateButton,
                                link.ui().uploadCertButton})
        QVERIFY(!button->isEnabled());

    // Another port can still be picked; its line joins the log.
    QVERIFY(link.pickPty());
    QVERIFY(Probe::serialPort(*link.window) && Probe::serialPort(*link.window)->isOpen());
    log = link.log();
    QCOMPARE(log.size(), 3);
    QCOMPARE(log[2], "Port is " + link.pty.path().mid(int(strlen("/dev/"))));
    click(link.ui().pingButton);
    QCOMPARE(link.pty.read(8), kPingRequestFrame);
}

void PortSelectionTest::portThatGoesAwayIsReportedOnce_data()
{
    QTest::addColumn<QString>("when");
    QTest::addColumn<QStringList>("lines"); // %1: the port's error, %2: its name

    const QStringList handBack{"Port error: %1", "Port %2 closed. Pick a port to continue."};
    QTest::newRow("while idle") << "idle" << handBack;
    // The request fails, and says so, before the port is handed back.
    QTest::newRow("just before a send")
        << "send" << QStringList{"Sending Ping...", "Write error: %1"} + handBack;
    // The certificate chosen afterwards has no port to go to.
    QTest::newRow("while the certificate dialog is open") << "dialog" << handBack;
}

void PortSelectionTest::portThatGoesAwayIsReportedOnce()
{
    QFETCH(QString, when);
    QFETCH(QStringList, lines);
    WindowOnPty link(failTest);
    QVERIFY(link.pickPty());
    const QPointer<QSerialPort> port = Probe::serialPort(*link.window);
    const QString name = port->portName();
    const int before = link.log().size();

    link.pty.closeMaster(); // the adapter is unplugged
    if (when == "send") {
        click(link.ui().pingButton);
    } else if (when == "dialog") {
        whenFileDialogShows([&](QFileDialog *dialog) {
            QTRY_VERIFY_WITH_TIMEOUT(port.isNull(), kPatienceMs);
            openInFileDialog(dialog, "/dev/null");
        });
        click(link.ui().uploadCertButton);
    }
    QTRY_VERIFY_WITH_TIMEOUT(port.isNull(), kPatienceMs); // closed and deleted
    QTest::qWait(50); // more turns of the event loop, in which a port would fail again

    const QStringList added = link.logFrom(before);
    QCOMPARE(added.size(), lines.size());
    const QString error = added[lines.indexOf("Port error: %1")].mid(int(strlen("Port error: ")));
    QVERIFY(!error.isEmpty());
    for (int i = 0; i < lines.size(); ++i)
        QCOMPARE(added[i], QString(lines[i]).replace("%1", error).replace("%2", name));
    QCOMPARE(link.pty.pending(), QByteArray());
}

void PortSelectionTest::onePortOneProgram_data()
{
    QTest::addColumn<bool>("windowFirst"); // else kestroctl holds the port first
    QTest::addColumn<bool>("asNobody");    // kestroctl runs as a user who may not bypass
    QTest::newRow("kestroctl holds it, the window refuses") << false << false;
    QTest::newRow("the window holds it, kestroctl refuses") << true << false;
    QTest::newRow("the window holds it, kestroctl as nobody refuses") << true << true;
}

// The window and kestroctl take the same lock on a port: whoever comes second
// is refused before a byte is written, root included. A normal user would
// otherwise hear of the terminal being kept exclusive, in the system's words.
void PortSelectionTest::onePortOneProgram()
{
    QFETCH(bool, windowFirst);
    QFETCH(bool, asNobody);
    if (asNobody && ::geteuid() != 0)
        QSKIP("needs root, to run kestroctl as the unprivileged user nobody");
    WindowOnPty link(failTest);
    QTemporaryDir dir;
    QVERIFY(::chmod(QFile::encodeName(dir.path()).constData(), 0755) == 0);
    // A copy that nobody can reach, wherever the build tree lies; a port it may open.
    const QString program = dir.filePath("kestroctl");
    QVERIFY(QFile::copy(QStringLiteral(KESTROCTL_PATH), program));
    QVERIFY(::chmod(QFile::encodeName(link.pty.path()).constData(), 0666) == 0);
    const QStringList user =
        asNobody ? QStringList{"--reuid=nobody", "--regid=nogroup", "--clear-groups"}
                 : QStringList{};
    QProcess kestroctl;
    if (windowFirst)
        QVERIFY(link.pickPty());
    kestroctl.start("setpriv", user + QStringList{program, "-p", link.pty.path(), "-t", "3000",
                                                  "-r", "0", "ping"});
    const QString name = link.pty.path().mid(int(strlen("/dev/")));
    if (windowFirst) {
        QVERIFY(kestroctl.waitForFinished(kPatienceMs));
        QCOMPARE(kestroctl.exitCode(), 4);
        QCOMPARE(kestroctl.readAllStandardError(),
                 "kestroctl: " + link.pty.path().toUtf8() + " is in use by another program\n");
        QCOMPARE(link.pty.pending(), QByteArray());
        QCOMPARE(link.log(), QStringList{"Port is " + name});
        return;
    }
    QCOMPARE(link.pty.read(8), kPingRequestFrame); // kestroctl has the port
    link.pick(link.ui().serialPortComboBox->findText(link.pty.path()));
    QCOMPARE(link.log(), (QStringList{"Port is " + name,
                                      "Cannot open port " + name + ": in use by another program"}));
    QVERIFY(!Probe::serialPort(*link.window));
    link.pty.write(kPingOkFrame);
    QVERIFY(kestroctl.waitForFinished(kPatienceMs));
    QCOMPARE(kestroctl.exitCode(), 0);
    // Released with its program: the window now gets the port.
    QVERIFY(link.pickPty());
}

QTEST_MAIN(PortSelectionTest)
#include "port_selection_test.moc"
