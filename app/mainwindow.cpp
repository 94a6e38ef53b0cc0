#include "app/mainwindow.h"
#include "device/extra_ports.h"
#include "ui_mainwindow.h"

#include <QHeaderView>
#include <QResizeEvent>
#include <QSerialPort>
#include <QTableWidgetItem>

namespace {

// The log column spans the window less the frame, margins and scroll bar.
constexpr int kLogWidthAllowance = 37;

} // namespace

// The exchange state is value-initialised so that a byte received before the
// first send lands at position 0 of rxWire and every buffer starts at zero.
MainWindow::MainWindow(QWidget *parent)
    : QMainWindow(parent), ui(new Ui::MainWindow), serialPort(nullptr), message{}, rxFrameBuffer{},
      txFrameBuffer{}, rxCodec{}, txCodec{}, rxWire{}, txWire{}, rxWireLen(0), txWireLen(0)
{
    // setupUi connects the slots by name, so the table and the selector filled
    // below already reach their slots; both ignore what construction produces.
    ui->setupUi(this);

    setUpConfigTable();
    ui->logTableWidget->setVerticalScrollMode(QAbstractItemView::ScrollPerPixel);

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
    delete ui;
}

void MainWindow::resizeEvent(QResizeEvent *event)
{
    ui->logTableWidget->horizontalHeader()->setDefaultSectionSize(event->size().width() -
                                                                  kLogWidthAllowance);
    // Wrapped entries change height with the column width.
    ui->logTableWidget->resizeRowsToContents();
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
