#include "app/mainwindow.h"
#include "ui_mainwindow.h"

#include <QSerialPort>
#include <QTableWidgetItem>
#include <QTimer>

void MainWindow::on_serialPortComboBox_currentIndexChanged(int index)
{
    // Index 0 is "<no port selected>"; filling the selector lands here too.
    if (index <= 0)
        return;

    if (index <= portInfoList.size()) {
        serialPort = new QSerialPort(portInfoList.at(index - 1), this);
    } else {
        // A port the system does not list: the entry's text is its device path.
        serialPort = new QSerialPort(this);
        serialPort->setPortName(ui->serialPortComboBox->itemText(index));
    }

    const QString portLine = QStringLiteral("Port is %0").arg(serialPort->portName());
    QTableWidget *log = ui->logTableWidget;
    if (log->columnCount() == 0) {
        // The log's first line also creates the one column appendLog writes into.
        log->insertRow(0);
        log->insertColumn(0);
        log->setItem(0, 0, new QTableWidgetItem(portLine));
        log->resizeRowToContents(log->rowCount() - 1);
        log->scrollToBottom();
    } else {
        appendLog(portLine);
    }

    // The settings take effect when the port opens.
    serialPort->setBaudRate(QSerialPort::Baud115200, QSerialPort::AllDirections);
    serialPort->setDataBits(QSerialPort::Data8);
    serialPort->setParity(QSerialPort::NoParity);
    serialPort->setStopBits(QSerialPort::OneStop);
    serialPort->setFlowControl(QSerialPort::NoFlowControl);
    if (!serialPort->open(QIODevice::ReadWrite)) {
        // Leave the choice open, so that another port can be picked.
        appendLog(QStringLiteral("Cannot open port %0: %1")
                      .arg(serialPort->portName(), serialPort->errorString()));
        delete serialPort;
        serialPort = nullptr;
        ui->serialPortComboBox->setCurrentIndex(0);
        return;
    }

    ui->serialPortComboBox->setEnabled(false);
    ui->pingButton->setEnabled(true);
    ui->queryButton->setEnabled(true);
    ui->uploadCertButton->setEnabled(true);

    connect(serialPort, &QIODevice::readyRead, this, &MainWindow::on_readyRead);
    // A port that stops working (an unplugged adapter, a terminal whose far
    // end closed) would report the same failure on every event-loop turn:
    // say it once, and close the port so that it falls silent.
    connect(serialPort, &QSerialPort::errorOccurred, this,
            [this, reported = false](QSerialPort::SerialPortError error) mutable {
                if (reported ||
                    (error != QSerialPort::ResourceError && error != QSerialPort::ReadError))
                    return;
                reported = true;
                appendLog(QStringLiteral("Port error: %0").arg(serialPort->errorString()));
                // Not from inside the port's own notification.
                QTimer::singleShot(0, serialPort, [port = serialPort]() { port->close(); });
            });

    revalidateAllRows();
}
