// Receiving responses: what the log shows for each kind of frame the device
// may send, in one piece or several, and what a Config Query response does to
// the table.
#include "tests/support/qtest_support.h"
#include "tests/support/window_on_pty.h"
#include "tests/support/wire_bytes.h"

namespace {

QByteArray statusFrame(uint32_t id, int32_t status)
{
    return frameOf(messageOf(id, le32(status)));
}

// A frame whose message has `id` and `length` bytes in all.
QByteArray sizedFrame(uint32_t id, int length)
{
    return frameOf(messageOf(id, QByteArray(length - 4, '\0')));
}

QByteArray queryResponseFrame(int32_t status, const DeviceConfig &config)
{
    return frameOf(messageOf(MSG_CONFIG_QUERY_RESPONSE, le32(status)) + recordBytes(config));
}

} // namespace

class ReceivePathTest : public QObject
{
    Q_OBJECT

private slots:
    void responses_data();
    void responses();
    void configQueryResponseFillsTableWhateverStatus_data();
    void configQueryResponseFillsTableWhateverStatus();
    void bytesBeforeTheFirstSend();
    void receivedBytesRecordStopsAt65535();
};

void ReceivePathTest::responses_data()
{
    QTest::addColumn<QByteArrayList>("pieces");
    QTest::addColumn<QStringList>("lines");

    QTest::newRow("ping, status 0")
        << QByteArrayList{kPingOkFrame} << QStringList{readLine(kPingOkFrame), "Ping returned 0"};
    const QByteArray minusOne = QByteArray::fromHex("fe080001000000ffffffff05");
    QTest::newRow("ping, status -1")
        << QByteArrayList{minusOne} << QStringList{readLine(minusOne), "Ping returned -1"};
    const QByteArray lowest = statusFrame(MSG_PING_RESPONSE, INT32_MIN);
    QTest::newRow("ping, status -2147483648")
        << QByteArrayList{lowest} << QStringList{readLine(lowest), "Ping returned -2147483648"};
    const QByteArray update = statusFrame(MSG_CONFIG_UPDATE_RESPONSE, 3);
    QTest::newRow("config update, status 3")
        << QByteArrayList{update} << QStringList{readLine(update), "Config Update returned 3"};
    const QByteArray upload = statusFrame(MSG_CERT_UPLOAD_RESPONSE, 0);
    QTest::newRow("certificate upload, status 0")
        << QByteArrayList{upload} << QStringList{readLine(upload), "Certificate Upload returned 0"};

    QTest::newRow("three pieces") << QByteArrayList{kPingOkFrame.left(2), kPingOkFrame.mid(2, 5),
                                                    kPingOkFrame.mid(7)}
                                  << QStringList{readLine(kPingOkFrame), "Ping returned 0"};
    const QByteArray stray = QByteArray::fromHex("1122") + kPingOkFrame;
    QTest::newRow("stray bytes before the start")
        << QByteArrayList{stray} << QStringList{readLine(stray), "Ping returned 0"};

    QByteArray broken = kPingOkFrame;
    broken[broken.size() - 1] = 0x0a;
    QTest::newRow("wrong checksum, then a good frame in the same piece")
        << QByteArrayList{broken + kPingOkFrame}
        << QStringList{"Parser error.", readLine(broken + kPingOkFrame), "Ping returned 0"};
    QTest::newRow("two frames in one piece")
        << QByteArrayList{kPingOkFrame + update}
        << QStringList{readLine(kPingOkFrame), "Ping returned 0", readLine(kPingOkFrame + update),
                       "Config Update returned 3"};

    struct Rejected {
        const char *name;
        uint32_t id;
        int length;
        QString line;
    };
    const QString bufferSize = QString::number(FRAME_BUFFER_SIZE);
    const Rejected rejected[] = {
        {"id 7", 7, 8, "Unexpected message id 7"},
        {"id 7, query length", 7, 2323, "Unexpected message id 7"},
        {"id 2", 2, 4, "Unexpected message id 2"},
        {"id ff ff ff ff", 0xffffffffu, 4, "Unexpected message id 4294967295"},
        {"ping of 7 bytes", 1, 7, "Invalid message length 7"},
        {"ping of 9 bytes", 1, 9, "Invalid message length 9"},
        {"ping of 2323 bytes", 1, 2323, "Invalid message length 2323"},
        {"query of 8 bytes", 3, 8, "Invalid message length 8"},
        {"query of 2324 bytes", 3, 2324, "Invalid message length 2324"},
        {"update of 7 bytes", 5, 7, "Invalid message length 7"},
        {"update of 9 bytes", 5, 9, "Invalid message length 9"},
        {"upload of 7 bytes", 9, 7, "Invalid message length 7"},
        {"upload of 9 bytes", 9, 9, "Invalid message length 9"},
        // Longer than the message record: only what fits is kept, the
        // length is reported as it was.
        {"query longer than the record", 3, FRAME_BUFFER_SIZE,
         "Invalid message length " + bufferSize},
        {"id 7 longer than the record", 7, FRAME_BUFFER_SIZE, "Unexpected message id 7"},
    };
    for (const Rejected &r : rejected) {
        const QByteArray frame = sizedFrame(r.id, r.length);
        QTest::newRow(r.name) << QByteArrayList{frame} << QStringList{readLine(frame), r.line};
    }
}

void ReceivePathTest::responses()
{
    QFETCH(QByteArrayList, pieces);
    QFETCH(QStringList, lines);
    WindowOnPty link(failTest);
    QVERIFY(link.pickPty());
    click(link.ui().pingButton);
    link.pty.read(8);

    int received = 0;
    for (const QByteArray &piece : pieces) {
        link.pty.write(piece);
        received += piece.size();
        // Each piece is read before the next one arrives.
        QTRY_COMPARE_WITH_TIMEOUT(int(Probe::rxWireLen(*link.window)), received, kPatienceMs);
    }
    QTRY_COMPARE_WITH_TIMEOUT(link.logFrom(3), lines, kPatienceMs);
    // Only an accepted Config Query response touches the table.
    QCOMPARE(link.value("SMTP Port"), QString());
}

void ReceivePathTest::configQueryResponseFillsTableWhateverStatus_data()
{
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("hostname");
    QTest::addColumn<QString>("hostnameInfo");
    QTest::addColumn<bool>("updateEnabled");

    QTest::newRow("status 0, valid") << 0 << QByteArray("unit-7") << QString() << true;
    QTest::newRow("status 5, valid") << 5 << QByteArray("unit-7") << QString() << true;
    QTest::newRow("status -2, hostname diagnosed")
        << -2 << QByteArray("-unit")
        << "Hostname must be 63 characters or less, alphanumeric or hyphen.  Cannot start with a "
           "hyphen."
        << false;
}

void ReceivePathTest::configQueryResponseFillsTableWhateverStatus()
{
    QFETCH(int, status);
    QFETCH(QByteArray, hostname);
    QFETCH(QString, hostnameInfo);
    QFETCH(bool, updateEnabled);
    const DeviceConfig config = configWithHostname(hostname);

    WindowOnPty link(failTest);
    QVERIFY(link.pickPty());
    click(link.ui().queryButton);
    link.pty.read(8);
    const QByteArray frame = queryResponseFrame(status, config);
    link.pty.write(frame);
    QTRY_COMPARE_WITH_TIMEOUT(
        link.logFrom(3),
        (QStringList{readLine(frame), QStringLiteral("Config Query returned %1").arg(status)}),
        kPatienceMs);

    QCOMPARE(link.value("Hostname"), QString::fromUtf8(hostname));
    QCOMPARE(link.value("SMTP Server Name"), QString::fromUtf8(config.smtpServerName));
    QCOMPARE(link.value("SMTP Port"), QString::number(config.smtpPort));
    QCOMPARE(link.value("Addressee 1"), QString::fromUtf8(config.addressee1));
    // The filled values were validated.
    QCOMPARE(link.info(0), hostnameInfo);
    for (int row = 1; row < 13; ++row)
        QCOMPARE(link.info(row), QString());
    QCOMPARE(link.ui().updateButton->isEnabled(), updateEnabled);
}

void ReceivePathTest::bytesBeforeTheFirstSend()
{
    WindowOnPty link(failTest);
    QVERIFY(link.pickPty());
    link.pty.write(kPingOkFrame);
    QTRY_COMPARE_WITH_TIMEOUT(
        link.logFrom(1), (QStringList{readLine(kPingOkFrame), "Ping returned 0"}), kPatienceMs);
}

void ReceivePathTest::receivedBytesRecordStopsAt65535()
{
    WindowOnPty link(failTest);
    QVERIFY(link.pickPty());
    click(link.ui().pingButton);
    link.pty.read(8);
    // Bytes outside a frame are skipped by the decoder but still recorded.
    link.pty.write(QByteArray(70000, 0x11) + kPingOkFrame);
    QTRY_COMPARE_WITH_TIMEOUT(link.logFrom(3).size(), 2, kPatienceMs);
    const QStringList lines = link.logFrom(3);
    QCOMPARE(lines[0], readLine(QByteArray(65535, 0x11)));
    QCOMPARE(lines[1], "Ping returned 0");
    QCOMPARE(int(Probe::rxWireLen(*link.window)), 65535);
}

QTEST_MAIN(ReceivePathTest)
#include "receive_path_test.moc"
