// Choosing the port: the extra ports in the selector and their refresh, the
// line settings, the state after a choice, a port that does not open and a
// port that goes away.
#include "tests/device/device_bench.h"

#include <QPointer>
#include <QTemporaryDir>

class PortSelectionTest : public QObject
{
    Q_OBJECT

private slots:
    void extraPortsFollowDiscoveredPorts();
    void pickingThePtyOpensItWithLineSettings();
    void linkToThePtyOpensToo();
    void indexZeroDoesNothing();
    void portThatDoesNotOpenLeavesChoiceOpen();
    void portThatGoesAwayIsReportedOnce_data();
    void portThatGoesAwayIsReportedOnce();
};

void PortSelectionTest::extraPortsFollowDiscoveredPorts()
{
    DeviceBench bench({"/tmp/first"}, {"/tmp/last"});
    QComboBox *selector = bench.ui().serialPortComboBox;
    const QList<QSerialPortInfo> &discovered = Probe::portInfoList(*bench.window);

    QStringList expected{"<no port selected>"};
    for (const QSerialPortInfo &info : discovered)
        expected << info.portName();
    expected << "/tmp/first" << bench.pty.path() << "/tmp/last";
    QStringList entries;
    for (int i = 0; i < selector->count(); ++i)
        entries << selector->itemText(i);
    QCOMPARE(entries, expected);
    QCOMPARE(selector->currentIndex(), 0);
    QVERIFY(!Probe::serialPort(*bench.window));

    // Opening the list takes it again without opening a port; the entry
    // picked afterwards is the port its text names.
    qputenv("KESTRO_EXTRA_PORTS", ("/tmp/late:" + bench.pty.path()).toLocal8Bit());
    selector->showPopup();
    QCOMPARE(selector->count(), discovered.size() + 3);
    QCOMPARE(selector->itemText(discovered.size() + 1), "/tmp/late");
    bench.pickPty();
    QCOMPARE(bench.log(), QStringList{"Port is " + bench.pty.path().mid(int(strlen("/dev/")))});
}

void PortSelectionTest::pickingThePtyOpensItWithLineSettings()
{
    DeviceBench bench;
    bench.pickPty();

    QSerialPort *port = Probe::serialPort(*bench.window);
    QVERIFY(port);
    QVERIFY(port->isOpen());
    QCOMPARE(port->openMode(), QIODevice::ReadWrite);
    QCOMPARE(port->parent(), bench.window.get());

    // What the terminal itself was set to.
    termios settings;
    QCOMPARE(tcgetattr(int(port->handle()), &settings), 0);
    QCOMPARE(cfgetispeed(&settings), speed_t(B115200));
    QCOMPARE(cfgetospeed(&settings), speed_t(B115200));
    QCOMPARE(settings.c_cflag & CSIZE, tcflag_t(CS8));
    QCOMPARE(settings.c_cflag & (PARENB | CSTOPB | CRTSCTS), tcflag_t(0));
    QCOMPARE(settings.c_iflag & (IXON | IXOFF), tcflag_t(0));

    // The log names the port by its system name, the selector by its path.
    QCOMPARE(bench.log(), QStringList{"Port is " + bench.pty.path().mid(int(strlen("/dev/")))});
    QCOMPARE(bench.ui().serialPortComboBox->currentText(), bench.pty.path());
    QVERIFY(!bench.ui().serialPortComboBox->isEnabled());
    QVERIFY(bench.ui().pingButton->isEnabled());
    QVERIFY(bench.ui().queryButton->isEnabled());
    QVERIFY(bench.ui().uploadCertButton->isEnabled());

    // Every row was validated: the empty mandatory rows say so, Update stays off.
    const QString mandatory = "Mandatory field.  Please provide a value.";
    for (int row : {0, 2, 3})
        QCOMPARE(bench.info(row), mandatory);
    QVERIFY(!bench.ui().updateButton->isEnabled());
}

void PortSelectionTest::linkToThePtyOpensToo()
{
    // A link such as the simulator's --link or a socat bridge makes: the log
    // names it by the path it was given.
    QTemporaryDir dir;
    const QString link = dir.filePath("device-port");
    DeviceBench bench({link});
    QVERIFY(QFile::link(bench.pty.path(), link));
    bench.pick(bench.ui().serialPortComboBox->findText(link));
    QCOMPARE(bench.log(), QStringList{"Port is " + link});
    bench.click(bench.ui().queryButton);
    QCOMPARE(bench.pty.read(8), QByteArray::fromHex("fe04000200000006"));
}

void PortSelectionTest::indexZeroDoesNothing()
{
    DeviceBench bench;
    Probe::selectPort(*bench.window, 0);
    QVERIFY(!Probe::serialPort(*bench.window));
    QCOMPARE(bench.ui().logTableWidget->columnCount(), 0);
    QVERIFY(bench.ui().serialPortComboBox->isEnabled());
    QVERIFY(!bench.ui().pingButton->isEnabled());
}

void PortSelectionTest::portThatDoesNotOpenLeavesChoiceOpen()
{
    const QString missing = "/nonexistent/kestro-port";
    DeviceBench bench({missing});
    bench.pick(bench.ui().serialPortComboBox->findText(missing));

    QStringList log = bench.log();
    QCOMPARE(log.size(), 2);
    QCOMPARE(log[0], "Port is " + missing);
    const QString prefix = "Cannot open port " + missing + ": ";
    QVERIFY2(log[1].startsWith(prefix) && log[1].size() > prefix.size(), qPrintable(log[1]));
    QVERIFY(!Probe::serialPort(*bench.window));
    QCOMPARE(bench.ui().serialPortComboBox->currentIndex(), 0);
    QVERIFY(bench.ui().serialPortComboBox->isEnabled());
    for (QPushButton *button : {bench.ui().pingButton, bench.ui().queryButton,
                                bench.ui().updateButton, bench.ui().uploadCertButton})
        QVERIFY(!button->isEnabled());

    // Another port can still be picked; its line joins the log.
    bench.pickPty();
    QVERIFY(Probe::serialPort(*bench.window) && Probe::serialPort(*bench.window)->isOpen());
    log = bench.log();
    QCOMPARE(log.size(), 3);
    QCOMPARE(log[2], "Port is " + bench.pty.path().mid(int(strlen("/dev/"))));
    bench.click(bench.ui().pingButton);
    QCOMPARE(bench.pty.read(8), QByteArray::fromHex("fe04000000000004"));
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
    DeviceBench bench;
    bench.pickPty();
    const QPointer<QSerialPort> port = Probe::serialPort(*bench.window);
    const QString name = port->portName();
    const int before = bench.log().size();

    bench.pty.closeMaster(); // the adapter is unplugged
    if (when == "send") {
        bench.click(bench.ui().pingButton);
    } else if (when == "dialog") {
        whenFileDialogShows([&](QFileDialog *dialog) {
            QTRY_VERIFY_WITH_TIMEOUT(port.isNull(), kPatienceMs);
            openInFileDialog(dialog, "/dev/null");
        });
        bench.click(bench.ui().uploadCertButton);
    }
    QTRY_VERIFY_WITH_TIMEOUT(port.isNull(), kPatienceMs); // closed and deleted
    QTest::qWait(50); // more turns of the event loop, in which a port would fail again

    const QStringList added = bench.logFrom(before);
    QCOMPARE(added.size(), lines.size());
    const QString error = added[lines.indexOf("Port error: %1")].mid(int(strlen("Port error: ")));
    QVERIFY(!error.isEmpty());
    for (int i = 0; i < lines.size(); ++i)
        QCOMPARE(added[i], QString(lines[i]).replace("%1", error).replace("%2", name));
    QCOMPARE(bench.pty.pending(), QByteArray());
}

QTEST_MAIN(PortSelectionTest)
#include "port_selection_test.moc"
