// The configuration record and the table: buildConfig byte for byte,
// showConfig row by row, and the round trip record -> table -> record.
#include "tests/support/main_window_probe.h"

#include <QTableWidget>
#include <QVariantMap>
#include <QtTest>

#include <cstring>
#include <memory>

namespace {

constexpr int kRecordSize = 2315;
constexpr int kUpdateRecordOffset = 4; // in a Config Update request
constexpr int kQueryRecordOffset = 8;  // in a Config Query response, after the status
constexpr int kPortOffset = 0;

// The record's text fields as the device lays them out: the length byte, then
// the array. Written out here rather than taken from the code under test.
struct TextField {
    const char *row;
    int lengthOffset;
    int arraySize;
};
const TextField kTextFields[] = {
    {"Hostname", 2, 64},          {"Description", 67, 255},       {"SSID", 323, 32},
    {"Wifi Password", 356, 64},   {"SMTP Server Name", 421, 255}, {"Email Account", 677, 255},
    {"Email Password", 933, 101}, {"Addressee 1", 1035, 255},     {"Addressee 2", 1291, 255},
    {"Addressee 3", 1547, 255},   {"Addressee 4", 1803, 255},     {"Addressee 5", 2059, 255}};

const TextField &field(const char *row)
{
    for (const TextField &f : kTextFields) {
        if (std::strcmp(f.row, row) == 0)
            return f;
    }
    qFatal("no text field %s", row);
}

QByteArray emptyRecord()
{
    return QByteArray(kRecordSize, '\0');
}

// Puts bytes into a field's array and the given value into its length byte
// (the byte count unless told otherwise).
void putText(QByteArray &record, const char *row, const QByteArray &bytes, int lengthByte = -1)
{
    const TextField &f = field(row);
    record[f.lengthOffset] = char(lengthByte < 0 ? bytes.size() : lengthByte);
    record.replace(f.lengthOffset + 1, bytes.size(), bytes);
}

void putPort(QByteArray &record, quint16 port)
{
    record[kPortOffset] = char(port & 0xff);
    record[kPortOffset + 1] = char(port >> 8);
}

QByteArray utf8(const QString &text)
{
    return text.toUtf8();
}

// The whole message with a fill byte, so that writes outside the record show.
std::unique_ptr<DeviceMessage> filledMessage(char fill)
{
    auto message = std::make_unique<DeviceMessage>();
    std::memset(message.get(), fill, sizeof(DeviceMessage));
    return message;
}

QByteArray bytesOf(const DeviceMessage &message, int offset, int size)
{
    return QByteArray(reinterpret_cast<const char *>(&message) + offset, size);
}

std::unique_ptr<DeviceMessage> queryResponse(const QByteArray &record, char fill)
{
    auto message = filledMessage(fill);
    message->msgId = MSG_CONFIG_QUERY_RESPONSE;
    message->payload.configQueryResponse.status = 0;
    std::memcpy(reinterpret_cast<char *>(message.get()) + kQueryRecordOffset, record.constData(),
                kRecordSize);
    return message;
}

} // namespace

class ConfigMappingTest : public QObject
{
    Q_OBJECT

private slots:
    void buildConfig_data();
    void buildConfig();
    void showConfig_data();
    void showConfig();
    void showConfigValidatesChangedRowsOnly();
    void roundTrip_data();
    void roundTrip();
};

void ConfigMappingTest::buildConfig_data()
{
    QTest::addColumn<QVariantMap>("cells");
    QTest::addColumn<QByteArray>("expected");

    QByteArray record = emptyRecord();
    QTest::newRow("all cells empty") << QVariantMap() << record;

    record = emptyRecord();
    putPort(record, 25);
    QTest::newRow("only the port, 25") << QVariantMap{{"SMTP Port", "25"}} << record;

    record = emptyRecord();
    putText(record, "Hostname", "dev-1");
    QTest::newRow("hostname dev-1") << QVariantMap{{"Hostname", "dev-1"}} << record;

    record = emptyRecord();
    putPort(record, 587);
    QTest::newRow("port 587") << QVariantMap{{"SMTP Port", "587"}} << record;
    record = emptyRecord();
    putPort(record, 65535);
    QTest::newRow("port 65535") << QVariantMap{{"SMTP Port", "65535"}} << record;
    QTest::newRow("port abc") << QVariantMap{{"SMTP Port", "abc"}} << emptyRecord();
    QTest::newRow("port 70000") << QVariantMap{{"SMTP Port", "70000"}} << emptyRecord();

    record = emptyRecord();
    putText(record, "Description", QByteArray::fromHex("c3a9"));
    QTest::newRow("description e-acute") << QVariantMap{{"Description", "\u00e9"}} << record;

    record = emptyRecord();
    putText(record, "Addressee 5", "ops@example.com");
    QTest::newRow("last field of the record")
        << QVariantMap{{"Addressee 5", "ops@example.com"}} << record;

    // Every text at the most its array holds.
    QVariantMap full;
    record = emptyRecord();
    for (const TextField &f : kTextFields) {
        const QByteArray text(f.arraySize - 1, char('a' + (f.lengthOffset % 26)));
        full.insert(f.row, QString::fromLatin1(text));
        putText(record, f.row, text);
    }
    full.insert("SMTP Port", "2525");
    putPort(record, 2525);
    QTest::newRow("every array full") << full << record;

    // Texts too long for their arrays are cut at the last whole character.
    record = emptyRecord();
    putText(record, "Description", QByteArray(254, 'd'));
    QTest::newRow("ASCII over the limit")
        << QVariantMap{{"Description", QString(300, 'd')}} << record;
    record = emptyRecord();
    putText(record, "Hostname", utf8(QString(31, QChar(0xe9))));
    QTest::newRow("two-byte characters, cut would split one")
        << QVariantMap{{"Hostname", QString(40, QChar(0xe9))}} << record;
    record = emptyRecord();
    putText(record, "Hostname", utf8("a" + QString(31, QChar(0xe9))));
    QTest::newRow("two-byte characters, cut on a boundary")
        << QVariantMap{{"Hostname", "a" + QString(40, QChar(0xe9))}} << record;
    record = emptyRecord();
    putText(record, "Email Password", utf8(QString(33, QChar(0x20ac))));
    QTest::newRow("three-byte characters")
        << QVariantMap{{"Email Password", QString(40, QChar(0x20ac))}} << record;
    const QString grinning = QString::fromUtf8("\xf0\x9f\x98\x80");
    record = emptyRecord();
    putText(record, "SSID", utf8(grinning.repeated(7)));
    QTest::newRow("four-byte characters") << QVariantMap{{"SSID", grinning.repeated(10)}} << record;
}

void ConfigMappingTest::buildConfig()
{
    QFETCH(QVariantMap, cells);
    QFETCH(QByteArray, expected);

    MainWindow window;
    for (auto it = cells.cbegin(); it != cells.cend(); ++it)
        Probe::valueItem(window, it.key())->setText(it.value().toString());

    auto message = filledMessage(char(0xAA));
    Probe::buildConfig(window, *message);

    QCOMPARE(bytesOf(*message, 0, 4), QByteArray::fromHex("04000000"));
    const QByteArray record = bytesOf(*message, kUpdateRecordOffset, kRecordSize);
    QCOMPARE(record.toHex(), expected.toHex());
    // Nothing past the record is written.
    const int tail = int(sizeof(DeviceMessage)) - kUpdateRecordOffset - kRecordSize;
    QCOMPARE(bytesOf(*message, kUpdateRecordOffset + kRecordSize, tail),
             QByteArray(tail, char(0xAA)));
}

void ConfigMappingTest::showConfig_data()
{
    QTest::addColumn<QByteArray>("record");
    QTest::addColumn<QString>("row");
    QTest::addColumn<QString>("shown");

    QByteArray record = emptyRecord();
    putText(record, "Hostname", QByteArray("abc\0xyz", 7), 9);
    QTest::newRow("text ends at its NUL, whatever the length says") << record << "Hostname"
                                                                    << "abc";

    record = emptyRecord();
    putText(record, "Hostname", "dev-1", 0);
    QTest::newRow("length byte 0 is not read") << record << "Hostname"
                                               << "dev-1";

    record = emptyRecord();
    putText(record, "Hostname", QByteArray(64, 'h'));
    putText(record, "Description", "tail", 'X');
    QTest::newRow("no NUL: cut at the array's end") << record << "Hostname" << QString(64, 'h');

    record = emptyRecord();
    putText(record, "Addressee 5", QByteArray(255, 'z'));
    QTest::newRow("no NUL in the record's last array")
        << record << "Addressee 5" << QString(255, 'z');

    record = emptyRecord();
    putText(record, "SSID", QByteArray("\xff\xfeok"));
    QTest::newRow("invalid UTF-8")
        << record << "SSID" << QString::fromUtf8("\xef\xbf\xbd\xef\xbf\xbdok");

    record = emptyRecord();
    putText(record, "Wifi Password", QByteArray(63, 'p') + '\xc3');
    QTest::newRow("character cut by the array's end")
        << record << "Wifi Password" << QString(63, 'p') + QChar(0xfffd);

    record = emptyRecord();
    putText(record, "Description", QByteArray::fromHex("c3a9"));
    QTest::newRow("two-byte character") << record << "Description" << QString(QChar(0xe9));

    record = emptyRecord();
    QTest::newRow("port 0") << record << "SMTP Port"
                            << "0";
    putPort(record, 587);
    QTest::newRow("port 587") << record << "SMTP Port"
                              << "587";
    putPort(record, 65535);
    QTest::newRow("port 65535") << record << "SMTP Port"
                                << "65535";
}

void ConfigMappingTest::showConfig()
{
    QFETCH(QByteArray, record);
    QFETCH(QString, row);
    QFETCH(QString, shown);

    MainWindow window;
    // Bytes around the record that must never show up in a text.
    auto message = queryResponse(record, 'Q');
    Probe::showConfig(window, *message);
    QCOMPARE(Probe::valueItem(window, row)->text(), shown);
}

// Only rows whose text changes are validated; a row that receives the text it
// already holds keeps whatever its Info cell says.
void ConfigMappingTest::showConfigValidatesChangedRowsOnly()
{
    MainWindow window;
    QTableWidget *table = Probe::ui(window).tableWidget;
    QByteArray record = emptyRecord();
    putText(record, "Hostname", "-dev");
    putPort(record, 26);

    auto message = queryResponse(record, '\0');
    Probe::showConfig(window, *message);

    QCOMPARE(table->item(0, 1)->text(),
             QString("Hostname must be 63 characters or less, alphanumeric or hyphen.  "
                     "Cannot start with a hyphen."));
    // SSID stays empty, so it is not validated again and gets no mandatory diagnosis.
    QCOMPARE(table->item(2, 1)->text(), QString());
    // The port is not checked without a server name.
    QCOMPARE(table->item(5, 0)->text(), QString("26"));
    QCOMPARE(table->item(5, 1)->text(), QString());
}

void ConfigMappingTest::roundTrip_data()
{
    QTest::addColumn<QByteArray>("sent");     // as the device sends it
    QTest::addColumn<QByteArray>("expected"); // as the tool packs it again

    QByteArray sent = emptyRecord();
    QByteArray expected = emptyRecord();
    QTest::newRow("empty record") << sent << expected;

    const QList<QPair<const char *, QByteArray>> texts = {
        {"Hostname", "dev-1"},
        {"Description", utf8(QString::fromUtf8("Pump house \xc3\xa9st, \xe2\x82\xac 3"))},
        {"SSID", "plant net_2.4"},
        {"Wifi Password", "s3cr3t!"},
        {"SMTP Server Name", "mail.example.com"},
        {"Email Account", "tech@example.com"},
        {"Email Password", "p@ss word"},
        {"Addressee 1", "ops@example.com"},
        {"Addressee 3", "night-shift@example.com"},
        {"Addressee 5", "o'hara@example.org"}};
    sent = emptyRecord();
    expected = emptyRecord();
    for (const auto &text : texts) {
        putText(sent, text.first, text.second, 0xEE); // a length byte nobody reads
        putText(expected, text.first, text.second);
    }
    putPort(sent, 587);
    putPort(expected, 587);
    QTest::newRow("typical configuration") << sent << expected;

    sent = emptyRecord();
    expected = emptyRecord();
    for (const TextField &f : kTextFields) {
        // Two-byte characters filling the array up to its last whole character.
        const QByteArray text = QByteArray::fromHex("c3b6").repeated((f.arraySize - 1) / 2) +
                                QByteArray((f.arraySize - 1) % 2, 'x');
        putText(sent, f.row, text, 0);
        putText(expected, f.row, text);
    }
    putPort(sent, 65535);
    putPort(expected, 65535);
    QTest::newRow("every array full") << sent << expected;
}

void ConfigMappingTest::roundTrip()
{
    QFETCH(QByteArray, sent);
    QFETCH(QByteArray, expected);

    MainWindow window;
    auto response = queryResponse(sent, '\0');
    Probe::showConfig(window, *response);

    auto request = filledMessage(char(0x55));
    Probe::buildConfig(window, *request);
    QCOMPARE(bytesOf(*request, kUpdateRecordOffset, kRecordSize).toHex(), expected.toHex());
}

QTEST_MAIN(ConfigMappingTest)
#include "config_mapping_test.moc"
