#include "app/mainwindow.h"
#include "device/extra_ports.h"
#include "device/port_claim.h"
#include "device/port_permission.h"
#include "device/serial_line.h"
#include "ui_mainwindow.h"

#include <QSerialPort>
#include <QSignalBlocker>
#include <QTimer>

namespace {

// The claim on a port, held for as long as the port object lives: a child of
// the port, it is released only after the port has closed as it is destroyed
// (also when a pulled cable hands the port back).
class HeldClaim : public QObject
{
public:
    HeldClaim(const QString &device, QObject *port) : QObject(port), claim(device) {}
    PortClaim claim;
};

// The device file that the port opens. Qt names a device under /dev/ by the
// rest of its path and any other by its whole path, and opens it the same way.
QString deviceOf(const QSerialPort &port)
{
    const QString name = port.portName();
    const bool path = name.startsWith(QLatin1Char('/')) || name.startsWith(QLatin1String("./")) ||
                      name.startsWith(QLatin1String("../"));
    return path ? name : QStringLiteral("/dev/") + name;
}

} // namespace

// Takes the port list afresh and rebuilds the selector from it: entry 0 is
// "<no port selected>", entry i >= 1 stands for portInfoList element i - 1,
// and the ports the system does not list follow, their text being their
// path. The list and the entries change together, so the entry picked is
// always the port its text names.
void MainWindow::listPorts()
{
    // While a port is open the selector is locked and shows that port.
    if (serialPort)
        return;
    // Rebuilding must not look like a choice: nothing is opened here.
    const QSignalBlocker quiet(ui->serialPortComboBox);
    portInfoList = QSerialPortInfo::availablePorts();
    ui->serialPortComboBox->clear();
    ui->serialPortComboBox->addItem(QStringLiteral("<no port selected>"));
    for (const QSerialPortInfo &info : qAsConst(portInfoList))
        ui->serialPortComboBox->addItem(info.portName());
    ui->serialPortComboBox->addItems(extraPortPaths());
}

void MainWindow::setUpPortSelector()
{
    listPorts();
    // Taken again each time the list opens, so that an adapter plugged in
    // after start-up can be picked.
    connect(ui->serialPortComboBox, &PortSelector::aboutToShowPopup, this, &MainWindow::listPorts);
}

void MainWindow::on_serialPortComboBox_currentIndexChanged(int index)
{
    // Index 0 is "<no port selected>"; putting the selector back lands here too.
    if (index <= 0)
        return;

    serialPort = newPort(index);
    ensureLogColumn();
    appendLog(QStringLiteral("Port is %0").arg(serialPort->portName()));

    QString reason;
    if (!openPort(reason)) {
        // Leave the choice open, so that another port can be picked.
        appendLog(QStringLiteral("Cannot open port %0: %1").arg(serialPort->portName(), reason));
        const QString hint = portPermissionHint(deviceOf(*serialPort));
        if (!hint.isEmpty())
            appendLog(hint);
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
    connect(serialPort, &QSerialPort::errorOccurred, this, &MainWindow::handlePortError);

    revalidateAllRows();
}

// The port behind selector entry `index` (1 or more), not yet open.
QSerialPort *MainWindow::newPort(int index)
{
    if (index <= portInfoList.size())
        return new QSerialPort(portInfoList.at(index - 1), this);
    // A port the system does not list: the entry's text is its device path.
    auto *port = new QSerialPort(this);
    port->setPortName(ui->serialPortComboBox->itemText(index));
    return port;
}

// Claims serialPort's device for this program, with the same lock as
// kestroctl takes, then opens it at the device's line settings, which take
// effect as it opens. False, with the reason, if it is not ours to use.
bool MainWindow::openPort(QString &reason)
{
    auto *held = new HeldClaim(deviceOf(*serialPort), serialPort);
    QString problem;
    if (held->claim.claim(problem) != PortState::Claimed) {
        reason = held->claim.reason();
        return false;
    }
    applyLineSettings(*serialPort);
    if (serialPort->open(QIODevice::ReadWrite))
        return true;
    // Ours to open a moment ago: a refusal now is a program that keeps the
    // terminal to itself without taking the lock.
    reason = serialPort->error() == QSerialPort::PermissionError
                 ? QStringLiteral("in use by another program")
                 : serialPort->errorString();
    return false;
}

// Whether an error means that the line is gone: an unplugged adapter, a
// device that rebooted, a terminal whose far end closed.
bool MainWindow::isLineFault(QSerialPort::SerialPortError error)
{
    return error == QSerialPort::ResourceError || error == QSerialPort::ReadError ||
           error == QSerialPort::WriteError;
}

// A line can go in several ways (a pulled adapter, a device that rebooted, a
// far end that closed), and the system names whatever call failed last: the
// technician reads one plain sentence, the system's words follow for the
// support desk.
QString MainWindow::lineGoneWords(const QSerialPort &port)
{
    const QString words = port.errorString();
    return words.isEmpty() ? QStringLiteral("the port went away")
                           : QStringLiteral("the port went away (%0)").arg(words);
}

// Hands the choice of port back to the user when the line is gone; the table,
// its diagnoses and the log stay as they are.
void MainWindow::handlePortError(QSerialPort::SerialPortError error)
{
    if (!serialPort || !isLineFault(error))
        return;
    QSerialPort *port = serialPort;
    serialPort = nullptr;
    // A gone line fails again on every turn of the event loop until the port
    // is closed: said once is enough.
    disconnect(port, nullptr, this, nullptr);
    // No answer can come now: the log says why already.
    noAnswerTimer->stop();
    appendLog(QStringLiteral("Port error: %0").arg(lineGoneWords(*port)));
    appendLog(QStringLiteral("Port %0 closed. Pick a port to continue.").arg(port->portName()));
    // This may run inside the port's own notification, which must not lose
    // its object: the port closes as it is deleted, once control is back in
    // the event loop.
    port->deleteLater();

    ui->pingButton->setEnabled(false);
    ui->queryButton->setEnabled(false);
    ui->updateButton->setEnabled(false);
    ui->uploadCertButton->setEnabled(false);
    ui->serialPortComboBox->setCurrentIndex(0);
    ui->serialPortComboBox->setEnabled(true);
}
