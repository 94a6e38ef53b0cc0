#include "app/mainwindow.h"

#include <QSerialPort>

#include <algorithm>
#include <cstring>

// Drains the port: every waiting byte is recorded and decoded, so frames that
// arrive together, or a good frame behind a broken one, are all reported.
void MainWindow::on_readyRead()
{
    while (!serialPort->atEnd()) {
        char byte = 0;
        if (serialPort->read(&byte, 1) != 1)
            return;
        const auto wireByte = static_cast<uint8_t>(byte);
        // Past a full record the bytes are still decoded, only not listed.
        if (rxWireLen < WIRE_BUFFER_SIZE)
            rxWire[rxWireLen++] = wireByte;

        const int result = frame_decode_byte(&rxCodec, wireByte);
        switch (result) {
        case FRAME_OK:
        case FRAME_RX_BUSY: break;
        case FRAME_RX_DONE: {
            // A payload longer than the record cannot be a valid response; its
            // true length still goes to the dispatch, which rejects it.
            const int msgLen = rxCodec.payloadLength;
            std::memcpy(&message, rxFrameBuffer,
                        std::min(static_cast<size_t>(msgLen), sizeof message));
            on_msgReady(msgLen);
            frame_reset(&rxCodec);
            break;
        }
        case FRAME_ERROR:
            // The decoder is already waiting for the next frame.
            appendLog(QStringLiteral("Parser error."));
            break;
        default: appendLog(QStringLiteral("Parser returned %0.").arg(result)); break;
        }
    }
}

void MainWindow::on_msgReady(int msgLen)
{
    appendHexDump(QStringLiteral("\r\nRead %0 bytes:"), rxWire, rxWireLen);

    QString resultLine;
    int expectedLength = 0;
    switch (message.msgId) {
    case MSG_PING_RESPONSE:
        resultLine = QStringLiteral("Ping returned %0");
        expectedLength = MSG_LEN_STATUS_RESPONSE;
        break;
    case MSG_CONFIG_QUERY_RESPONSE:
        resultLine = QStringLiteral("Config Query returned %0");
        expectedLength = MSG_LEN_CONFIG_QUERY_RESPONSE;
        break;
    case MSG_CONFIG_UPDATE_RESPONSE:
        resultLine = QStringLiteral("Config Update returned %0");
        expectedLength = MSG_LEN_STATUS_RESPONSE;
        break;
    case MSG_CERT_UPLOAD_RESPONSE:
        resultLine = QStringLiteral("Certificate Upload returned %0");
        expectedLength = MSG_LEN_STATUS_RESPONSE;
        break;
    default: appendLog(QStringLiteral("Unexpected message id %0").arg(message.msgId)); return;
    }
    if (msgLen != expectedLength) {
        appendLog(QStringLiteral("Invalid message length %0").arg(msgLen));
        return;
    }

    // Every response carries its status right after the id.
    const int32_t status = message.payload.statusResponse.status;
    appendLog(resultLine.arg(status));
    // The device's configuration is shown whatever the status says.
    if (message.msgId == MSG_CONFIG_QUERY_RESPONSE)
        showConfig(message);
}
