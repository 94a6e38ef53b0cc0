// The window and the real simulator program together, through all four
// commands at the line's real speed as a newcomer would try them, then a
// pulled cable and the device plugged in again.
#include "tests/device/device_bench.h"

#include <QProcess>
#include <QScopeGuard>
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
    QProcess sim, replugged;
    auto start = [&port](QProcess &process, const QStringList &arguments) {
        process.start(QStringLiteral(KESTRO_DEVSIM_PATH), QStringList{"--link", port} + arguments);
        return process.waitForReadyRead(kPatienceMs) && process.canReadLine();
    };
    // Its sixth response is the last before the cable is pulled.
    QVERIFY(start(sim, {"--cert-out", certOut, "--baud", "115200", "--hangup-after", "6"}));
    const auto stopSims = qScopeGuard([&sim, &replugged]() {
        for (QProcess *process : {&sim, &replugged}) {
            process->terminate();
            process->waitForFinished(kPatienceMs);
        }
    });

    qputenv("KESTRO_EXTRA_PORTS", port.toLocal8Bit());
    MainWindow window;
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    const WindowWidgets ui = Probe::ui(window);
    QTableWidget *table = ui.tableWidget;
    auto log = [&ui]() {
        QStringList lines;
        for (int row = 0; row < ui.logTableWidget->rowCount(); ++row)
            lines << ui.logTableWidget->item(row, 0)->text();
        return lines;
    };
    auto value = [&](const QString &row) {
        return table->item(Probe::rowIndexByName(window).value(row), 0)->text();
    };
    auto setValue = [&](const QString &row, const QString &text) {
        table->item(Probe::rowIndexByName(window).value(row), 0)->setText(text);
    };
    // One command: its two lines on sending, then the response's two lines.
    auto run = [&](QPushButton *button, const QString &name) {
        const int before = log().size();
        QTest::mouseClick(button, Qt::LeftButton);
        QTRY_COMPARE_WITH_TIMEOUT(log().size(), before + 4, kPatienceMs);
        const QStringList lines = log().mid(before);
        QCOMPARE(lines[0], "Sending " + name + "...");
        QVERIFY2(lines[1].endsWith(name + " sent.  Listening for response..."),
                 qPrintable(lines[1]));
        QVERIFY2(lines[2].startsWith("\r\nRead "), qPrintable(lines[2]));
        QCOMPARE(lines[3], name + " returned 0");
    };

    ui.serialPortComboBox->setCurrentIndex(ui.serialPortComboBox->findText(port));
    QVERIFY(Probe::serialPort(window) && Probe::serialPort(window)->isOpen());

    run(ui.pingButton, "Ping");
    QCOMPARE(log()[3], "\r\nRead 12 bytes: fe 08 00 01 00 00 00 00 00 00 00 09");

    run(ui.queryButton, "Config Query");
    QCOMPARE(value("Hostname"), "kestro-3-sim");
    QCOMPARE(value("SMTP Port"), "587");
    QVERIFY(ui.updateButton->isEnabled());

    setValue("Hostname", "bench-7");
    setValue("Addressee 2", "second@example.com");
    run(ui.updateButton, "Config Update");
    // What the device stored comes back, not what the table happens to hold.
    setValue("Hostname", "local-only");
    run(ui.queryButton, "Config Query");
    QCOMPARE(value("Hostname"), "bench-7");
    QCOMPARE(value("Addressee 2"), "second@example.com");

    // Every byte escaped: a 16 KB frame, 1.4 s on the line, still going out
    // when Ping is pressed.
    QByteArray certificate(8192, '\0');
    for (int i = 0; i < certificate.size(); ++i)
        certificate[i] = "\xc0\xfd\xfe"[i % 3];
    const QString certPath = dir.filePath("device.pem");
    QFile certFile(certPath);
    QVERIFY(certFile.open(QIODevice::WriteOnly) && certFile.write(certificate) == 8192);
    certFile.close();
    setValue("Addressee 3", "nobody");
    const QString diagnosis = table->item(10, 1)->text();
    chooseInFileDialog(certPath);
    const int before = log().size();
    QTest::mouseClick(ui.uploadCertButton, Qt::LeftButton);
    QTest::mouseClick(ui.pingButton, Qt::LeftButton);
    const QString closed = "Port " + port + " closed. Pick a port to continue.";
    QTRY_COMPARE_WITH_TIMEOUT(log().last(), closed, 2 * kPatienceMs);
    QStringList lines = log().mid(before);
    QCOMPARE(lines.size(), 10);
    QCOMPARE(lines.filter(QRegularExpression("^Sending|returned|^Port error: ")),
             (QStringList{"Sending Certificate Upload...", "Sending Ping...",
                          "Certificate Upload returned 0", "Ping returned 0", lines[8]}));
    QFile saved(certOut);
    QVERIFY(saved.open(QIODevice::ReadOnly));
    QCOMPARE(saved.readAll(), certificate);

    // The choice is back with the user; the table is as it was.
    QVERIFY(!Probe::serialPort(window) && ui.serialPortComboBox->isEnabled());
    QCOMPARE(ui.serialPortComboBox->currentIndex(), 0);
    for (QPushButton *button :
         {ui.pingButton, ui.queryButton, ui.updateButton, ui.uploadCertButton})
        QVERIFY(!button->isEnabled());
    QCOMPARE(value("Hostname"), "bench-7");
    QVERIFY(!diagnosis.isEmpty() && table->item(10, 1)->text() == diagnosis);

    // Plugged in again: a new simulator on the same path, picked as before.
    QVERIFY(start(replugged, {}));
    lines = log();
    ui.serialPortComboBox->setCurrentIndex(ui.serialPortComboBox->findText(port));
    QCOMPARE(log(), lines + QStringList{"Port is " + port});
    run(ui.pingButton, "Ping");
}

QTEST_MAIN(DevsimWindowTest)
#include "devsim_window_test.moc"
