// Receiving responses: what the log shows for each kind of frame the device
// may send, in one piece or several, and what a Config Query response does to
// the table.
#include "tests/device/device_bench.h"

#include <cstring>

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
    return frameOf(messageOf(MSG_CONFIG_QUERY_RESPONSE, le32(status)) +
                   QByteArray(reinterpret_cast<const char *>(&config), int(sizeof config)));
}

const QByteArray pingOk = QByteArray::fromHex("fe0800010000000000000009");

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
        << QByteArrayList{pingOk} << QStringList{readLine(pingOk), "Ping returned 0"};
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

    QTest::newRow("three pieces") << QByteArrayList{pingOk.left(2), pingOk.mid(2, 5), pingOk.mid(7)}
                                  << QStringList{readLine(pingOk), "Ping returned 0"};
    const QByteArray stray = QByteArray::fromHex("1122") + pingOk;
    QTest::newRow("stray bytes before the start")
        << QByteArrayList{stray} << QStringList{readLine(stray), "Ping returned 0"};

    QByteArray broken = pingOk;
    broken[broken.size() - 1] = 0x0a;
    QTest::newRow("wrong checksum, then a good frame in the same piece")
        << QByteArrayList{broken + pingOk}
        << QStringList{"Parser error.", readLine(broken + pingOk), "Ping returned 0"};
    QTest::newRow("two frames in one piece")
        << QByteArrayList{pingOk + update}
        << QStringList{readLine(pingOk), "Ping returned 0", readLine(pingOk + update),
                       "Config Update returned 3"};

    struct Rejected {
        const char *name;
        uint32_t id;
        int length;
        QString line;
    };
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
        {"query longer than the record", 3, 8202, "Invalid message length 8202"},
        {"id 7 longer than the record", 7, 8202, "Unexpected message id 7"},
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
    DeviceBench bench;
    bench.pickPty();
    bench.click(bench.ui().pingButton);
    bench.pty.read(8);

    int received = 0;
    for (const QByteArray &piece : pieces) {
        bench.pty.write(piece);
        received += piece.size();
        // Each piece is read before the next one arrives.
        QTRY_COMPARE_WITH_TIMEOUT(int(Probe::rxWireLen(*bench.window)), received, kPatienceMs);
    }
    QTRY_COMPARE_WITH_TIMEOUT(bench.logFrom(3), lines, kPatienceMs);
    // Only an accepted Config Query response touches the table.
    QCOMPARE(bench.value("SMTP Port"), QString());
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
    DeviceConfig config = devsim::defaultConfig();
    std::memset(config.hostname, 0, sizeof config.hostname);
    std::memcpy(config.hostname, hostname.constData(), size_t(hostname.size()));
    config.hostnameLength = uint8_t(hostname.size());

    DeviceBench bench;
    bench.pickPty();
    bench.click(bench.ui().queryButton);
    bench.pty.read(8);
    const QByteArray frame = queryResponseFrame(status, config);
    bench.pty.write(frame);
    QTRY_COMPARE_WITH_TIMEOUT(
        bench.logFrom(3),
        (QStringList{readLine(frame), QStringLiteral("Config Query returned %1").arg(status)}),
        kPatienceMs);

    QCOMPARE(bench.value("Hostname"), QString::fromUtf8(hostname));
    QCOMPARE(bench.value("SMTP Server Name"), QString::fromUtf8(config.smtpServerName));
    QCOMPARE(bench.value("SMTP Port"), QString::number(config.smtpPort));
    QCOMPARE(bench.value("Addressee 1"), QString::fromUtf8(config.addressee1));
    // The filled values were validated.
    QCOMPARE(bench.info(0), hostnameInfo);
    for (int row = 1; row < 13; ++row)
        QCOMPARE(bench.info(row), QString());
    QCOMPARE(bench.ui().updateButton->isEnabled(), updateEnabled);
}

void ReceivePathTest::bytesBeforeTheFirstSend()
{
    DeviceBench bench;
    bench.pickPty();
    bench.pty.write(pingOk);
    QTRY_COMPARE_WITH_TIMEOUT(bench.logFrom(1), (QStringList{readLine(pingOk), "Ping returned 0"}),
                              kPatienceMs);
}

void ReceivePathTest::receivedBytesRecordStopsAt65535()
{
    DeviceBench bench;
    bench.pickPty();
    bench.click(bench.ui().pingButton);
    bench.pty.read(8);
    // Bytes outside a frame are skipped by the decoder but still recorded.
    bench.pty.write(QByteArray(70000, 0x11) + pingOk);
    QTRY_COMPARE_WITH_TIMEOUT(bench.logFrom(3).size(), 2, kPatienceMs);
    const QStringList lines = bench.logFrom(3);
    QCOMPARE(lines[0], readLine(QByteArray(65535, 0x11)));
    QCOMPARE(lines[1], "Ping returned 0");
    QCOMPARE(int(Probe::rxWireLen(*bench.window)), 65535);
}

QTEST_MAIN(ReceivePathTest)
#include "receive_path_test.moc"
