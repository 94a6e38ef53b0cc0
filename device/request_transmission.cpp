#include "app/mainwindow.h"
#include "config/field_rules.h"
#include "ui_mainwindow.h"

#include <QByteArray>
#include <QFile>
#include <QFileDialog>
#include <QSerialPort>
#include <QSignalBlocker>

#include <cerrno>
#include <cstring>

namespace {

// Starts a request in the shared record: every payload byte the layout does
// not assign goes out as zero.
void startRequest(DeviceMessage &message, uint32_t msgId)
{
    std::memset(&message.payload, 0, sizeof message.payload);
    message.msgId = msgId;
}

// Reads the certificate from fileName into certificate: the whole file, or
// one byte more than an upload carries, so that a file which would be cut
// is told from one that fits exactly. Pipes and character devices hand over
// what they have at the moment, so it takes as many reads as it takes.
// Answers the line that refuses the file, or an empty string.
QString readCertificate(const QString &fileName, QByteArray &certificate)
{
    QFile file(fileName);
    if (!file.open(QIODevice::ReadOnly))
        return QStringLiteral("Cannot open certificate file %0: %1")
            .arg(fileName, file.errorString());
    certificate.resize(CERT_DATA_MAX + 1);
    qint64 count = 0;
    while (count < certificate.size()) {
        const qint64 got = file.read(certificate.data() + count, certificate.size() - count);
        if (got < 0)
            return QStringLiteral("Cannot read certificate file %0: %1")
                .arg(fileName, file.errorString());
        if (got == 0)
            break; // the end of the file
        count += got;
    }
    certificate.resize(int(count));
    if (count > CERT_DATA_MAX)
        return QStringLiteral("Certificate file %0 is larger than 8192 bytes; nothing sent.")
            .arg(fileName);
    return QString();
}

} // namespace

void MainWindow::on_pingButton_clicked()
{
    startRequest(message, MSG_PING_REQUEST);
    sendMessage(MSG_LEN_PING_REQUEST, QStringLiteral("Sending Ping..."),
                QStringLiteral("Sent %0 bytes"),
                QStringLiteral("\r\nPing sent.  Listening for response..."));
}

void MainWindow::on_queryButton_clicked()
{
    startRequest(message, MSG_CONFIG_QUERY_REQUEST);
    sendMessage(MSG_LEN_CONFIG_QUERY_REQUEST, QStringLiteral("Sending Config Query..."),
                QStringLiteral("Sent %0 bytes:"),
                QStringLiteral("\r\nConfig Query sent.  Listening for response..."));
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

    startRequest(message, MSG_CONFIG_UPDATE_REQUEST);
    buildConfig(message);
    sendMessage(MSG_LEN_CONFIG_UPDATE_REQUEST, QStringLiteral("Sending Config Update..."),
                QStringLiteral("Sent %0 bytes"),
                QStringLiteral("\r\nConfig Update sent.  Listening for response..."));
}

void MainWindow::on_uploadCertButton_clicked()
{
    const QString fileName = QFileDialog::getOpenFileName(this, QStringLiteral("Open Certificate"));
    // Cancelled; or the line went away while the dialog was open, which the
    // log has already said.
    if (fileName.isEmpty() || !serialPort)
        return;

    QByteArray certificate;
    const QString refusal = readCertificate(fileName, certificate);
    if (!refusal.isEmpty()) {
        appendLog(refusal);
        return;
    }

    startRequest(message, MSG_CERT_UPLOAD_REQUEST);
    const auto length = static_cast<uint16_t>(certificate.size());
    message.payload.certificate.length = length;
    std::memcpy(message.payload.certificate.data, certificate.constData(), length);
    sendMessage(MSG_LEN_CERT_UPLOAD_HEADER + length,
                QStringLiteral("Sending Certificate Upload..."), QStringLiteral("Sent %0 bytes"),
                QStringLiteral("\r\nCertificate Upload sent.  Listening for response..."));
}

// Frames the first messageLength bytes of message and writes them to the port.
// The caller has set up message; this starts a fresh exchange, so a partly
// received frame, the bytes received so far and whatever waits in the port
// are dropped.
void MainWindow::sendMessage(uint16_t messageLength, const QString &firstLine,
                             const QString &header, const QString &trailer)
{
    frame_reset(&rxCodec);
    frame_reset(&txCodec);
    std::memset(rxWire, 0, sizeof rxWire);
    std::memset(txWire, 0, sizeof txWire);
    rxWireLen = 0;
    txWireLen = 0;

    // A refused append shows up below as an encoder error.
    frame_append(&txCodec, reinterpret_cast<const uint8_t *>(&message), messageLength, 1);
    appendLog(firstLine);

    for (;;) {
        uint8_t byte = 0;
        const int result = frame_encode_byte(&txCodec, &byte);
        if (result == FRAME_ERROR || txWireLen == WIRE_BUFFER_SIZE) {
            appendLog(QStringLiteral("Write error"));
            return;
        }
        txWire[txWireLen++] = byte;
        if (result == FRAME_TX_DONE)
            break;
    }

    if (writeFrame())
        appendHexDump(header, txWire, txWireLen, trailer);
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
    appendLog(QStringLiteral("Write error: %0").arg(port->errorString()));
    handlePortError(error);
    return false;
}
