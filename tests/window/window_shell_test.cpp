// The window shell: the state right after construction, the form's layout,
// the resize rule of the log column, the activity log and the hex dump.
#include "app/log_remeasurer.h"
#include "tests/support/main_window_probe.h"
#include "tests/support/wait_until.h"

#include <QHeaderView>
#include <QMetaMethod>
#include <QScrollBar>
#include <QSerialPortInfo>
#include <QTableWidget>
#include <QtTest>

#include <cstring>
#include <new>

namespace {

const QStringList kRowNames = {"Hostname",         "Description", "SSID",          "Wifi Password",
                               "SMTP Server Name", "SMTP Port",   "Email Account", "Email Password",
                               "Addressee 1",      "Addressee 2", "Addressee 3",   "Addressee 4",
                               "Addressee 5"};

bool allZero(const void *data, std::size_t size)
{
    const auto *bytes = static_cast<const unsigned char *>(data);
    for (std::size_t i = 0; i < size; ++i) {
        if (bytes[i] != 0)
            return false;
    }
    return true;
}

// Gives the log its one column, as the port selection does when it writes the
// log's first line.
void giveLogItsColumn(MainWindow &window)
{
    Probe::ui(window).logTableWidget->setColumnCount(1);
}

} // namespace

class WindowShellTest : public QObject
{
    Q_OBJECT

private slots:
    void configurationTableAfterConstruction();
    void logAndControlsAfterConstruction();
    void exchangeStateStartsZeroed();
    void slotTableOrder();
    void layoutKeepsTableFixed();
    void resizeSetsLogColumnWidth_data();
    void resizeSetsLogColumnWidth();
    void resizeMeasuresLogRowsAgain();
    void resizeKeepsViewWhileMeasuring_data();
    void resizeKeepsViewWhileMeasuring();
    void appendLogAddsRowsInOrder();
    void appendLogEndsScrolledToNewest();
    void hexDumpEntry_data();
    void hexDumpEntry();
    void appendHexDumpWritesOneEntry();
};

void WindowShellTest::configurationTableAfterConstruction()
{
    MainWindow window;
    QTableWidget *table = Probe::ui(window).tableWidget;

    QCOMPARE(table->rowCount(), 13);
    QCOMPARE(table->columnCount(), 2);
    QCOMPARE(table->horizontalHeaderItem(0)->text(), QString("Values"));
    QCOMPARE(table->horizontalHeaderItem(1)->text(), QString("Info"));
    QCOMPARE(table->columnWidth(0), 320);
    QCOMPARE(table->columnWidth(1), 320);

    // Qt never makes a section smaller than the header's style minimum, which
    // depends on the platform's font; at ordinary font sizes that is below 20.
    const int rowHeight = qMax(20, table->verticalHeader()->minimumSectionSize());
    const Qt::ItemFlags valueFlags = Qt::ItemIsSelectable | Qt::ItemIsEditable | Qt::ItemIsEnabled;
    const Qt::ItemFlags infoFlags = Qt::ItemIsSelectable | Qt::ItemIsEnabled;
    for (int row = 0; row < 13; ++row) {
        QCOMPARE(table->verticalHeaderItem(row)->text(), kRowNames.at(row));
        QCOMPARE(table->rowHeight(row), rowHeight);
        for (int col = 0; col < 2; ++col) {
            const QTableWidgetItem *item = table->item(row, col);
            QVERIFY(item);
            QVERIFY(item->text().isEmpty());
            QCOMPARE(item->textAlignment(), int(Qt::AlignLeft));
            QCOMPARE(item->flags(), col == 0 ? valueFlags : infoFlags);
        }
    }

    const QHash<QString, int> &rows = Probe::rowIndexByName(window);
    QCOMPARE(rows.size(), 13);
    for (int row = 0; row < 13; ++row)
        QCOMPARE(rows.value(kRowNames.at(row), -1), row);
}

void WindowShellTest::logAndControlsAfterConstruction()
{
    MainWindow window;
    const WindowWidgets ui = Probe::ui(window);
    QTableWidget *log = ui.logTableWidget;

    QCOMPARE(window.windowTitle(), QString("Varnak Kestro 3 Commissioning Tool"));
    QCOMPARE(log->rowCount(), 0);
    QCOMPARE(log->columnCount(), 0);
    QVERIFY(log->horizontalHeader()->isHidden());
    QVERIFY(log->verticalHeader()->isHidden());
    QCOMPARE(log->font().family(), QString("Courier"));
    QCOMPARE(log->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);
    QCOMPARE(log->verticalScrollMode(), QAbstractItemView::ScrollPerPixel);

    const QList<QSerialPortInfo> ports = QSerialPortInfo::availablePorts();
    QComboBox *selector = ui.serialPortComboBox;
    QCOMPARE(selector->count(), 1 + ports.size());
    QCOMPARE(selector->itemText(0), QString("<no port selected>"));
    for (int i = 0; i < ports.size(); ++i)
        QCOMPARE(selector->itemText(i + 1), ports.at(i).portName());
    QCOMPARE(selector->currentIndex(), 0);
    QVERIFY(selector->isEnabled());
    QVERIFY(!Probe::serialPort(window));

    const QList<QPair<QPushButton *, QString>> buttons = {
        {ui.pingButton, "Ping"},
        {ui.queryButton, "Query"},
        {ui.updateButton, "Update"},
        {ui.uploadCertButton, "Upload Certificate"}};
    for (const auto &button : buttons) {
        QCOMPARE(button.first->text(), button.second);
        QVERIFY(!button.first->isEnabled());
    }
}

// Built over memory full of garbage, the window still starts with an empty
// exchange: nothing may depend on the allocator handing out zeroed memory.
void WindowShellTest::exchangeStateStartsZeroed()
{
    void *storage = ::operator new(sizeof(MainWindow));
    std::memset(storage, 0xA5, sizeof(MainWindow));
    auto *window = new (storage) MainWindow;

    QCOMPARE(Probe::rxWireLen(*window), uint16_t(0));
    QCOMPARE(Probe::txWireLen(*window), uint16_t(0));
    QVERIFY(allZero(Probe::rxWire(*window), WIRE_BUFFER_SIZE));
    QVERIFY(allZero(Probe::txWire(*window), WIRE_BUFFER_SIZE));
    QVERIFY(allZero(&Probe::message(*window), sizeof(DeviceMessage)));

    const FrameCodec *codecs[] = {&Probe::rxCodec(*window), &Probe::txCodec(*window)};
    const uint8_t *buffers[] = {Probe::rxFrameBuffer(*window), Probe::txFrameBuffer(*window)};
    for (int i = 0; i < 2; ++i) {
        QCOMPARE(codecs[i]->state, int32_t(FRAME_ST_IDLE));
        QCOMPARE(codecs[i]->capacity, FRAME_BUFFER_SIZE);
        QCOMPARE(codecs[i]->buffer, buffers[i]);
        QVERIFY(allZero(buffers[i], FRAME_BUFFER_SIZE));
    }

    window->~MainWindow();
    ::operator delete(storage);
}

// Other code refers to the slots by their index in this order.
void WindowShellTest::slotTableOrder()
{
    MainWindow window;
    const QMetaObject *meta = window.metaObject();
    QStringList slotNames;
    for (int i = meta->methodOffset(); i < meta->methodCount(); ++i) {
        const QMetaMethod method = meta->method(i);
        QCOMPARE(method.methodType(), QMetaMethod::Slot);
        QCOMPARE(method.access(), QMetaMethod::Private);
        slotNames << QString::fromLatin1(method.methodSignature());
    }
    QCOMPARE(slotNames,
             QStringList({"on_serialPortComboBox_currentIndexChanged(int)",
                          "on_pingButton_clicked()", "on_queryButton_clicked()",
                          "on_updateButton_clicked()", "on_readyRead()", "on_msgReady(int)",
                          "on_tableWidget_cellChanged(int,int)", "on_uploadCertButton_clicked()"}));
}

// The configuration table stays 760 x 299 whatever the window's size; the log
// takes every pixel of height that the window gains or loses.
void WindowShellTest::layoutKeepsTableFixed()
{
    MainWindow window;
    const WindowWidgets ui = Probe::ui(window);
    QVERIFY(showExposed(window));

    QCOMPARE(window.size(), QSize(780, 521));
    QCOMPARE(ui.tableWidget->size(), QSize(760, 299));

    // From top to bottom: table, log, button row.
    QVERIFY(ui.logTableWidget->geometry().top() > ui.tableWidget->geometry().bottom());
    QVERIFY(ui.pingButton->geometry().top() > ui.logTableWidget->geometry().bottom());
    // Left to right: selector, gap, three commands, gap, certificate upload.
    QVERIFY(ui.serialPortComboBox->geometry().right() < ui.pingButton->geometry().left());
    QVERIFY(ui.pingButton->geometry().right() < ui.queryButton->geometry().left());
    QVERIFY(ui.queryButton->geometry().right() < ui.updateButton->geometry().left());
    QVERIFY(ui.updateButton->geometry().right() < ui.uploadCertButton->geometry().left());

    const int logHeight = ui.logTableWidget->height();
    window.resize(900, 700);
    QTRY_COMPARE(window.size(), QSize(900, 700));
    QTRY_COMPARE(ui.logTableWidget->height(), logHeight + 179);
    QCOMPARE(ui.tableWidget->size(), QSize(760, 299));

    window.resize(780, 500);
    QTRY_COMPARE(ui.logTableWidget->height(), logHeight - 21);
    QCOMPARE(ui.tableWidget->size(), QSize(760, 299));
}

void WindowShellTest::resizeSetsLogColumnWidth_data()
{
    QTest::addColumn<int>("width");
    QTest::addColumn<int>("columnWidth");
    QTest::newRow("opening width") << 780 << 743;
    QTest::newRow("one pixel wider") << 781 << 744;
    QTest::newRow("wide") << 1200 << 1163;
}

void WindowShellTest::resizeSetsLogColumnWidth()
{
    QFETCH(int, width);
    QFETCH(int, columnWidth);

    MainWindow window;
    QTableWidget *log = Probe::ui(window).logTableWidget;
    QVERIFY(showExposed(window));
    window.resize(width, 521);
    QTRY_COMPARE(log->horizontalHeader()->defaultSectionSize(), columnWidth);

    // A column made later starts at the width of the last resize ...
    giveLogItsColumn(window);
    QCOMPARE(log->columnWidth(0), columnWidth);

    // ... and an existing column follows every resize.
    window.resize(width + 100, 521);
    QTRY_COMPARE(log->columnWidth(0), columnWidth + 100);
}

void WindowShellTest::resizeMeasuresLogRowsAgain()
{
    MainWindow window;
    QTableWidget *log = Probe::ui(window).logTableWidget;
    QVERIFY(showExposed(window));
    giveLogItsColumn(window);

    QStringList words;
    for (int i = 0; i < 80; ++i)
        words << QStringLiteral("word%1").arg(i);
    Probe::appendLog(window, words.join(' '));
    const int narrowHeight = log->rowHeight(0);

    window.resize(1600, 521);
    QTRY_VERIFY(log->rowHeight(0) < narrowHeight);
}

// Every row's height after a resize must be what measuring it afresh gives.
bool rowsMeasured(QTableWidget *log, int first, int last)
{
    for (int row = first; row <= last; ++row) {
        const int height = log->rowHeight(row);
        log->resizeRowToContents(row);
        if (log->rowHeight(row) != height)
            return false;
    }
    return true;
}

void WindowShellTest::resizeKeepsViewWhileMeasuring_data()
{
    QTest::addColumn<bool>("atBottom");
    QTest::addColumn<int>("secondWidth");
    QTest::newRow("at the bottom") << true << 0;
    QTest::newRow("top entry in the middle") << false << 0;
    QTest::newRow("resized again, an entry added") << true << 1200;
    QTest::newRow("in the middle, resized again") << false << 880;
}

// A long log of short lines and dumps is measured again over several turns;
// after each turn the view is where the user left it, and in the end every
// row is as tall as its entry at the last width.
void WindowShellTest::resizeKeepsViewWhileMeasuring()
{
    QFETCH(bool, atBottom);
    QFETCH(int, secondWidth);

    MainWindow window;
    QTableWidget *log = Probe::ui(window).logTableWidget;
    QVERIFY(showExposed(window));
    window.resize(1300, 521);
    QTRY_COMPARE(log->horizontalHeader()->defaultSectionSize(), 1263);
    giveLogItsColumn(window);
    QByteArray bytes(1500, 0);
    for (int i = 0; i < bytes.size(); ++i)
        bytes[i] = char(i * 13);
    const auto *data = reinterpret_cast<const uint8_t *>(bytes.constData());
    // Three in four entries are dumps of 60 to 1459 bytes, which wrap anew at
    // every width.
    for (int i = 0; i < 300; ++i) {
        if (i % 4)
            Probe::appendHexDump(window, "\r\nRead %0 bytes:", data, uint16_t(60 + i * 37 % 1400));
        else
            Probe::appendLog(window, i % 8 ? QStringLiteral("Ping returned %1").arg(i)
                                           : QStringLiteral("Sending Ping...\r\nline %1").arg(i));
    }
    QScrollBar *bar = log->verticalScrollBar();
    if (!atBottom)
        bar->setValue(bar->maximum() / 2);
    QHeaderView *rows = log->verticalHeader();
    const int topRow = rows->logicalIndexAt(0);
    const int logLength = rows->length();
    const auto viewKept = [&] {
        return atBottom ? bar->value() == bar->maximum() : rows->logicalIndexAt(0) == topRow;
    };

    auto *remeasurer = window.findChild<LogRemeasurer *>();
    QVERIFY(remeasurer);
    // A shown window handles its resize at once.
    window.resize(1000, 521);
    QCOMPARE(log->columnWidth(0), 963);
    QVERIFY(remeasurer->isBusy());
    QVERIFY(viewKept());
    // The rows in view are right at once.
    const int lastInView = rows->logicalIndexAt(log->viewport()->height() - 1);
    QVERIFY(rowsMeasured(log, rows->logicalIndexAt(0), lastInView < 0 ? 299 : lastInView));

    QCoreApplication::processEvents();
    QVERIFY(viewKept());
    if (secondWidth) {
        window.resize(secondWidth, 521);
        QCOMPARE(log->columnWidth(0), secondWidth - 37);
        if (atBottom)
            Probe::appendHexDump(window, "Sent %0 bytes", data, 1500);
    }
    for (int turn = 0; remeasurer->isBusy() && turn < 1000000; ++turn) {
        QCoreApplication::processEvents();
        QVERIFY2(viewKept(), qPrintable(QStringLiteral("view moved in turn %1").arg(turn)));
    }
    QVERIFY(!remeasurer->isBusy());
    QVERIFY(rows->length() != logLength);
    QVERIFY(rowsMeasured(log, 0, log->rowCount() - 1));
}

void WindowShellTest::appendLogAddsRowsInOrder()
{
    MainWindow window;
    QTableWidget *log = Probe::ui(window).logTableWidget;
    giveLogItsColumn(window);

    const QStringList entries = {"Sending Ping...", "one line", "first\r\nsecond\r\nthird"};
    for (const QString &entry : entries)
        Probe::appendLog(window, entry);

    QCOMPARE(log->rowCount(), entries.size());
    QCOMPARE(log->columnCount(), 1);
    for (int row = 0; row < entries.size(); ++row) {
        QCOMPARE(log->item(row, 0)->text(), entries.at(row));
        // Log cells are ordinary items: the user may select and edit them.
        QCOMPARE(log->item(row, 0)->flags(), QTableWidgetItem().flags());
    }
    // An entry with line breaks gets a row tall enough for all its lines.
    QVERIFY(log->rowHeight(2) > log->rowHeight(1));
}

void WindowShellTest::appendLogEndsScrolledToNewest()
{
    MainWindow window;
    QTableWidget *log = Probe::ui(window).logTableWidget;
    QVERIFY(showExposed(window));
    giveLogItsColumn(window);

    for (int i = 0; i < 200; ++i)
        Probe::appendLog(window, QStringLiteral("entry %1").arg(i));

    QScrollBar *bar = log->verticalScrollBar();
    QVERIFY(bar->maximum() > 0);
    QCOMPARE(bar->value(), bar->maximum());
    const QModelIndex newest = log->model()->index(199, 0);
    QVERIFY(log->viewport()->rect().intersects(log->visualRect(newest)));
}

void WindowShellTest::hexDumpEntry_data()
{
    QTest::addColumn<QString>("header");
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<int>("count");
    QTest::addColumn<QString>("trailer");
    QTest::addColumn<QString>("expected");

    const QString pingTrailer = "\r\nPing sent.  Listening for response...";
    QTest::newRow("nothing to dump")
        << "Sent %0 bytes" << QByteArray() << 0 << pingTrailer << "Sent 0 bytes" + pingTrailer;
    QTest::newRow("two digits, lower case")
        << "Sent %0 bytes:" << QByteArray::fromHex("000f10ff0afe") << 6 << QString()
        << "Sent 6 bytes: 00 0f 10 ff 0a fe";
    QTest::newRow("receive header starts a new line")
        << "\r\nRead %0 bytes:" << QByteArray::fromHex("fe0800010000000000000009") << 12
        << QString() << "\r\nRead 12 bytes: fe 08 00 01 00 00 00 00 00 00 00 09";
    QTest::newRow("only the first count bytes") << "Sent %0 bytes" << QByteArray::fromHex("010203")
                                                << 2 << QString() << "Sent 2 bytes 01 02";
    QTest::newRow("placeholders after the header stay as they are")
        << "Sent %0 bytes" << QByteArray::fromHex("25") << 1 << " %0 %1 %L2"
        << "Sent 1 bytes 25 %0 %1 %L2";

    QByteArray allValues(256, 0);
    for (int i = 0; i < 256; ++i)
        allValues[i] = char(i);
    QTest::newRow("every byte value")
        << "Sent %0 bytes" << allValues << 256 << pingTrailer
        << "Sent 256 bytes " + QString::fromLatin1(allValues.toHex(' ')) + pingTrailer;

    // The largest count prints plainly, with no digit grouping.
    QByteArray full(65535, 0);
    for (int i = 0; i < full.size(); ++i)
        full[i] = char(i * 7);
    QTest::newRow("largest count")
        << "\r\nRead %0 bytes:" << full << 65535 << QString()
        << "\r\nRead 65535 bytes: " + QString::fromLatin1(full.toHex(' '));
}

void WindowShellTest::hexDumpEntry()
{
    QFETCH(QString, header);
    QFETCH(QByteArray, bytes);
    QFETCH(int, count);
    QFETCH(QString, trailer);
    QFETCH(QString, expected);

    const auto *data = reinterpret_cast<const uint8_t *>(bytes.constData());
    QCOMPARE(::hexDumpEntry(header, data, uint16_t(count), trailer), expected);
}

void WindowShellTest::appendHexDumpWritesOneEntry()
{
    MainWindow window;
    QTableWidget *log = Probe::ui(window).logTableWidget;
    giveLogItsColumn(window);
    Probe::appendLog(window, "Sending Config Query...");

    const uint8_t frame[] = {0xfe, 0x04, 0x00, 0x02, 0x00, 0x00, 0x00, 0x06};
    Probe::appendHexDump(window, "Sent %0 bytes:", frame, 8,
                         "\r\nConfig Query sent.  Listening for response...");

    QCOMPARE(log->rowCount(), 2);
    QCOMPARE(log->item(1, 0)->text(), QString("Sent 8 bytes: fe 04 00 02 00 00 00 06\r\n"
                                              "Config Query sent.  Listening for response..."));
}

QTEST_MAIN(WindowShellTest)
#include "window_shell_test.moc"
