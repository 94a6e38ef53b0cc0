// Sending requests: the frames on the wire and the log lines of the four
// senders, the certificate dialog, texts too long for the record, and what a
// send does to an exchange in progress.
#include "tests/support/qtest_support.h"
#include "tests/support/window_on_pty.h"
#include "tests/support/wire_bytes.h"

#include "config/config_cell_delegate.h"

#include <QElapsedTimer>
#include <QLineEdit>
#include <QMessageBox>
#include <QSerialPort>
#include <QTemporaryDir>

#include <cstring>
#include <sys/ioctl.h>
#include <sys/stat.h>

namespace {

// The exchange state a send would change, to show that a refused one did not.
struct ExchangeSnapshot {
    explicit ExchangeSnapshot(MainWindow &w)
        : message(reinterpret_cast<const char *>(&Probe::message(w)), int(sizeof(DeviceMessage))),
          txWire(reinterpret_cast<const char *>(Probe::txWire(w)), Probe::txWireLen(w)),
          rxWire(reinterpret_cast<const char *>(Probe::rxWire(w)), Probe::rxWireLen(w)),
          rxState(Probe::rxCodec(w).state), txState(Probe::txCodec(w).state)
    {
    }
    bool operator==(const ExchangeSnapshot &o) const
    {
        return message == o.message && txWire == o.txWire && rxWire == o.rxWire &&
               rxState == o.rxState && txState == o.txState;
    }
    QByteArray message, txWire, rxWire;
    int32_t rxState, txState;
};

// The messages inside the frames of `wire`.
QList<QByteArray> messagesIn(const QByteArray &wire)
{
    QList<QByteArray> messages;
    FrameReader reader;
    for (const char byte : wire) {
        if (reader.feed(uint8_t(byte)) == FrameReader::Event::Message)
            messages << bytesOf(reader.message());
    }
    return messages;
}

QByteArray certificateBytes(int size)
{
    QByteArray bytes(size, '\0');
    for (int i = 0; i < size; ++i)
        bytes[i] = char((i * 7 + 3) & 0xff);
    return bytes;
}

} // namespace

class RequestTransmissionTest : public QObject
{
    Q_OBJECT

private slots:
    void pingAndQueryFrames_data();
    void pingAndQueryFrames();
    void updateSendsTheRecord();
    void updateRefusesTextsThatDoNotFit_data();
    void updateRefusesTextsThatDoNotFit();
    void certificate_data();
    void certificate();
    void cancelledDialogLeavesPartialResponse();
    void sendDropsBytesNotYetRead();
    void quickSendsGoOutWhole_data();
    void quickSendsGoOutWhole();
    void keyboardAlone();
    void sessions_data();
    void sessions();
};

void RequestTransmissionTest::pingAndQueryFrames_data()
{
    QTest::addColumn<QString>("button");
    QTest::addColumn<QStringList>("lines");
    QTest::addColumn<QByteArray>("wire");
    QTest::newRow("ping") << "pingButton"
                          << QStringList{"Sending Ping...",
                                         "Sent 8 bytes fe 04 00 00 00 00 00 04\r\n"
                                         "Ping sent.  Listening for response..."}
                          << QByteArray::fromHex("fe04000000000004");
    QTest::newRow("query") << "queryButton"
                           << QStringList{"Sending Config Query...",
                                          "Sent 8 bytes: fe 04 00 02 00 00 00 06\r\n"
                                          "Config Query sent.  Listening for response..."}
                           << QByteArray::fromHex("fe04000200000006");
}

void RequestTransmissionTest::pingAndQueryFrames()
{
    QFETCH(QString, button);
    QFETCH(QStringList, lines);
    QFETCH(QByteArray, wire);
    WindowOnPty link(failTest);
    QVERIFY(link.pickPty());
    click(link.window->findChild<QPushButton *>(button));
    QCOMPARE(link.logFrom(1), lines);
    QCOMPARE(link.pty.read(wire.size()), wire);
    QCOMPARE(Probe::rxWireLen(*link.window), uint16_t(0));
}

void RequestTransmissionTest::updateSendsTheRecord()
{
    WindowOnPty link(failTest);
    QVERIFY(link.pickPty());
    fillValidValues(*link.window);
    QVERIFY(link.ui().updateButton->isEnabled());
    click(link.ui().updateButton);

    const QByteArray wire = link.pty.read(MSG_LEN_CONFIG_UPDATE_REQUEST + 4);
    const QList<QByteArray> messages = messagesIn(wire);
    QCOMPARE(messages.size(), 1);
    const QByteArray &sent = messages[0];
    QCOMPARE(sent.size(), int(MSG_LEN_CONFIG_UPDATE_REQUEST));
    QCOMPARE(sent.left(4), QByteArray::fromHex("04000000"));
    DeviceConfig config;
    std::memcpy(&config, sent.constData() + 4, sizeof config);
    QCOMPARE(int(config.smtpPort), 587);
    QCOMPARE(int(config.hostnameLength), 5);
    QCOMPARE(QByteArray(config.hostname, 6), QByteArray("dev-1", 6));

    QCOMPARE(link.logFrom(1), (QStringList{"Sending Config Update...",
                                           sentLine("Sent %1 bytes", wire, "Config Update")}));
}

void RequestTransmissionTest::updateRefusesTextsThatDoNotFit_data()
{
    QTest::addColumn<QString>("row");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QStringList>("lines"); // empty: the update is sent

    const QString e = QString::fromUtf8("\xc3\xa9"); // two bytes in UTF-8
    QTest::newRow("description of 255 bytes")
        << "Description" << QString(255, 'd')
        << QStringList{"Description is too long: 255 bytes, at most 254 fit."};
    QTest::newRow("description of 254 bytes") << "Description" << e.repeated(127) << QStringList{};
    QTest::newRow("wifi password of 40 characters, 80 bytes")
        << "Wifi Password" << e.repeated(40)
        << QStringList{"Wifi Password is too long: 80 bytes, at most 63 fit."};
    QTest::newRow("email password of 51 characters, 101 bytes")
        << "Email Password" << e.repeated(50) + "x"
        << QStringList{"Email Password is too long: 101 bytes, at most 100 fit."};
}

void RequestTransmissionTest::updateRefusesTextsThatDoNotFit()
{
    QFETCH(QString, row);
    QFETCH(QString, text);
    QFETCH(QStringList, lines);
    WindowOnPty link(failTest);
    QVERIFY(link.pickPty());
    fillValidValues(*link.window);
    link.setValue(row, text);
    QVERIFY2(link.ui().updateButton->isEnabled(), "the value passes validation");
    const ExchangeSnapshot before(*link.window);
    const int logSize = link.log().size();

    click(link.ui().updateButton);
    if (lines.isEmpty()) {
        QCOMPARE(link.logFrom(logSize).value(0), "Sending Config Update...");
        const QList<QByteArray> messages = messagesIn(link.pty.read(MSG_LEN_CONFIG_UPDATE_REQUEST));
        QCOMPARE(messages.size(), 1);
        QVERIFY(messages[0].contains(text.toUtf8()));
    } else {
        QCOMPARE(link.logFrom(logSize), lines);
        QVERIFY(ExchangeSnapshot(*link.window) == before);
        QCOMPARE(link.pty.pending(), QByteArray());
    }
}

void RequestTransmissionTest::certificate_data()
{
    // bytes of the file; -1: dialog cancelled; -2: a file that opens but
    // fails to read; -3: a FIFO, which nobody writes to
    QTest::addColumn<int>("size");
    QTest::addColumn<bool>("vanishes");
    QTest::addColumn<QString>("refusal"); // the line instead of a send, %1 the path

    QTest::newRow("cancelled") << -1 << false << QString();
    QTest::newRow("unreadable") << 10 << true << "Cannot open certificate file %1: ";
    QTest::newRow("read error") << -2 << false << "Cannot read certificate file %1: ";
    QTest::newRow("named pipe") << -3 << false
                                << "Cannot open certificate file %1: not a regular file";
    QTest::newRow("empty") << 0 << false << "Cannot read certificate file %1: the file is empty";
    QTest::newRow("1000 bytes") << 1000 << false << QString();
    QTest::newRow("8192 bytes") << 8192 << false << QString();
    QTest::newRow("8193 bytes") << 8193 << false
                                << "Certificate file %1 is larger than 8192 bytes; nothing sent.";
}

void RequestTransmissionTest::certificate()
{
    QFETCH(int, size);
    QFETCH(bool, vanishes);
    QFETCH(QString, refusal);
    WindowOnPty link(failTest);
    QVERIFY(link.pickPty());
    click(link.ui().pingButton);
    const QByteArray pingWire = link.pty.read(8);
    QTemporaryDir dir;
    const QString path = size == -2 ? "/proc/self/mem" : dir.filePath("device.pem");
    const QByteArray content = certificateBytes(qMax(size, 0));
    if (size == -3)
        QCOMPARE(::mkfifo(QFile::encodeName(path).constData(), 0600), 0);
    else if (size != -2)
        writeFile(path, content);

    if (size == -1) {
        whenFileDialogShows([](QFileDialog *dialog) { dialog->reject(); });
    } else {
        whenFileDialogShows([path, vanishes](QFileDialog *dialog) {
            // Gone between the choice and the opening.
            if (vanishes)
                QObject::connect(dialog, &QFileDialog::fileSelected,
                                 [](const QString &chosen) { QFile::remove(chosen); });
            openInFileDialog(dialog, path);
        });
    }
    const ExchangeSnapshot before(*link.window);
    const int logSize = link.log().size();
    click(link.ui().uploadCertButton);
    const QStringList added = link.logFrom(logSize);

    if (size < 0 || !refusal.isEmpty()) {
        QVERIFY(ExchangeSnapshot(*link.window) == before);
        QCOMPARE(link.pty.pending(), QByteArray());
        if (size == -1) {
            QCOMPARE(added, QStringList());
        } else {
            QCOMPARE(added.size(), 1);
            QVERIFY2(added[0].startsWith(refusal.arg(path)), qPrintable(added[0]));
        }
        return;
    }
    const QByteArray wire = link.pty.read(size + 10);
    const QList<QByteArray> messages = messagesIn(wire);
    QCOMPARE(messages.size(), 1);
    const QByteArray expected =
        QByteArray::fromHex("08000000") + char(size & 0xff) + char(size >> 8) + content;
    QCOMPARE(messages[0], expected);
    QCOMPARE(added, (QStringList{"Sending Certificate Upload...",
                                 sentLine("Sent %1 bytes", wire, "Certificate Upload")}));
}

void RequestTransmissionTest::cancelledDialogLeavesPartialResponse()
{
    WindowOnPty link(failTest);
    QVERIFY(link.pickPty());
    click(link.ui().pingButton);
    link.pty.read(8);
    link.pty.write(kPingOkFrame.left(5));
    QTRY_COMPARE(Probe::rxWireLen(*link.window), uint16_t(5));

    whenFileDialogShows([](QFileDialog *dialog) { dialog->reject(); });
    click(link.ui().uploadCertButton);
    link.pty.write(kPingOkFrame.mid(5));
    QTRY_COMPARE(link.logFrom(3), (QStringList{readLine(kPingOkFrame), "Ping returned 0"}));
}

void RequestTransmissionTest::sendDropsBytesNotYetRead()
{
    WindowOnPty link(failTest);
    QVERIFY(link.pickPty());
    QSerialPort *port = Probe::serialPort(*link.window);
    const QByteArray stale = QByteArray::fromHex("fe08000500000007000000") + char(0x14);
    link.pty.write(stale);
    // Without letting the window read.
    QVERIFY(waitUntil(
        [port, &stale] {
            int waiting = 0;
            ioctl(int(port->handle()), FIONREAD, &waiting);
            return waiting >= stale.size();
        },
        kPatienceMs, Waiting::Polling));

    click(link.ui().pingButton);
    QCOMPARE(link.pty.read(8), kPingRequestFrame);
    link.pty.write(kPingOkFrame);
    QTRY_COMPARE(link.logFrom(1), (QStringList{"Sending Ping...",
                                               sentLine("Sent %1 bytes", kPingRequestFrame, "Ping"),
                                               readLine(kPingOkFrame), "Ping returned 0"}));
}

void RequestTransmissionTest::quickSendsGoOutWhole_data()
{
    QTest::addColumn<int>("certificateSize"); // of the first send; 0: a Ping
    QTest::newRow("two pings") << 0;
    // Every byte escaped: a 16 KB frame, more than the terminal takes before
    // the device reads, so the Ping finds the system's buffer full.
    QTest::newRow("certificate, then ping") << 8192;
}

void RequestTransmissionTest::quickSendsGoOutWhole()
{
    QFETCH(int, certificateSize);
    WindowOnPty link(failTest);
    QVERIFY(link.pickPty());
    QTemporaryDir dir;
    const QString path = dir.filePath("device.pem");
    QByteArray first = messageOf(MSG_PING_REQUEST);
    if (certificateSize > 0) {
        const QByteArray certificate = QByteArray("\xc0\xfd\xfe").repeated(3000).left(8192);
        writeFile(path, certificate);
        chooseInFileDialog(path);
        first = messageOf(MSG_CERT_UPLOAD_REQUEST, QByteArray::fromHex("0020") + certificate);
    }
    click(certificateSize > 0 ? link.ui().uploadCertButton : link.ui().pingButton);
    // The device has read nothing yet when the second send starts: the first
    // frame still goes out whole, and the Ping follows it.
    click(link.ui().pingButton);

    QByteArray wire;
    auto received = [&]() { return messagesIn(wire += link.pty.pending()); };
    QTRY_COMPARE_WITH_TIMEOUT(received(), (QList<QByteArray>{first, messageOf(0)}), kPatienceMs);
    const QStringList log = link.logFrom(1);
    QCOMPARE(log.size(), 4);
    QCOMPARE(log[3], sentLine("Sent %1 bytes", frameOf(messageOf(0)), "Ping"));
    QCOMPARE(Probe::txWireLen(*link.window), uint16_t(8));
}

// A technician without a mouse: Tab leaves the table and reaches each
// enabled control in the order they stand on screen, and the keys named in
// the buttons' tooltips send what the buttons send. Update first takes the
// value still being edited, and sends nothing if that value is wrong.
void RequestTransmissionTest::keyboardAlone()
{
    WindowOnPty link(failTest);
    QVERIFY(link.pickPty());
    fillValidValues(*link.window);
    QApplication::setActiveWindow(link.window.get());
    QVERIFY(QTest::qWaitForWindowActive(link.window.get()));
    const WindowWidgets ui = link.ui();
    ui.tableWidget->setFocus();
    ui.tableWidget->setCurrentCell(RowHostname, 0);
    QTest::keyClick(ui.tableWidget, Qt::Key_Down);
    QCOMPARE(ui.tableWidget->currentRow(), int(RowDescription));
    // The selector is locked while its port is open, so Tab passes it by.
    const QList<QWidget *> order{ui.logTableWidget, ui.pingButton,       ui.queryButton,
                                 ui.updateButton,   ui.uploadCertButton, ui.tableWidget};
    for (QWidget *next : order) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        QCOMPARE(QApplication::focusWidget(), next);
    }
    QTest::keyClick(ui.tableWidget, Qt::Key_Backtab);
    QCOMPARE(QApplication::focusWidget(), ui.uploadCertButton);

    QVERIFY(ui.pingButton->toolTip().endsWith("(F5)") &&
            ui.updateButton->toolTip().endsWith("(F7)"));
    QTest::keyClick(link.window.get(), Qt::Key_F5);
    QCOMPARE(link.pty.read(8), kPingRequestFrame);
    QTest::keyClick(link.window.get(), Qt::Key_F6);
    QCOMPARE(link.pty.read(8), kQueryRequestFrame);
    for (const char *hostname : {"-unit", "unit-42"}) {
        ui.tableWidget->setCurrentCell(RowHostname, 0);
        QTest::keyClick(ui.tableWidget, Qt::Key_F2);
        auto *editor = qobject_cast<QLineEdit *>(QApplication::focusWidget());
        QVERIFY(editor);
        editor->selectAll();
        QTest::keyClicks(editor, hostname);
        QTest::keyClick(editor, Qt::Key_F7);
    }
    // The wrong host name was not sent; the mended one was, as typed.
    const QList<QByteArray> update = messagesIn(link.pty.read(MSG_LEN_CONFIG_UPDATE_REQUEST + 4));
    QCOMPARE(update.size(), 1);
    QVERIFY(update[0].contains(QByteArray("\x07unit-42\0", 9)));

    QTemporaryDir dir;
    writeFile(dir.filePath("device.pem"), "PEM");
    chooseInFileDialog(dir.filePath("device.pem"));
    QTest::keyClick(link.window.get(), Qt::Key_F8);
    QCOMPARE(messagesIn(link.pty.read(13)),
             QList<QByteArray>{messageOf(MSG_CERT_UPLOAD_REQUEST, QByteArray("\x03\0PEM", 5))});
}

void RequestTransmissionTest::sessions_data()
{
    // Steps: "Ping" or "Query" pressed; "pong" or "config", the device's answer
    // to it (a configuration with Hostname unit-7); "wait N", until N ms after
    // the last send; "quiet", no notice before 2 s; "row=text" typed;
    // "valid", valid values typed; "Update" pressed. Then the window is asked
    // to close.
    QTest::addColumn<QStringList>("steps");
    QTest::addColumn<QStringList>("lines"); // the log's results, notices and replacements
    QTest::addColumn<int>("answer");        // to the close question; NoButton: none may be asked
    const auto row = [](const char *name, const QStringList &steps, const QStringList &lines,
                        int answer = QMessageBox::NoButton) {
        QTest::newRow(name) << steps << lines << answer;
    };
    const QString notice = "No answer from the device after 2 s: check the cable and the port";
    const QString returned = "Config Query returned 0";
    const QString replaced = "%1: the device's value replaced what was typed";
    const QStringList typed{"Hostname=unit-9"};
    row("answered at once", {"Ping", "pong", "wait 2500"}, {"Ping returned 0"});
    row("answered after the notice", {"Ping", "wait 1900", "quiet", "wait 2500", "pong"},
        {notice, "Ping returned 0"});
    row("sent again before the 2 s", {"Ping", "wait 1000", "Ping", "wait 1900", "quiet"}, {notice});
    row("typed during a query", {"Query", "SSID=mine", "Hostname=mine", "config"},
        {returned, replaced.arg("Hostname"), replaced.arg("SSID")});
    row("typed before the query", {"Hostname=mine", "Query", "config"}, {returned});
    row("typed what the device holds", {"Hostname=unit-7", "Query", "SSID=field-lab", "config"},
        {returned});
    row("nothing typed", {}, {});
    row("typed, Cancel", typed, {}, QMessageBox::Cancel);
    row("typed, Close", typed, {}, QMessageBox::Close);
    row("typed and put back", typed + QStringList{"Hostname="}, {});
    row("sent with an Update", {"valid", "Update"}, {});
}

// What the technician is told and asked, as a session with the device goes.
void RequestTransmissionTest::sessions()
{
    QFETCH(QStringList, steps);
    QFETCH(QStringList, lines);
    QFETCH(int, answer);
    WindowOnPty link(failTest);
    QVERIFY(link.pickPty());
    QTableWidget *table = link.ui().tableWidget;
    const QByteArray config = frameOf(messageOf(MSG_CONFIG_QUERY_RESPONSE, le32(0)) +
                                      recordBytes(configWithHostname("unit-7")));
    const QRegularExpression told("returned|No answer|replaced");
    QElapsedTimer sinceSend;
    for (const QString &step : steps) {
        const int ms = step.section(' ', 1).toInt();
        if (step == "Ping" || step == "Query" || step == "Update") {
            click(link.window->findChild<QPushButton *>(step.toLower() + "Button"));
            sinceSend.start();
        } else if (step == "pong" || step == "config") {
            link.pty.write(step == "pong" ? kPingOkFrame : config);
            QTRY_VERIFY(!link.log().filter("returned").isEmpty());
        } else if (step.startsWith("wait")) {
            QTest::qWait(qMax(0, ms - int(sinceSend.elapsed())));
        } else if (step == "quiet") {
            QVERIFY(link.log().filter(told).isEmpty() || sinceSend.elapsed() >= 2000);
        } else if (step == "valid") {
            fillValidValues(*link.window);
        } else {
            link.setValue(step.section('=', 0, 0), step.section('=', 1));
        }
    }
    QTRY_COMPARE(link.log().filter(told), lines);

    QString question;
    QTimer::singleShot(0, [&] {
        if (auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget())) {
            question = box->text();
            QAbstractButton *button = box->button(QMessageBox::StandardButton(answer));
            button ? button->click() : box->reject();
        }
    });
    QCOMPARE(link.window->close(), answer != QMessageBox::Cancel);
    QCoreApplication::processEvents();
    QCOMPARE(question, answer == QMessageBox::NoButton
                           ? QString()
                           : "Some values have not been sent to the device. Close anyway?");
    // The rows not sent say so.
    const auto *cells = qobject_cast<ConfigCellDelegate *>(table->itemDelegate());
    QCOMPARE(cells->toolTip(table->model()->index(RowHostname, 0))
                 .contains("\nNot sent to the device yet\n"),
             answer != QMessageBox::NoButton);
}

QTEST_MAIN(RequestTransmissionTest)
#include "request_transmission_test.moc"
