// The window and the real simulator program together: all four commands as a
// newcomer would try them, a device that goes away and comes back, and sends
// that follow each other at the line's real speed.
#include "tests/device/device_bench.h"

#include <QProcess>
#include <QScopeGuard>
#include <QTemporaryDir>

class DevsimWindowTest : public QObject
{
    Q_OBJECT

private slots:
    void allFourCommands();
    void hangUpThenReplug();
    void certificateThenPingAtLineSpeed();
};

namespace {

// Starts the simulator; answers the path of its port, empty if it did not start.
QString startSim(QProcess &sim, const QStringList &arguments)
{
    sim.start(QStringLiteral(KESTRO_DEVSIM_PATH), arguments);
    if (!sim.waitForReadyRead(kPatienceMs) || !sim.canReadLine())
        return QString();
    return QString::fromLocal8Bit(sim.readLine()).trimmed();
}

void stopSim(QProcess &sim)
{
    sim.terminate();
    sim.waitForFinished(kPatienceMs);
}

} // namespace

void DevsimWindowTest::allFourCommands()
{
    QTemporaryDir dir;
    const QString certOut = dir.filePath("received.pem");
    QProcess sim;
    const QString port = startSim(sim, {"--cert-out", certOut});
    QVERIFY(!port.isEmpty());
    const auto stop = qScopeGuard([&sim]() { stopSim(sim); });

    qputenv("KESTRO_EXTRA_PORTS", port.toLocal8Bit());
    MainWindow window;
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    Ui::MainWindow &ui = Probe::ui(window);
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

void DevsimWindowTest::hangUpThenReplug()
{
    QTemporaryDir dir;
    const QString link = dir.filePath("kestro-port");
    QProcess first;
    QVERIFY(!startSim(first, {"--link", link, "--hangup-after", "2"}).isEmpty());
    const auto stopFirst = qScopeGuard([&first]() { stopSim(first); });
    DeviceBench bench({link});
    QComboBox *selector = bench.ui().serialPortComboBox;
    selector->setCurrentIndex(selector->findText(link));

    bench.click(bench.ui().queryButton);
    QTRY_COMPARE_WITH_TIMEOUT(bench.log().last(), "Config Query returned 0", kPatienceMs);
    bench.setValue("Hostname", "edited-7");
    bench.setValue("Addressee 1", "nobody");
    const QString diagnosis = bench.info(8);
    QVERIFY(!diagnosis.isEmpty());
    // The device answers this one, then its cable is pulled.
    bench.click(bench.ui().pingButton);
    const QString closed = "Port " + link + " closed. Pick a port to continue.";
    QTRY_COMPARE_WITH_TIMEOUT(bench.log().last(), closed, kPatienceMs);
    QTRY_COMPARE_WITH_TIMEOUT(first.state(), QProcess::NotRunning, kPatienceMs);
    QCOMPARE(first.exitCode(), 0);

    const QStringList log = bench.log();
    QCOMPARE(log[log.size() - 3], "Ping returned 0");
    QVERIFY2(log[log.size() - 2].startsWith("Port error: "), qPrintable(log[log.size() - 2]));
    QCOMPARE(log.filter(QRegularExpression("^Port error: ")).size(), 1);
    QVERIFY(!Probe::serialPort(*bench.window));
    QCOMPARE(selector->currentIndex(), 0);
    QVERIFY(selector->isEnabled());
    for (QPushButton *button : {bench.ui().pingButton, bench.ui().queryButton,
                                bench.ui().updateButton, bench.ui().uploadCertButton})
        QVERIFY(!button->isEnabled());
    QCOMPARE(bench.value("Hostname"), "edited-7");
    QCOMPARE(bench.info(8), diagnosis);

    // Plugged in again: a new simulator on the same path, picked as before.
    QProcess second;
    QVERIFY(!startSim(second, {"--link", link}).isEmpty());
    const auto stopSecond = qScopeGuard([&second]() { stopSim(second); });
    selector->setCurrentIndex(selector->findText(link));
    QVERIFY(Probe::serialPort(*bench.window) && Probe::serialPort(*bench.window)->isOpen());
    QCOMPARE(bench.log(), log + QStringList{"Port is " + link});
    bench.click(bench.ui().pingButton);
    QTRY_COMPARE_WITH_TIMEOUT(bench.log().last(), "Ping returned 0", kPatienceMs);
    QCOMPARE(bench.log().size(), log.size() + 5);
    QCOMPARE(bench.value("Hostname"), "edited-7");
}

void DevsimWindowTest::certificateThenPingAtLineSpeed()
{
    QTemporaryDir dir;
    const QString certOut = dir.filePath("received.pem");
    QProcess sim;
    const QString port = startSim(sim, {"--baud", "115200", "--cert-out", certOut});
    QVERIFY(!port.isEmpty());
    const auto stop = qScopeGuard([&sim]() { stopSim(sim); });
    DeviceBench bench({port});
    bench.pick(bench.ui().serialPortComboBox->findText(port));

    // Every byte escaped: the frame doubles to over 16 KB, 1.4 s on the line
    // and more than the system's buffer takes at once.
    QByteArray certificate(8192, '\0');
    for (int i = 0; i < certificate.size(); ++i)
        certificate[i] = "\xc0\xfd\xfe"[i % 3];
    const QString certPath = dir.filePath("device.pem");
    QFile certFile(certPath);
    QVERIFY(certFile.open(QIODevice::WriteOnly) && certFile.write(certificate) == 8192);
    certFile.close();
    chooseInFileDialog(certPath);
    bench.click(bench.ui().uploadCertButton);
    bench.click(bench.ui().pingButton); // while the certificate is still going out

    QTRY_COMPARE_WITH_TIMEOUT(bench.log().filter(" returned "),
                              (QStringList{"Certificate Upload returned 0", "Ping returned 0"}),
                              2 * kPatienceMs);
    QFile saved(certOut);
    QVERIFY(saved.open(QIODevice::ReadOnly));
    QCOMPARE(saved.readAll(), certificate);
    const QStringList log = bench.log();
    QCOMPARE(log.size(), 9);
    QCOMPARE(log[1], "Sending Certificate Upload...");
    QVERIFY2(log[2].endsWith("Certificate Upload sent.  Listening for response..."),
             qPrintable(log[2].right(60)));
    QCOMPARE(log[3], "Sending Ping...");
    QVERIFY2(log[4].endsWith("Ping sent.  Listening for response..."), qPrintable(log[4]));
}

QTEST_MAIN(DevsimWindowTest)
#include "devsim_window_test.moc"
