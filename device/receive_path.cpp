#include "app/mainwindow.h"
#include "device/exchange_log.h"

#include <QSerialPort>
#include <QTimer>

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
            // Any whole frame is an answer, even one the dispatch rejects.
            noAnswerTimer->stop();
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
    appendHexDump(QLatin1String(kReceivedHeader), rxWire, rxWireLen);

    const MessageKind *kind = findKind(&MessageKind::responseId, message.msgId);
    const QString problem = responseProblem(kind, message.msgId, msgLen);
    if (!problem.isEmpty()) {
        appendLog(problem);
        return;
    }

    // Every response carries its status right after the id.
    const int32_t status = message.payload.statusResponse.status;
    appendLog(returnedLine(*kind, status));
    // The device's configuration is shown whatever the status says.
    if (message.msgId == MSG_CONFIG_QUERY_RESPONSE)
        showDeviceConfig(message);
}
