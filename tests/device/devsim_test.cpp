// The device simulator: its answers and its faults, first through its core,
// then as the program on its pseudo-terminal.
#include "tests/support/devsim_process.h"
#include "tests/support/qtest_support.h"
#include "tests/support/wire_bytes.h"
#include "tools/devsim/simulator.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>

#include <csignal>
#include <cstring>

Q_DECLARE_METATYPE(devsim::Faults)

namespace {

QByteArray handled(devsim::Simulator &simulator, const QByteArray &request,
                   QString *problem = nullptr)
{
    const devsim::Outcome outcome = simulator.handle(
        reinterpret_cast<const uint8_t *>(request.constData()), size_t(request.size()));
    if (problem)
        *problem = QString::fromStdString(outcome.problem);
    return bytesOf(outcome.response);
}

QByteArray updateRequest(const DeviceConfig &config)
{
    return messageOf(MSG_CONFIG_UPDATE_REQUEST, recordBytes(config));
}

// A state file: the fresh device's values under the hostname "unit-2".
const QByteArray kUnit2State =
    R"({"hostname": "unit-2", "description": "Simulated Kestro 3 on the bench",
    "ssid": "field-lab", "wifi_password": "correct horse battery", "smtp_server": "mail.example.com",
    "smtp_port": 587, "email_account": "kestro@example.com", "email_password": "s3cret-mail",
    "addressee_1": "technician@example.com", "addressee_2": "", "addressee_3": "", "addressee_4": "",
    "addressee_5": ""})";

QString hostnameIn(const QString &stateFile)
{
    QFile file(stateFile);
    file.open(QIODevice::ReadOnly);
    return QJsonDocument::fromJson(file.readAll()).object().value("hostname").toString();
}

} // namespace

class DevsimTest : public QObject
{
    Q_OBJECT

private slots:
    void defaultConfigIsTrusted();
    void answers_data();
    void answers();
    void updateIsStoredAndQueriedBack();
    void messageFaults_data();
    void messageFaults();
    void badChecksumFailsTheFrame_data();
    void badChecksumFailsTheFrame();
    void splitInto_data();
    void splitInto();

    void programAnswersOnItsPort_data();
    void programAnswersOnItsPort();
    void programIgnoresWhatItCannotParse();
    void programStaysSilentWhenAsked();
    void programLinksPortAndSavesCertificate();
    void programSwapsUnits_data();
    void programSwapsUnits();
    void programOptions();
};

void DevsimTest::defaultConfigIsTrusted()
{
    QCOMPARE(QString::fromStdString(devsim::configProblem(devsim::defaultConfig())), QString());
}

void DevsimTest::answers_data()
{
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<QByteArray>("response"); // empty: no answer
    QTest::addColumn<bool>("problem");        // a line for standard error

    const QByteArray ok = le32(0);
    QTest::newRow("ping") << messageOf(0) << messageOf(1, ok) << false;
    QTest::newRow("ping of 5 bytes") << messageOf(0, "x") << QByteArray() << true;
    QTest::newRow("query") << messageOf(2)
                           << messageOf(3, ok + recordBytes(devsim::defaultConfig())) << false;
    QTest::newRow("three bytes") << QByteArray("\x02\0\0", 3) << QByteArray() << true;
    QTest::newRow("id 6") << messageOf(6) << QByteArray() << true;
    QTest::newRow("a response id") << messageOf(1, ok) << QByteArray() << true;

    QTest::newRow("update") << updateRequest(configWithHostname("unit-2")) << messageOf(5, ok)
                            << false;
    DeviceConfig lengthDisagrees = configWithHostname("unit-2");
    lengthDisagrees.hostnameLength = 7;
    QTest::newRow("update, length byte disagrees")
        << updateRequest(lengthDisagrees) << messageOf(5, le32(1)) << false;
    DeviceConfig noNul = devsim::defaultConfig();
    std::memset(noNul.ssid, 'a', sizeof noNul.ssid);
    noNul.ssidLength = sizeof noNul.ssid;
    QTest::newRow("update, text without NUL")
        << updateRequest(noNul) << messageOf(5, le32(1)) << false;
    QTest::newRow("update of 2318 bytes")
        << updateRequest(devsim::defaultConfig()).left(2318) << QByteArray() << true;

    QTest::newRow("certificate") << messageOf(8, QByteArray::fromHex("0300") + "abc")
                                 << messageOf(9, ok) << false;
    QTest::newRow("empty certificate")
        << messageOf(8, QByteArray::fromHex("0000")) << messageOf(9, ok) << false;
    QTest::newRow("certificate shorter than announced")
        << messageOf(8, QByteArray::fromHex("0500") + "abc") << QByteArray() << true;
    QTest::newRow("certificate of 8193 bytes")
        << messageOf(8, QByteArray::fromHex("0120") + QByteArray(8193, 'c')) << QByteArray()
        << true;
}

void DevsimTest::answers()
{
    QFETCH(QByteArray, request);
    QFETCH(QByteArray, response);
    QFETCH(bool, problem);
    devsim::Simulator simulator;
    QString why;
    QCOMPARE(handled(simulator, request, &why), response);
    QCOMPARE(!why.isEmpty(), problem);
    if (request.startsWith(messageOf(8)) && !response.isEmpty())
        QCOMPARE(bytesOf(simulator.certificate()), request.mid(6));
}

void DevsimTest::updateIsStoredAndQueriedBack()
{
    devsim::Simulator simulator;
    const DeviceConfig stored = configWithHostname("unit-9");
    handled(simulator, updateRequest(stored));
    DeviceConfig refused = configWithHostname("unit-10");
    refused.hostnameLength = 0;
    QCOMPARE(handled(simulator, updateRequest(refused)), messageOf(5, le32(1)));
    QCOMPARE(handled(simulator, messageOf(2)), messageOf(3, le32(0) + recordBytes(stored)));
}

void DevsimTest::messageFaults_data()
{
    QTest::addColumn<devsim::Faults>("faults");
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<QByteArray>("response");

    devsim::Faults status;
    status.overrideStatus = true;
    status.status = -3;
    QTest::newRow("status -3, ping") << status << messageOf(0) << messageOf(1, le32(-3));
    QTest::newRow("status -3, refused update")
        << status << updateRequest(configWithHostname("")) << messageOf(5, le32(-3));
    devsim::Faults id;
    id.unexpectedId = true;
    QTest::newRow("unexpected id") << id << messageOf(0) << messageOf(7, le32(0));
    devsim::Faults length;
    length.wrongLength = true;
    QTest::newRow("wrong length") << length << messageOf(8, QByteArray(2, '\0'))
                                  << messageOf(9, le32(0)) + '\0';
    devsim::Faults forgetful;
    forgetful.ignoreUpdates = true;
    QTest::newRow("ignore updates")
        << forgetful << updateRequest(configWithHostname("unit-2")) << messageOf(5, le32(0));
}

void DevsimTest::messageFaults()
{
    QFETCH(devsim::Faults, faults);
    QFETCH(QByteArray, request);
    QFETCH(QByteArray, response);
    devsim::Simulator simulator(faults);
    QCOMPARE(handled(simulator, request), response);
    if (faults.ignoreUpdates)
        QCOMPARE(recordBytes(simulator.config()), recordBytes(devsim::defaultConfig()));
}

void DevsimTest::badChecksumFailsTheFrame_data()
{
    QTest::addColumn<int>("status");
    // The checksum of the status frame is 09 plus the status byte.
    QTest::newRow("plain checksum") << 0;
    QTest::newRow("escaped checksum") << 0xf5;       // FE, sent as FD DE
    QTest::newRow("wrong checksum escaped") << 0xb6; // BF, the wrong one C0
}

void DevsimTest::badChecksumFailsTheFrame()
{
    QFETCH(int, status);
    devsim::Faults faults;
    faults.badChecksum = true;
    faults.noise = true;
    const devsim::Simulator simulator(faults);
    const QByteArray message = messageOf(1, le32(status));
    const QByteArray good = frameOf(message);
    const QByteArray bad = bytesOf(
        simulator.frame(devsim::Bytes(message.constData(), message.constData() + message.size())));

    QVERIFY(bad.startsWith(bytesOf(devsim::noiseBytes())));
    // Everything up to the checksum is the good frame's.
    const int checksumAt = good.size() - (good[good.size() - 2] == char(0xfd) ? 2 : 1);
    QCOMPARE(bad.mid(4, checksumAt), good.left(checksumAt));
    FrameReader reader;
    QList<FrameReader::Event> events;
    for (const char byte : bad)
        events << reader.feed(uint8_t(byte));
    QVERIFY(events.last() == FrameReader::Event::Error);
    QVERIFY(!events.contains(FrameReader::Event::Message));
}

void DevsimTest::splitInto_data()
{
    QTest::addColumn<int>("size");
    QTest::addColumn<int>("pieces");
    QTest::addColumn<QList<int>>("sizes");
    QTest::newRow("12 in 3") << 12 << 3 << QList<int>{4, 4, 4};
    QTest::newRow("13 in 3") << 13 << 3 << QList<int>{4, 4, 5};
    QTest::newRow("2 in 5") << 2 << 5 << QList<int>{1, 1};
    QTest::newRow("5 in 1") << 5 << 1 << QList<int>{5};
    QTest::newRow("0 in 3") << 0 << 3 << QList<int>{};
}

void DevsimTest::splitInto()
{
    QFETCH(int, size);
    QFETCH(int, pieces);
    QFETCH(QList<int>, sizes);
    devsim::Bytes bytes(static_cast<size_t>(size));
    for (size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = uint8_t(i);
    QList<int> got;
    devsim::Bytes joined;
    for (const devsim::Bytes &piece : devsim::splitInto(bytes, pieces)) {
        got << int(piece.size());
        joined.insert(joined.end(), piece.begin(), piece.end());
    }
    QCOMPARE(got, sizes);
    QVERIFY(joined == bytes);
}

void DevsimTest::programAnswersOnItsPort_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QByteArray>("wire");

    QByteArray badChecksum = kPingOkFrame;
    badChecksum[badChecksum.size() - 1] = 0x0a;
    QTest::newRow("plain") << QStringList{} << kPingOkFrame;
    QTest::newRow("status -1") << QStringList{"--status", "-1"}
                               << QByteArray::fromHex("fe080001000000ffffffff05");
    QTest::newRow("noise") << QStringList{"--noise"}
                           << bytesOf(devsim::noiseBytes()) + kPingOkFrame;
    QTest::newRow("split") << QStringList{"--split=3"} << kPingOkFrame;
    QTest::newRow("delay") << QStringList{"--delay", "20"} << kPingOkFrame;
    QTest::newRow("bad checksum") << QStringList{"--bad-checksum"} << badChecksum;
    QTest::newRow("unexpected id")
        << QStringList{"--unexpected-id"} << frameOf(messageOf(7, le32(0)));
    QTest::newRow("wrong length") << QStringList{"--wrong-length"}
                                  << frameOf(messageOf(1, le32(0)) + '\0');
}

void DevsimTest::programAnswersOnItsPort()
{
    QFETCH(QStringList, arguments);
    QFETCH(QByteArray, wire);
    DevsimProcess sim;
    QVERIFY2(sim.start(arguments) && sim.openPort(),
             qPrintable(sim.process().readAllStandardError()));
    QVERIFY(sim.send(kPingRequestFrame));
    QCOMPARE(sim.receive(wire.size()), wire);
}

void DevsimTest::programIgnoresWhatItCannotParse()
{
    DevsimProcess sim;
    QVERIFY(sim.start() && sim.openPort());
    // A message too short for an id, then a Ping: only the Ping is answered.
    QVERIFY(sim.send(frameOf(QByteArray(1, 0x07)) + kPingRequestFrame));
    QCOMPARE(sim.receive(kPingOkFrame.size()), kPingOkFrame);
    QByteArray errors;
    QTRY_VERIFY_WITH_TIMEOUT((errors += sim.process().readAllStandardError()).contains("no answer"),
                             kPatienceMs);
}

void DevsimTest::programStaysSilentWhenAsked()
{
    DevsimProcess sim;
    QVERIFY(sim.start({"--silent"}) && sim.openPort());
    QVERIFY(sim.send(kPingRequestFrame));
    QCOMPARE(sim.receive(1, 300), QByteArray());
}

void DevsimTest::programLinksPortAndSavesCertificate()
{
    QTemporaryDir dir;
    const QString link = dir.filePath("kestro-port");
    const QString certOut = dir.filePath("received.pem");
    QVERIFY(QFile::link(dir.filePath("gone"), link)); // left by a simulator that was killed
    DevsimProcess sim;
    QVERIFY(sim.start({"--link", link, "--cert-out", certOut}) && sim.openPort());
    QCOMPARE(QFileInfo(link).symLinkTarget(), sim.portPath());

    QVERIFY(sim.send(frameOf(messageOf(8, QByteArray::fromHex("0500") + "hello"))));
    QCOMPARE(sim.receive(12), frameOf(messageOf(9, le32(0))));
    QFile saved(certOut);
    QVERIFY(saved.open(QIODevice::ReadOnly));
    QCOMPARE(saved.readAll(), QByteArray("hello"));

    // The device plugged in again while the old one still runs: the link
    // moves to the new one, and the old one leaves it there when it stops.
    DevsimProcess replug;
    QVERIFY(replug.start({"--link", link}) && replug.openPort());
    QCOMPARE(QFileInfo(link).symLinkTarget(), replug.portPath());
    QCOMPARE(sim.stop(), 0);
    QCOMPARE(QFileInfo(link).symLinkTarget(), replug.portPath());
    QCOMPARE(replug.stop(), 0);
    QVERIFY(!QFileInfo::exists(link) && !QFileInfo(link).isSymLink());
}

void DevsimTest::programSwapsUnits_data()
{
    QTest::addColumn<QStringList>("gap"); // none: the default, long enough to send into
    QTest::newRow("default gap") << QStringList{};
    QTest::newRow("no gap") << QStringList{"--swap-gap", "0"};
}

void DevsimTest::programSwapsUnits()
{
    QFETCH(QStringList, gap);
    QTemporaryDir dir;
    const QString first = dir.filePath("unit-1.json");
    const QString second = dir.filePath("unit-2.json");
    writeFile(second, kUnit2State);
    DevsimProcess sim;
    QVERIFY(sim.start(gap + QStringList{"--state", first, "--state", second}) && sim.openPort());
    QByteArray errors;
    const auto noted = [&](const QByteArray &note) {
        return waitUntil(
            [&] { return (errors += sim.process().readAllStandardError()).contains(note); });
    };
    const auto swap = [&sim] { return kill(pid_t(sim.process().processId()), SIGUSR1) == 0; };
    const QByteArray updated = frameOf(messageOf(5, le32(0)));
    const auto holding = [](const DeviceConfig &config) {
        return frameOf(messageOf(3, le32(0) + recordBytes(config)));
    };

    QVERIFY(sim.send(frameOf(updateRequest(configWithHostname("unit-1a")))));
    QCOMPARE(sim.receive(updated.size()), updated);
    QCOMPARE(hostnameIn(first), QString("unit-1a"));

    // Nothing sent in the gap is answered, then or later.
    QVERIFY(swap() && noted("unit 1 taken off"));
    if (gap.isEmpty()) {
        QVERIFY(sim.send(kPingRequestFrame + kQueryRequestFrame));
        QCOMPARE(sim.receive(1, 300), QByteArray());
    }
    QVERIFY(noted("unit 2 answers"));
    QVERIFY(sim.send(kQueryRequestFrame + frameOf(updateRequest(configWithHostname("unit-2b")))));
    const QByteArray unit2 = holding(configWithHostname("unit-2")) + updated;
    QCOMPARE(sim.receive(unit2.size()), unit2);
    QCOMPARE(hostnameIn(second), QString("unit-2b"));

    // Past the last file: a fresh device, which writes to neither file.
    QVERIFY(swap() && noted("unit 3 answers, a fresh device without a state file"));
    QVERIFY(sim.send(kQueryRequestFrame + frameOf(updateRequest(configWithHostname("unit-3")))));
    const QByteArray fresh = holding(devsim::defaultConfig()) + updated;
    QCOMPARE(sim.receive(fresh.size()), fresh);
    QCOMPARE(hostnameIn(first) + hostnameIn(second), QString("unit-1aunit-2b"));
}

void DevsimTest::programOptions()
{
    QProcess help;
    help.start(DevsimProcess::programPath(), {"--help"});
    QVERIFY(help.waitForFinished(kPatienceMs));
    QCOMPARE(help.exitCode(), 0);
    const QByteArray text = help.readAllStandardOutput();
    for (const char *option :
         {"--link", "--cert-out", "--swap-gap", "SIGUSR1", "--status", "--split", "--noise",
          "--bad-checksum", "--wrong-length", "--unexpected-id", "--silent", "--delay", "--baud",
          "--hangup-after", "--ignore-updates", "--state", "--help"})
        QVERIFY2(text.contains(option), option);

    const QList<QPair<QStringList, QByteArray>> wrongs = {
        {{"--loud"}, "unknown option --loud"},
        {{"--split", "0"}, "--split needs a number of pieces from 1"},
        {{"--status", "x"}, "--status needs a 32-bit signed number"},
        {{"--delay"}, "--delay needs a value"},
        {{"--baud", "0"}, "--baud needs a rate from 1 to 4000000"},
        {{"--hangup-after=x"}, "--hangup-after needs a count from 1"},
        {{"--noise=1"}, "--noise takes no value"},
        {{"--loud=1"}, "unknown option --loud"},
        {{"--sil"}, "unknown option --sil"}, // no shortened names
        {{"--swap-gap", "-1"}, "--swap-gap needs milliseconds from 0"},
        {{"--state", "a.json", "--state", "b.json", "--state=./a.json"},
         "--state ./a.json is unit 1's file too; each unit needs a file of its own"},
        {{"--silent", "--", "x"}, "unknown option --"}};
    for (const auto &wrong : wrongs) {
        QProcess process;
        process.start(DevsimProcess::programPath(), wrong.first);
        QVERIFY(process.waitForFinished(kPatienceMs));
        QCOMPARE(process.exitCode(), 2);
        QVERIFY(process.readAllStandardOutput().isEmpty());
        QCOMPARE(process.readAllStandardError(),
                 "kestro-devsim: " + wrong.second + "\nTry 'kestro-devsim --help'.\n");
    }

    // A state file that holds no whole configuration, the first unit's or a
    // later one's, is refused before the port appears.
    QTemporaryDir dir;
    const QString bad = dir.filePath("bad.json");
    writeFile(bad, R"({"hostname": "unit-1"})");
    writeFile(dir.filePath("good.json"), kUnit2State);
    for (const QStringList &arguments :
         {QStringList{"--state", bad},
          QStringList{"--state", dir.filePath("good.json"), "--state", bad}}) {
        QProcess stated;
        stated.start(DevsimProcess::programPath(), arguments);
        QVERIFY(stated.waitForFinished(kPatienceMs));
        QCOMPARE(stated.exitCode(), 1);
        QVERIFY(stated.readAllStandardOutput().isEmpty());
        QCOMPARE(QString(stated.readAllStandardError()),
                 QString("kestro-devsim: unit %1: %2: must be one JSON object with the 13 keys of "
                         "the configuration\n")
                     .arg(arguments.size() / 2)
                     .arg(bad));
    }
}

QTEST_MAIN(DevsimTest)
#include "devsim_test.moc"
