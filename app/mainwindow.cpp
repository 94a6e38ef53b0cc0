#include "app/mainwindow.h"
#include "app/log_remeasurer.h"
#include "device/extra_ports.h"
#include "ui_mainwindow.h"

#include <QHeaderView>
#include <QResizeEvent>
#include <QSerialPort>
#include <QSignalBlocker>
#include <QTableWidgetItem>

namespace {

constexpr int kConfigColumnWidth = 320;
constexpr int kConfigRowHeight = 20;
// The log column spans the window less the frame, margins and scroll bar.
constexpr int kLogWidthAllowance = 37;

} // namespace

// The exchange state is value-initialised so that a byte received before the
// first send lands at position 0 of rxWire and every buffer starts at zero.
MainWindow::MainWindow(QWidget *parent)
    : QMainWindow(parent), ui(new Ui::MainWindow), serialPort(nullptr), message{}, rxFrameBuffer{},
      txFrameBuffer{}, rxCodec{}, txCodec{}, rxWire{}, txWire{}, rxWireLen(0), txWireLen(0),
      logRemeasurer(nullptr)
{
    // setupUi connects the slots by name, so the table and the selector filled
    // below already reach their slots; both ignore what construction produces.
    ui->setupUi(this);

    columnHeaderLabels << QStringLiteral("Values") << QStringLiteral("Info");
    rowHeaderLabels << QStringLiteral("Hostname") << QStringLiteral("Description")
                    << QStringLiteral("SSID") << QStringLiteral("Wifi Password")
                    << QStringLiteral("SMTP Server Name") << QStringLiteral("SMTP Port")
                    << QStringLiteral("Email Account") << QStringLiteral("Email Password")
                    << QStringLiteral("Addressee 1") << QStringLiteral("Addressee 2")
                    << QStringLiteral("Addressee 3") << QStringLiteral("Addressee 4")
                    << QStringLiteral("Addressee 5");

    QTableWidget *table = ui->tableWidget;
    table->setColumnCount(columnHeaderLabels.size());
    table->setRowCount(rowHeaderLabels.size());
    table->setHorizontalHeaderLabels(columnHeaderLabels);
    table->setVerticalHeaderLabels(rowHeaderLabels);
    table->setColumnWidth(0, kConfigColumnWidth);
    table->setColumnWidth(1, kConfigColumnWidth);

    ui->logTableWidget->setVerticalScrollMode(QAbstractItemView::ScrollPerPixel);
    logRemeasurer = new LogRemeasurer(ui->logTableWidget);

    for (int i = 0; i < rowHeaderLabels.size(); ++i) {
        table->setRowHeight(i, kConfigRowHeight);

        // The value item goes in before the Info item: the validation slot
        // ignores a row without Info item, so nothing is diagnosed here.
        auto *valueItem = new QTableWidgetItem(QString());
        valueItem->setFlags(Qt::ItemIsSelectable | Qt::ItemIsEditable | Qt::ItemIsEnabled);
        valueItem->setTextAlignment(Qt::AlignLeft);
        table->setItem(i, 0, valueItem);

        auto *infoItem = new QTableWidgetItem(QString());
        infoItem->setFlags(Qt::ItemIsSelectable | Qt::ItemIsEnabled);
        infoItem->setTextAlignment(Qt::AlignLeft);
        table->setItem(i, 1, infoItem);

        rowIndexByName.insert(rowHeaderLabels.at(i), i);
    }

    // Selector index i >= 1 stands for portInfoList element i - 1.
    portInfoList = QSerialPortInfo::availablePorts();
    ui->serialPortComboBox->addItem(QStringLiteral("<no port selected>"));
    for (const QSerialPortInfo &info : qAsConst(portInfoList))
        ui->serialPortComboBox->addItem(info.portName());
    // Then the ports the system does not list; their text is their path.
    ui->serialPortComboBox->addItems(extraPortPaths());

    frame_init(&rxCodec, rxFrameBuffer, FRAME_BUFFER_SIZE);
    frame_init(&txCodec, txFrameBuffer, FRAME_BUFFER_SIZE);

    serialPort = nullptr;
}

MainWindow::~MainWindow()
{
    // The port goes first, so it is closed while the window still exists.
    if (serialPort) {
        serialPort->close();
        delete serialPort;
        serialPort = nullptr;
    }
    // It follows the log's scroll bar, so it goes before the log does.
    delete logRemeasurer;
    delete ui;
}

void MainWindow::resizeEvent(QResizeEvent *event)
{
    {
        // The re-measuring below brings the view up to date; the table's own
        // answer to the new column width would paint the whole log a second time.
        const QSignalBlocker quiet(ui->logTableWidget->horizontalHeader());
        ui->logTableWidget->horizontalHeader()->setDefaultSectionSize(event->size().width() -
                                                                      kLogWidthAllowance);
    }
    // Wrapped entries change height with the column width. Measuring a long log
    // takes seconds, so only the rows around the view are measured now and the
    // others on later event-loop turns.
    logRemeasurer->remeasure();
}

void MainWindow::appendLog(QString text)
{
    QTableWidget *log = ui->logTableWidget;
    log->insertRow(log->rowCount());
    const int last = log->rowCount() - 1;
    log->setItem(last, 0, new QTableWidgetItem(text));
    // Only the new row is measured, so an entry costs the same however long the log is.
    log->resizeRowToContents(last);
    log->scrollToBottom();
}

void MainWindow::appendHexDump(const QString &headerTemplate, const uint8_t *bytes, uint16_t count,
                               const QString &trailer)
{
    appendLog(hexDumpEntry(headerTemplate, bytes, count, trailer));
}

QString hexDumpEntry(const QString &headerTemplate, const uint8_t *bytes, uint16_t count,
                     const QString &trailer)
{
    static const char16_t kHexDigits[] = u"0123456789abcdef";

    // The count goes into the header alone, so nothing appended later is ever
    // taken for a placeholder.
    QString entry = headerTemplate.arg(count);
    const int headerLength = entry.size();
    entry.reserve(headerLength + 3 * int(count) + trailer.size());
    entry.resize(headerLength + 3 * int(count));
    QChar *out = entry.data() + headerLength;
    for (uint16_t i = 0; i < count; ++i) {
        const uint8_t byte = bytes[i];
        *out++ = QLatin1Char(' ');
        *out++ = QChar(kHexDigits[byte >> 4]);
        *out++ = QChar(kHexDigits[byte & 0x0f]);
    }
    entry += trailer;
    return entry;
}
