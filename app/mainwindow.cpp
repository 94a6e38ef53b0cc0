#include "app/mainwindow.h"
#include "app/log_remeasurer.h"
#include "ui_mainwindow.h"

#include <QCloseEvent>
#include <QDateTime>
#include <QHeaderView>
#include <QMessageBox>
#include <QResizeEvent>
#include <QSerialPort>
#include <QSignalBlocker>
#include <QTableWidgetItem>

namespace {

// The log column spans the window less the frame, margins and scroll bar.
constexpr int kLogWidthAllowance = 37;

} // namespace

// The exchange state is value-initialised so that a byte received before the
// first send lands at position 0 of rxWire and every buffer starts at zero.
MainWindow::MainWindow(QWidget *parent)
    : QMainWindow(parent), ui(new Ui::MainWindow), serialPort(nullptr), message{}, rxFrameBuffer{},
      txFrameBuffer{}, rxCodec{}, txCodec{}, rxWire{}, txWire{}, rxWireLen(0), txWireLen(0),
      logRemeasurer(nullptr), openProfileAction(nullptr), saveProfileAction(nullptr),
      saveLogAction(nullptr), cellDelegate(nullptr), noAnswerTimer(nullptr)
{
    // setupUi connects the slots by name, so the table filled below already
    // reaches its slot, which ignores what construction produces. (The
    // selector is filled with its signals blocked.)
    ui->setupUi(this);

    setUpConfigTable();
    setUpUnsentMarks();
    ui->logTableWidget->setVerticalScrollMode(QAbstractItemView::ScrollPerPixel);
    logRemeasurer = new LogRemeasurer(ui->logTableWidget);

    setUpPortSelector();
    setUpFileActions();
    setUpKeyboard();
    setUpAnswerWatch();

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

// As an editor asks before it closes a modified document. A value still
// being edited is taken first, so that it counts as typed.
void MainWindow::closeEvent(QCloseEvent *event)
{
    takeValueBeingEdited();
    if (!hasUnsentValues() ||
        QMessageBox::warning(
            this, windowTitle(), tr("Some values have not been sent to the device. Close anyway?"),
            QMessageBox::Close | QMessageBox::Cancel, QMessageBox::Cancel) == QMessageBox::Close)
        event->accept();
    else
        event->ignore();
}

void MainWindow::appendLog(QString text)
{
    QTableWidget *log = ui->logTableWidget;
    log->insertRow(log->rowCount());
    const int last = log->rowCount() - 1;
    auto *entry = new QTableWidgetItem(text);
    // The saved log shows when each entry came; the clock is read cheaply
    // here and turned into local time only when the log is saved.
    entry->setData(kLogTimeRole, QDateTime::currentMSecsSinceEpoch());
    log->setItem(last, 0, entry);
    // Only the new row is measured, so an entry costs the same however long the log is.
    log->resizeRowToContents(last);
    log->scrollToBottom();
    if (last == 0)
        saveLogAction->setEnabled(true);
}

// The log has no column until it gets its first line, which the first port
// pick or the first profile or log file writes.
void MainWindow::ensureLogColumn()
{
    if (ui->logTableWidget->columnCount() == 0)
        ui->logTableWidget->insertColumn(0);
}

void MainWindow::appendHexDump(const QString &headerTemplate, const uint8_t *bytes, uint16_t count,
                               const QString &trailer)
{
    appendLog(hexDumpEntry(headerTemplate, bytes, count, trailer));
}
