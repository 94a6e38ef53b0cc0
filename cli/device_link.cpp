#include "cli/device_link.h"
#include "cli/console.h"
#include "device/hex_dump.h"
#include "device/port_permission.h"

#include <QThread>

#include <cstring>

const RequestKind kPingKind = {"Ping", MSG_PING_RESPONSE, MSG_LEN_STATUS_RESPONSE, "Sent %0 bytes",
                               "\r\nPing sent.  Listening for response..."};
const RequestKind kConfigQueryKind = {
    "Config Query", MSG_CONFIG_QUERY_RESPONSE, MSG_LEN_CONFIG_QUERY_RESPONSE,
    "Sent %0 bytes:", "\r\nConfig Query sent.  Listening for response..."};
const RequestKind kConfigUpdateKind = {"Config Update", MSG_CONFIG_UPDATE_RESPONSE,
                                       MSG_LEN_STATUS_RESPONSE, "Sent %0 bytes",
                                       "\r\nConfig Update sent.  Listening for response..."};
const RequestKind kCertificateUploadKind = {
    "Certificate Upload", MSG_CERT_UPLOAD_RESPONSE, MSG_LEN_STATUS_RESPONSE, "Sent %0 bytes",
    "\r\nCertificate Upload sent.  Listening for response..."};

namespace {

constexpr qint64 kBaudRate = 115200;
constexpr qint64 kBitsPerByte = 10; // start bit, 8 data bits, stop bit
constexpr unsigned long kOpenRetryMs = 250;
// As in the window's log, a dump lists at most this many received bytes.
constexpr int kMostDumpedBytes = 65535;

QString nameOf(const RequestKind &kind)
{
    return QString::fromLatin1(kind.name);
}

// Whether `message` is the response that `kind` waits for; if not, says why
// in the window's words.
bool isExpectedResponse(const RequestKind &kind, const Bytes &message, QString &problem)
{
    uint32_t id = 0;
    if (message.size() >= sizeof id)
        std::memcpy(&id, message.data(), sizeof id);
    if (message.size() >= sizeof id && id != kind.responseId) {
        problem = QStringLiteral("Unexpected message id %0").arg(id);
        return false;
    }
    if (message.size() != kind.responseLength) {
        problem = QStringLiteral("Invalid message length %0").arg(message.size());
        return false;
    }
    return true;
}

} // namespace

qint64 lineTimeMs(qint64 bytes)
{
    const qint64 bitMs = bytes * kBitsPerByte * 1000;
    return (bitMs + kBaudRate - 1) / kBaudRate;
}

int32_t responseStatus(const QByteArray &response)
{
    int32_t status = 0;
    if (response.size() >= 8)
        std::memcpy(&status, response.constData() + 4, sizeof status);
    return status;
}

DeviceLink::DeviceLink(const LinkSettings &settings) : settings_(settings)
{
    port_.setPortName(settings.port);
    port_.setBaudRate(QSerialPort::Baud115200, QSerialPort::AllDirections);
    port_.setDataBits(QSerialPort::Data8);
    port_.setParity(QSerialPort::NoParity);
    port_.setStopBits(QSerialPort::OneStop);
    port_.setFlowControl(QSerialPort::NoFlowControl);
    clock_.start();
}

bool DeviceLink::open()
{
    QElapsedTimer waited;
    waited.start();
    const qint64 patienceMs = qint64(settings_.waitPortSeconds) * 1000;
    bool announced = false;
    while (!port_.open(QIODevice::ReadWrite)) {
        if (waited.elapsed() >= patienceMs) {
            printProblem(
                QStringLiteral("cannot open %1: %2").arg(settings_.port, port_.errorString()));
            const QString hint = portPermissionHint(settings_.port);
            if (!hint.isEmpty())
                printProblem(hint);
            return false;
        }
        if (!announced)
            printProblem(QStringLiteral("waiting up to %1 s for %2 to open")
                             .arg(settings_.waitPortSeconds)
                             .arg(settings_.port));
        announced = true;
        QThread::msleep(kOpenRetryMs);
    }
    return true;
}

LinkResult DeviceLink::exchange(const RequestKind &kind, const QByteArray &request,
                                QByteArray &response)
{
    const Bytes frame = frameMessage(request.constData(), size_t(request.size()));
    const int tries = settings_.retries + 1;
    for (int attempt = 1; attempt <= tries; ++attempt) {
        QString problem;
        const Step step = tryOnce(kind, frame, response, problem);
        if (step == Step::Done)
            return LinkResult::Answered;
        if (step == Step::PortLost) {
            printProblem(QStringLiteral("%1: lost the port %2: %3")
                             .arg(nameOf(kind), settings_.port, port_.errorString()));
            return LinkResult::PortLost;
        }
        reportTry(kind, problem, attempt);
    }
    printProblem(QStringLiteral("%1: no valid response after %2 %3")
                     .arg(nameOf(kind))
                     .arg(tries)
                     .arg(tries == 1 ? "try" : "tries"));
    return LinkResult::NoResponse;
}

void DeviceLink::reportTry(const RequestKind &kind, const QString &problem, int attempt) const
{
    const int tries = settings_.retries + 1;
    QString line = nameOf(kind) + QStringLiteral(": ") + problem;
    if (attempt < tries)
        line += QStringLiteral("; sending again (try %1 of %2)").arg(attempt + 1).arg(tries);
    printProblem(line);
}

DeviceLink::Step DeviceLink::tryOnce(const RequestKind &kind, const Bytes &frame,
                                     QByteArray &response, QString &problem)
{
    port_.clearError();
    qint64 onLineAt = 0;
    const Step sent = send(kind, frame, onLineAt, problem);
    if (sent != Step::Done)
        return sent;
    return receive(kind, onLineAt + settings_.timeoutMs, response, problem);
}

// Hands the frame to the port and answers when its last byte will be on the
// line: when the port has taken it, plus the frame's own time on the line.
DeviceLink::Step DeviceLink::send(const RequestKind &kind, const Bytes &frame, qint64 &onLineAt,
                                  QString &problem)
{
    // A late answer to an earlier try must not be taken for this one's.
    port_.clear(QSerialPort::AllDirections);
    const auto size = qint64(frame.size());
    if (port_.write(reinterpret_cast<const char *>(frame.data()), size) != size)
        return Step::PortLost;
    const qint64 lineTime = lineTimeMs(size);
    const qint64 patience = lineTime + settings_.timeoutMs;
    const qint64 deadline = clock_.elapsed() + patience;
    while (port_.bytesToWrite() > 0) {
        const qint64 left = deadline - clock_.elapsed();
        if (left <= 0) {
            problem =
                QStringLiteral("the port did not take the request within %1 ms").arg(patience);
            return Step::Failed;
        }
        if (!port_.waitForBytesWritten(int(left)) && portFailed())
            return Step::PortLost;
    }
    trace(hexDumpEntry(QString::fromLatin1(kind.sentHeader), frame.data(), uint16_t(size),
                       QString::fromLatin1(kind.sentTrailer)));
    onLineAt = clock_.elapsed() + lineTime;
    return Step::Done;
}

DeviceLink::Step DeviceLink::receive(const RequestKind &kind, qint64 deadline, QByteArray &response,
                                     QString &problem)
{
    FrameReader reader;
    QByteArray wire; // everything received since the send, for the trace
    for (;;) {
        const qint64 left = deadline - clock_.elapsed();
        if (left <= 0) {
            traceReceived(wire);
            problem = QStringLiteral("no response within %1 ms").arg(settings_.timeoutMs);
            return Step::Failed;
        }
        if (!port_.waitForReadyRead(int(left))) {
            if (portFailed())
                return Step::PortLost;
            continue;
        }
        const Step step = take(kind, reader, wire, response, problem);
        if (step != Step::Pending)
            return step;
    }
}

// Decodes what the port holds; Pending while no frame has ended.
DeviceLink::Step DeviceLink::take(const RequestKind &kind, FrameReader &reader, QByteArray &wire,
                                  QByteArray &response, QString &problem)
{
    const QByteArray bytes = port_.readAll();
    for (const char byte : bytes) {
        if (wire.size() < kMostDumpedBytes)
            wire.append(byte);
        const FrameReader::Event event = reader.feed(uint8_t(byte));
        if (event == FrameReader::Event::None)
            continue;
        traceReceived(wire);
        if (event == FrameReader::Event::Error) {
            problem = QStringLiteral("broken frame");
            return Step::Failed;
        }
        const Bytes message = reader.message();
        if (!isExpectedResponse(kind, message, problem))
            return Step::Failed;
        response = QByteArray(reinterpret_cast<const char *>(message.data()), int(message.size()));
        return Step::Done;
    }
    return Step::Pending;
}

bool DeviceLink::portFailed() const
{
    const QSerialPort::SerialPortError error = port_.error();
    return error != QSerialPort::NoError && error != QSerialPort::TimeoutError;
}

void DeviceLink::trace(const QString &entry) const
{
    if (settings_.trace)
        printRaw(entry);
}

void DeviceLink::traceReceived(const QByteArray &wire) const
{
    if (!wire.isEmpty())
        trace(hexDumpEntry(QStringLiteral("\r\nRead %0 bytes:"),
                           reinterpret_cast<const uint8_t *>(wire.constData()),
                           uint16_t(wire.size())));
}
