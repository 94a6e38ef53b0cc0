// The window and the real simulator program together, through all four
// commands, as a newcomer would try them.
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
    QProcess sim;
    sim.start(QStringLiteral(KESTRO_DEVSIM_PATH), {"--cert-out", certOut});
    QVERIFY(sim.waitForReadyRead(kPatienceMs) && sim.canReadLine());
    const QString port = QString::fromLocal8Bit(sim.readLine()).trimmed();
    const auto stopSim = qScopeGuard([&sim]() {
        sim.terminate();
        sim.waitForFinished(kPatienceMs);
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

    QByteArray certificate(1000, '\0');
    for (int i = 0; i < certificate.size(); ++i)
        certificate[i] = char(i % 251);
    const QString certPath = dir.filePath("device.pem");
    QFile certFile(certPath);
    QVERIFY(certFile.open(QIODevice::WriteOnly) && certFile.write(certificate) == 1000);
    certFile.close();
    chooseInFileDialog(certPath);
    run(ui.uploadCertButton, "Certificate Upload");
    QFile saved(certOut);
    QVERIFY(saved.open(QIODevice::ReadOnly));
    QCOMPARE(saved.readAll(), certificate);
}

QTEST_MAIN(DevsimWindowTest)
#include "devsim_window_test.moc"
