// The window and the real simulator program together, through all four
// commands at the line's real speed as a newcomer would try them, then a
// pulled cable and the device plugged in again.
#include "tests/support/devsim_process.h"
#include "tests/support/qtest_support.h"
#include "tests/support/window_on_pty.h"

#include <QTemporaryDir>

class DevsimWindowTest : public QObject
{
    Q_OBJECT

private slots:
    void allFourCommands();
};

void DevsimWindowTest::allFourCommands()
{
    QTemporaryDir dir;
    const QString certOut = dir.filePath("received.pem");
    const QString port = dir.filePath("kestro-port");
    DevsimProcess sim, replugged;
    // Its sixth response is the last before the cable is pulled.
    QVERIFY(sim.start(
        {"--link", port, "--cert-out", certOut, "--baud", "115200", "--hangup-after", "6"}));

    // The simulator's port listed before the fixture's own terminal, which stays unused.
    WindowOnPty link(failTest, {port});
    const WindowWidgets ui = link.ui();
    // One command: its two lines on sending, then the response's two lines.
    auto run = [&](QPushButton *button, const QString &name) {
        const int before = link.logRows();
        click(button);
        QTRY_COMPARE_WITH_TIMEOUT(link.logRows(), before + 4, kPatienceMs);
        const QStringList lines = link.logFrom(before);
        QCOMPARE(lines[0], "Sending " + name + "...");
        QVERIFY2(lines[1].endsWith(name + " sent.  Listening for response..."),
                 qPrintable(lines[1]));
        QVERIFY2(lines[2].startsWith("\r\nRead "), qPrintable(lines[2]));
        QCOMPARE(lines[3], name + " returned 0");
    };

    QVERIFY(link.pickPort(port));

    run(ui.pingButton, "Ping");
    QCOMPARE(link.logLine(3), "\r\nRead 12 bytes: fe 08 00 01 00 00 00 00 00 00 00 09");

    run(ui.queryButton, "Config Query");
    QCOMPARE(link.value("Hostname"), "kestro-3-sim");
    QCOMPARE(link.value("SMTP Port"), "587");
    QVERIFY(ui.updateButton->isEnabled());

    link.setValue("Hostname", "unit-7");
    link.setValue("Addressee 2", "second@example.com");
    run(ui.updateButton, "Config Update");
    // What the device stored comes back, not what the table happens to hold.
    link.setValue("Hostname", "local-only");
    run(ui.queryButton, "Config Query");
    QCOMPARE(link.value("Hostname"), "unit-7");
    QCOMPARE(link.value("Addressee 2"), "second@example.com");

    // Every byte escaped: a 16 KB frame, 1.4 s on the line, still going out
    // when Ping is pressed.
    const QByteArray certificate = QByteArray("\xc0\xfd\xfe").repeated(3000).left(8192);
    const QString certPath = dir.filePath("device.pem");
    writeFile(certPath, certificate);
    link.setValue("Addressee 3", "nobody");
    const QString diagnosis = link.info(10);
    chooseInFileDialog(certPath);
    const int before = link.logRows();
    click(ui.uploadCertButton);
    click(ui.pingButton);
    const QString closed = "Port " + port + " closed. Pick a port to continue.";
    QTRY_COMPARE_WITH_TIMEOUT(link.log().last(), closed, 2 * kPatienceMs);
    QStringList lines = link.logFrom(before);
    QCOMPARE(lines.size(), 10);
    QCOMPARE(lines.filter(QRegularExpression("^Sending|returned|^Port error: ")),
             (QStringList{"Sending Certificate Upload...", "Sending Ping...",
                          "Certificate Upload returned 0", "Ping returned 0", lines[8]}));
    QFile saved(certOut);
    QVERIFY(saved.open(QIODevice::ReadOnly));
    QCOMPARE(saved.readAll(), certificate);

    // The choice is back with the user; the table is as it was.
    QVERIFY(!Probe::serialPort(*link.window) && ui.serialPortComboBox->isEnabled());
    QCOMPARE(ui.serialPortComboBox->currentIndex(), 0);
    for (QPushButton *button :
         {ui.pingButton, ui.queryButton, ui.updateButton, ui.uploadCertButton})
        QVERIFY(!button->isEnabled());
    QCOMPARE(link.value("Hostname"), "unit-7");
    QVERIFY(!diagnosis.isEmpty() && link.info(10) == diagnosis);

    // Plugged in again: a new simulator on the same path, picked as before.
    QVERIFY(replugged.start({"--link", port}));
    lines = link.log();
    QVERIFY(link.pickPort(port));
    QCOMPARE(link.log(), lines + QStringList{"Port is " + port});
    run(ui.pingButton, "Ping");
}

QTEST_MAIN(DevsimWindowTest)
#include "devsim_window_test.moc"
