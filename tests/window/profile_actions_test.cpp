// The technician's files from the window: a profile opened into the table or
// refused, a profile saved exactly as kestroctl reads it, and the log saved
// with the time of each entry.
#include "tests/support/devsim_process.h"
#include "tests/support/qtest_support.h"
#include "tests/support/window_on_pty.h"
#include "tests/support/wire_bytes.h"

#include <QAction>
#include <QClipboard>
#include <QDateTime>
#include <QMimeData>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QUrl>
#include <QtTest>

#include <fcntl.h>
#include <future>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace {

QAction *windowAction(MainWindow &window, const char *name)
{
    auto *action = window.findChild<QAction *>(QLatin1String(name));
    if (!action)
        qFatal("the window has no action %s", name);
    return action;
}

QByteArray contents(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// Runs kestroctl to its end: its standard output, or "exit N" if it failed.
QByteArray kestroctl(const QStringList &arguments)
{
    QProcess process;
    process.start(QStringLiteral(KESTROCTL_PATH), arguments);
    if (!process.waitForFinished(20000) || process.exitCode() != 0)
        return "exit " + QByteArray::number(process.exitCode()) + process.readAllStandardError();
    return process.readAllStandardOutput();
}

// Gives the FIFO a writer after 8 s unless the test is done first: a window
// that waits for one takes that long then, instead of forever.
struct LateFifoWriter {
    explicit LateFifoWriter(const QString &fifo) : path(QFile::encodeName(fifo)) {}
    ~LateFifoWriter()
    {
        done.set_value();
        writer.join();
    }
    QByteArray path;
    std::promise<void> done;
    std::thread writer{[this, later = done.get_future()] {
        if (later.wait_for(std::chrono::seconds(8)) == std::future_status::timeout)
            ::close(::open(path.constData(), O_WRONLY | O_NONBLOCK));
    }};
};

void drop(MainWindow &window, const QStringList &paths)
{
    QMimeData mime;
    QList<QUrl> urls;
    for (const QString &path : paths)
        urls << QUrl::fromLocalFile(path);
    mime.setUrls(urls);
    QDragEnterEvent enter(QPoint(5, 5), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QDropEvent drop(QPointF(5, 5), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(&window, &enter);
    QApplication::sendEvent(&window, &drop);
}

} // namespace

class ProfileActionsTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void openProfileBeforeAPortIsChosen();
    void savedProfileIsWhatKestroctlReads();
    void savedLogHasEachEntryWithItsTime();
    void fileWords_data();
    void fileWords();

private:
    // Every file dialog is answered with answer_ and noted in asked_.
    void answerDialogs(MainWindow &window);
    QTableWidget *log(MainWindow &window) { return Probe::ui(window).logTableWidget; }
    QString lastLogLine(MainWindow &window)
    {
        return log(window)->item(log(window)->rowCount() - 1, 0)->text();
    }

    QTemporaryDir dir_;
    QString answer_;
    QStringList asked_;
};

void ProfileActionsTest::initTestCase()
{
    QVERIFY(dir_.isValid());
    // Three and a half hours west of UTC, with no summer time: the saved
    // log's offset is neither Z nor a whole number of hours.
    qputenv("TZ", "XST+03:30");
}

void ProfileActionsTest::answerDialogs(MainWindow &window)
{
    Probe::answerFileDialogs(window, [this](const QString &title, const QString &filter, bool) {
        asked_ << title + QStringLiteral(" | ") + filter;
        return answer_;
    });
}

void ProfileActionsTest::openProfileBeforeAPortIsChosen()
{
    MainWindow window;
    answerDialogs(window);
    const WindowWidgets ui = Probe::ui(window);
    QCOMPARE(ui.tableWidget->contextMenuPolicy(), Qt::ActionsContextMenu);
    QCOMPARE(ui.tableWidget->actions(),
             (QList<QAction *>{windowAction(window, "actionOpenProfile"),
                               windowAction(window, "actionSaveProfile")}));
    Probe::valueItem(window, "SSID")->setText("kept");

    answer_ = dir_.filePath("partial.json");
    writeFile(answer_, R"({"hostname": "unit-7", "wifi_password": "secret", "smtp_server":
                           "mail.example.com", "smtp_port": 26, "addressee_1": "ops@example.com"})");
    windowAction(window, "actionOpenProfile")->trigger();
    QCOMPARE(asked_, QStringList{"Open Profile | Profiles (*.json);;All files (*)"});
    QCOMPARE(log(window)->columnCount(), 1);
    QCOMPARE(lastLogLine(window), "Profile " + answer_ + ": 5 values set.");
    QCOMPARE(Probe::valueItem(window, "Hostname")->text(), QString("unit-7"));
    QCOMPARE(Probe::valueItem(window, "SMTP Port")->text(), QString("26"));
    QCOMPARE(Probe::valueItem(window, "SSID")->text(), QString("kept"));
    QCOMPARE(ui.tableWidget->item(RowSmtpPort, 1)->text(),
             QString("Valid values are 25, 465, 587, and 2525"));
    QCOMPARE(ui.tableWidget->item(RowEmailAccount, 1)->text(),
             QString("Email address not specified."));

    // Refused whole: the hostname it gives is not taken either.
    answer_ = dir_.filePath("unknown-key.json");
    writeFile(answer_, R"({"hostname": "unit-8", "host": "x"})");
    windowAction(window, "actionOpenProfile")->trigger();
    QVERIFY2(lastLogLine(window).startsWith("Cannot open profile " + answer_ +
                                            ": unknown key \"host\" (the keys are hostname, "),
             qPrintable(lastLogLine(window)));
    QCOMPARE(Probe::valueItem(window, "Hostname")->text(), QString("unit-7"));
    // A number beyond the parser's range is refused the same way, and the
    // window lives on.
    answer_ = dir_.filePath("overflow.json");
    writeFile(answer_, R"({"hostname": "unit-9", "smtp_port": 1e999})");
    windowAction(window, "actionOpenProfile")->trigger();
    QCOMPARE(lastLogLine(window),
             "Cannot open profile " + answer_ + ": smtp_port: number out of range");
    QCOMPARE(Probe::valueItem(window, "Hostname")->text(), QString("unit-7"));

    // Saving waits until the first diagnosed row is mended; Cancel does nothing.
    answer_ = dir_.filePath("not-saved.json");
    windowAction(window, "actionSaveProfile")->trigger();
    QCOMPARE(lastLogLine(window),
             QString("Cannot save profile: SMTP Port: Valid values are 25, 465, 587, and 2525"));
    QVERIFY(!QFile::exists(answer_));
    const int entries = log(window)->rowCount();
    answer_.clear();
    windowAction(window, "actionOpenProfile")->trigger();
    windowAction(window, "actionSaveLog")->trigger();
    QCOMPARE(log(window)->rowCount(), entries);

    // A profile dropped on the window is opened as well.
    const QString mend = dir_.filePath("mend.json");
    writeFile(mend, R"({"smtp_port": 587, "email_account": "tech@example.com"})");
    QMimeData mime;
    mime.setUrls({QUrl::fromLocalFile(mend)});
    QDragEnterEvent enter(QPoint(5, 5), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(&window, &enter);
    QVERIFY(enter.isAccepted());
    QDropEvent drop(QPointF(5, 5), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(&window, &drop);
    QCOMPARE(lastLogLine(window), "Profile " + mend + ": 2 values set.");
    QCOMPARE(ui.tableWidget->item(RowSmtpPort, 1)->text(), QString());
    QCOMPARE(ui.tableWidget->item(RowEmailAccount, 1)->text(), QString());
}

void ProfileActionsTest::savedProfileIsWhatKestroctlReads()
{
    MainWindow window;
    answerDialogs(window);
    fillValidValues(window);
    Probe::valueItem(window, "Description")->setText("Dachgerät \"41\" \\ north");
    // Without a server the port is not judged; the device holds 0 for none.
    for (const char *row : {"SMTP Server Name", "SMTP Port", "Email Account"})
        Probe::valueItem(window, row)->setText(QString());
    answer_ = dir_.filePath("saved.json");
    windowAction(window, "actionSaveProfile")->trigger();
    QCOMPARE(lastLogLine(window), "Profile saved to " + answer_ + ".");
    QCOMPARE(QFile(answer_).permissions() & 0x0077, QFileDevice::Permissions());

    DevsimProcess sim;
    QVERIFY(sim.start());
    QVERIFY(!kestroctl({"-p", sim.portPath(), "write", answer_}).startsWith("exit"));
    QCOMPARE(kestroctl({"-p", sim.portPath(), "read"}), contents(answer_));
}

void ProfileActionsTest::savedLogHasEachEntryWithItsTime()
{
    WindowOnPty link(failTest);
    answerDialogs(*link.window);
    QAction *saveLog = windowAction(*link.window, "actionSaveLog");
    QVERIFY(!saveLog->isEnabled());
    QVERIFY(link.pickPty());
    QVERIFY(saveLog->isEnabled());
    const qint64 afterPick = QDateTime::currentMSecsSinceEpoch();
    click(link.ui().pingButton);
    QCOMPARE(link.pty.read(8), kPingRequestFrame);
    link.pty.write(kPingOkFrame);
    QTRY_COMPARE(link.logLine(link.logRows() - 1), QString("Ping returned 0"));
    // The times are those of the entries, not of the saving.
    QTRY_VERIFY(QDateTime::currentMSecsSinceEpoch() > afterPick);
    const QStringList entries = link.log();
    link.ui().logTableWidget->selectAll();
    link.window->findChild<QAction *>("actionCopyLog")->trigger();
    QCOMPARE(QGuiApplication::clipboard()->text(), entries.join('\n').replace("\r\n", "\n") + '\n');

    answer_ = dir_.filePath("session.log");
    saveLog->trigger();
    QCOMPARE(asked_.last(), QString("Save Log | Text files (*.txt *.log);;All files (*)"));
    QCOMPARE(link.logLine(link.logRows() - 1),
             QString("Log saved to %1 (%2 entries).").arg(answer_).arg(entries.size()));

    const QString saved = QString::fromUtf8(contents(answer_));
    const QRegularExpression time(
        QStringLiteral("\\G\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d\\.\\d{3}-03:30 "));
    int at = 0;
    qint64 previous = 0;
    for (const QString &entry : entries) {
        const QRegularExpressionMatch match = time.match(saved, at);
        QVERIFY2(match.hasMatch(), qPrintable(saved.mid(at, 80)));
        const qint64 ms = QDateTime::fromString(match.captured().trimmed(), Qt::ISODateWithMs)
                              .toMSecsSinceEpoch();
        QVERIFY(ms >= previous && ms > afterPick - 60000);
        // The port's entry came before the mark, so it does not show the save's time.
        QVERIFY(previous > 0 || ms <= afterPick);
        previous = ms;
        at = match.capturedEnd();
        const QString text = QString(entry).replace("\r\n", "\n") + '\n';
        QCOMPARE(saved.mid(at, text.size()), text);
        at += text.size();
    }
    QCOMPARE(at, saved.size());
    QVERIFY(previous <= QDateTime::currentMSecsSinceEpoch());
}

void ProfileActionsTest::fileWords_data()
{
    QTest::addColumn<QString>("how");       // open, drop, save profile, save log
    QTest::addColumn<QStringList>("names"); // in the test's folder; "|" marks a FIFO
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QString>("line"); // the log's last line, %1 the first file's path

    const QString dropOne = "Drop one .json profile to open it";
    const QString notRegular = "Cannot open profile %1: not a regular file";
    QTest::newRow("one value") << "open" << QStringList{"1.json"} << QByteArray(R"({"ssid": "x"})")
                               << "Profile %1: 1 value set.";
    QTest::newRow("not JSON, with its place")
        << "open" << QStringList{"bad.json"} << QByteArray("{\n  \"ssid\": x\n}")
        << "Cannot open profile %1: not valid JSON at line 2, column 11";
    QTest::newRow("port with an exponent")
        << "open" << QStringList{"e.json"} << QByteArray(R"({"smtp_port": 5.87e2})")
        << "Cannot open profile %1: key \"smtp_port\" must be a whole number, written without a "
           "fraction or an exponent";
    QTest::newRow("named pipe") << "open" << QStringList{"|p.json"} << QByteArray() << notRegular;
    QTest::newRow("named pipe dropped")
        << "drop" << QStringList{"|p.json"} << QByteArray() << notRegular;
    QTest::newRow("text dropped") << "drop" << QStringList{"a.txt"} << QByteArray() << dropOne;
    QTest::newRow("two dropped") << "drop" << QStringList{"a.json", "b.json"} << QByteArray()
                                 << dropOne;
    QTest::newRow("profile saved")
        << "save profile" << QStringList{"site"} << QByteArray() << "Profile saved to %1.json.";
    // After one entry: the refusal of a drop.
    QTest::newRow("log saved") << "save log" << QStringList{"session"} << QByteArray()
                               << "Log saved to %1.log (1 entry).";
}

void ProfileActionsTest::fileWords()
{
    QFETCH(QString, how);
    QFETCH(QStringList, names);
    QFETCH(QByteArray, content);
    QFETCH(QString, line);
    MainWindow window;
    answerDialogs(window);
    fillValidValues(window);
    QTemporaryDir dir;
    QStringList paths;
    for (const QString &name : names) {
        paths << dir.filePath(QString(name).remove('|'));
        if (name.startsWith('|'))
            QCOMPARE(::mkfifo(QFile::encodeName(paths.last()).constData(), 0600), 0);
        else if (how == "open")
            writeFile(paths.last(), content);
    }
    answer_ = paths.first();
    const LateFifoWriter writer(answer_);
    QElapsedTimer clock;
    clock.start();
    if (how == "open")
        windowAction(window, "actionOpenProfile")->trigger();
    else if (how == "drop")
        drop(window, paths);
    else if (how == "save profile")
        windowAction(window, "actionSaveProfile")->trigger();
    else {
        drop(window, {dir.filePath("a.txt")});
        windowAction(window, "actionSaveLog")->trigger();
    }
    QVERIFY2(clock.elapsed() < 8000, "the window waited for the FIFO's writer");
    QCOMPARE(lastLogLine(window), line.contains("%1") ? line.arg(answer_) : line);
    if (how.startsWith("save"))
        QVERIFY(QFile::exists(answer_ + (how == "save log" ? ".log" : ".json")));
}

QTEST_MAIN(ProfileActionsTest)
#include "profile_actions_test.moc"
