#include "app/mainwindow.h"
#include "config/field_rules.h"
#include "ui_mainwindow.h"

#include <QByteArray>
#include <QFile>
#include <QFileDialog>
#include <QSerialPort>

#include <cstring>

namespace {

// Starts a request in the shared record: every payload byte the layout does
// not assign goes out as zero.
void startRequest(DeviceMessage &message, uint32_t msgId)
{
    std::memset(&message.payload, 0, sizeof message.payload);
    message.msgId = msgId;
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
    if (fileName.isEmpty())
        return; // cancelled

    QFile file(fileName);
    if (!file.open(QIODevice::ReadOnly)) {
        appendLog(QStringLiteral("Cannot open certificate file %0: %1")
                      .arg(fileName, file.errorString()));
        return;
    }
    // One byte more than an upload carries tells a file that would be cut
    // from one that fits exactly.
    const QByteArray certificate = file.read(CERT_DATA_MAX + 1);
    if (certificate.size() > CERT_DATA_MAX) {
        appendLog(QStringLiteral("Certificate file %0 is larger than 8192 bytes; nothing sent.")
                      .arg(fileName));
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

    serialPort->clear(QSerialPort::AllDirections);
    const qint64 written = serialPort->write(reinterpret_cast<const char *>(txWire), txWireLen);
    if (written != txWireLen) {
        appendLog(QStringLiteral("Write error: %0").arg(serialPort->errorString()));
        return;
    }
    serialPort->flush();
    appendHexDump(header, txWire, txWireLen, trailer);
}
