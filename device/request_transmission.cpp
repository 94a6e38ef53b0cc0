#include "app/mainwindow.h"
#include "config/field_rules.h"
#include "device/certificate_file.h"
#include "device/exchange_log.h"
#include "ui_mainwindow.h"

#include <QByteArray>
#include <QFileDialog>
#include <QSerialPort>
#include <QSignalBlocker>
#include <QTimer>

#include <cerrno>
#include <cstring>

namespace {

// How long a send waits for a whole frame back before the log says none came.
constexpr int kNoAnswerMs = 2000;

// Reads the certificate from fileName; answers the line that refuses the
// file, or an empty string.
QString certificateRefusal(const QString &fileName, QByteArray &certificate)
{
    QString error;
    switch (readRegularCertificateFile(fileName, certificate, error)) {
    case CertificateRead::Read:
        if (!certificate.isEmpty())
            return QString();
        // An empty upload may wipe the certificate the device holds.
        return QStringLiteral("Cannot read certificate file %0: the file is empty").arg(fileName);
    case CertificateRead::CannotOpen:
        return QStringLiteral("Cannot open certificate file %0: %1").arg(fileName, error);
    case CertificateRead::CannotRead:
        return QStringLiteral("Cannot read certificate file %0: %1").arg(fileName, error);
    case CertificateRead::TooLarge: break;
    }
    return QStringLiteral("Certificate file %0 is larger than %1 bytes; nothing sent.")
        .arg(fileName, QString::number(CERT_DATA_MAX));
}

} // namespace

void MainWindow::on_pingButton_clicked()
{
    startMessage(message, kPingKind.requestId);
    sendMessage(kPingKind, kPingKind.requestLength);
}

void MainWindow::on_queryButton_clicked()
{
    valuesAtQuery = tableValues();
    startMessage(message, kConfigQueryKind.requestId);
    sendMessage(kConfigQueryKind, kConfigQueryKind.requestLength);
}

void MainWindow::on_updateButton_clicked()
{
    // Validation limits characters, the record limits UTF-8 bytes: a text that
    // would not fit is refused here rather than cut.
    const QStringList tooLong = textsThatDoNotFit(tableValues());
    for (const QString &line : tooLong)
        appendLog(line);
    if (!tooLong.isEmpty())
        return;

    const QStringList sent = tableValues();
    startMessage(message, kConfigUpdateKind.requestId);
    buildConfig(message);
    if (sendMessage(kConfigUpdateKind, kConfigUpdateKind.requestLength))
        takeDeviceValues(sent);
}

void MainWindow::on_uploadCertButton_clicked()
{
    const QString fileName = QFileDialog::getOpenFileName(this, QStringLiteral("Open Certificate"));
    // Cancelled; or the line went away while the dialog was open, which the
    // log has already said.
    if (fileName.isEmpty() || !serialPort)
        return;

    QByteArray certificate;
    const QString refusal = certificateRefusal(fileName, certificate);
    if (!refusal.isEmpty()) {
        appendLog(refusal);
        return;
    }
    startMessage(message, kCertificateUploadKind.requestId);
    sendMessage(kCertificateUploadKind,
                putCertificate(message, certificate.constData(), uint16_t(certificate.size())));
}

void MainWindow::setUpAnswerWatch()
{
    noAnswerTimer = new QTimer(this);
    noAnswerTimer->setSingleShot(true);
    noAnswerTimer->setInterval(kNoAnswerMs);
    // Never before the 2 s are up.
    noAnswerTimer->setTimerType(Qt::PreciseTimer);
    connect(noAnswerTimer, &QTimer::timeout, this, [this] {
        appendLog(
            QStringLiteral("No answer from the device after 2 s: check the cable and the port"));
    });
}

// Frames the first messageLength bytes of message and writes them to the port;
// true if it went out. The caller has set up message; this starts a fresh
// exchange, so a partly received frame, the bytes received so far and
// whatever waits in the port are dropped, and the 2 s for an answer start.
bool MainWindow::sendMessage(const MessageKind &kind, uint16_t messageLength)
{
    frame_reset(&rxCodec);
    frame_reset(&txCodec);
    std::memset(rxWire, 0, sizeof rxWire);
    std::memset(txWire, 0, sizeof txWire);
    rxWireLen = 0;
    txWireLen = 0;

    // A refused append shows up below as an encoder error.
    frame_append(&txCodec, reinterpret_cast<const uint8_t *>(&message), messageLength, 1);
    appendLog(sendingLine(kind));

    for (;;) {
        uint8_t byte = 0;
        const int result = frame_encode_byte(&txCodec, &byte);
        if (result == FRAME_ERROR || txWireLen == WIRE_BUFFER_SIZE) {
            appendLog(QStringLiteral("Write error"));
            return false;
        }
        txWire[txWireLen++] = byte;
        if (result == FRAME_TX_DONE)
            break;
    }

    if (!writeFrame())
        return false;
    appendHexDump(sentHeader(kind), txWire, txWireLen, sentTrailer(kind));
    noAnswerTimer->start();
    return true;
}

// Writes the frame in txWire to the port; false, after saying so, if the port
// refused it. A port whose line is gone is then handed back.
bool MainWindow::writeFrame()
{
    QSerialPort *port = serialPort;
    qint64 written = 0;
    {
        // A fault met here is reported as this send's failure first, and
        // only then hands the port back.
        const QSignalBlocker quiet(port);
        port->clearError();
        // Only what waits to be read belongs to the exchange being replaced;
        // what is still going out is the rest of an earlier frame.
        port->clear(QSerialPort::Input);
        written = port->write(reinterpret_cast<const char *>(txWire), txWireLen);
        if (written == txWireLen)
            port->flush();
    }
    // A flush that finds the system's buffer full while the device reads
    // slowly is no failure: the bytes follow as the buffer drains.
    const QSerialPort::SerialPortError error = port->error();
    const bool bufferFull =
        error == QSerialPort::ResourceError && port->errorString() == qt_error_string(EAGAIN);
    if (written == txWireLen && (!isLineFault(error) || bufferFull))
        return true;
    appendLog(QStringLiteral("Write error: %0")
                  .arg(isLineFault(error) ? lineGoneWords(*port) : port->errorString()));
    handlePortError(error);
    return false;
}
