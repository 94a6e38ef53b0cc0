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

namespace {

// The responses the tool understands: each one's id, its only valid length
// and the line that reports its status.
struct ResponseKind {
    uint32_t msgId;
    int length;
    const char *resultLine;
};

const ResponseKind kResponseKinds[] = {
    {MSG_PING_RESPONSE, MSG_LEN_STATUS_RESPONSE, "Ping returned %0"},
    {MSG_CONFIG_QUERY_RESPONSE, MSG_LEN_CONFIG_QUERY_RESPONSE, "Config Query returned %0"},
    {MSG_CONFIG_UPDATE_RESPONSE, MSG_LEN_STATUS_RESPONSE, "Config Update returned %0"},
    {MSG_CERT_UPLOAD_RESPONSE, MSG_LEN_STATUS_RESPONSE, "Certificate Upload returned %0"},
};

const ResponseKind *responseKind(uint32_t msgId)
{
    for (const ResponseKind &kind : kResponseKinds) {
        if (kind.msgId == msgId)
            return &kind;
    }
    return nullptr;
}

} // namespace

void MainWindow::on_msgReady(int msgLen)
{
    appendHexDump(QStringLiteral("\r\nRead %0 bytes:"), rxWire, rxWireLen);

    const ResponseKind *kind = responseKind(message.msgId);
    if (!kind) {
        appendLog(QStringLiteral("Unexpected message id %0").arg(message.msgId));
        return;
    }
    if (msgLen != kind->length) {
        appendLog(QStringLiteral("Invalid message length %0").arg(msgLen));
        return;
    }

    // Every response carries its status right after the id.
    const int32_t status = message.payload.statusResponse.status;
    appendLog(QString::fromLatin1(kind->resultLine).arg(status));
    // The device's configuration is shown whatever the status says.
    if (message.msgId == MSG_CONFIG_QUERY_RESPONSE)
        showConfig(message);
}
