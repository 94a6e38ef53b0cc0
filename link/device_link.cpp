#include "link/device_link.h"
#include "device/exchange_log.h"
#include "device/port_permission.h"
#include "device/serial_line.h"

#include <QThread>

#include <cstring>
#include <utility>

namespace {

// How often a busy or absent port is tried again within --wait-port.
constexpr unsigned long kWaitPortRetryMs = 250;
// The longest wait on the line between two looks at the interruption.
constexpr qint64 kInterruptionSliceMs = 50;

QString nameOf(const MessageKind &kind)
{
    return QString::fromLatin1(kind.name);
}

// Whether `message` is the response that `kind` waits for; if not, says why
// in the window's words.
bool isExpectedResponse(const MessageKind &kind, const Bytes &message, QString &problem)
{
    uint32_t id = kind.responseId; // a message too short for an id fails on its length
    if (message.size() >= sizeof id)
        std::memcpy(&id, message.data(), sizeof id);
    problem = responseProblem(id == kind.responseId ? &kind : nullptr, id, int(message.size()));
    return problem.isEmpty();
}

// Whether `message` is a whole, valid response to another exchange: the
// answer to an earlier request that came too late. It is not this one's
// failure, so it is set aside with a word, and the wait goes on.
bool isLateAnswer(const MessageKind &kind, const Bytes &message, QString &note)
{
    uint32_t id = 0;
    if (message.size() < sizeof id)
        return false;
    std::memcpy(&id, message.data(), sizeof id);
    const MessageKind *other = findKind(&MessageKind::responseId, id);
    if (!other || other == &kind || !responseProblem(other, id, int(message.size())).isEmpty())
        return false;
    note = QStringLiteral("%1: ignoring a late %2 response")
               .arg(nameOf(kind), QLatin1String(other->name));
    return true;
}

} // namespace

qint64 lineTimeMs(qint64 bytes)
{
    const qint64 bitMs = bytes * kLineBitsPerByte * 1000;
    return (bitMs + kLineBaudRate - 1) / kLineBaudRate;
}

int32_t responseStatus(const QByteArray &response)
{
    int32_t status = 0;
    if (size_t(response.size()) >= MSG_STATUS_OFFSET + sizeof status)
        std::memcpy(&status, response.constData() + MSG_STATUS_OFFSET, sizeof status);
    return status;
}

DeviceLink::DeviceLink(const LinkSettings &settings, LinkReporter reporter)
    : settings_(settings), reporter_(std::move(reporter)), claim_(settings.port)
{
    applyLineSettings(port_);
    clock_.start();
}

bool DeviceLink::open()
{
    QElapsedTimer waited;
    waited.start();
    const qint64 patienceMs = qint64(settings_.waitPortSeconds) * 1000;
    bool announced = false;
    for (;;) {
        QString problem;
        const PortState state = openOnce(problem);
        if (state == PortState::Claimed)
            return true;
        if (!worthWaiting(state) || waited.elapsed() >= patienceMs) {
            tell(problem);
            const QString hint = portPermissionHint(settings_.port);
            if (!hint.isEmpty())
                tell(hint);
            return false;
        }
        if (!announced)
            tell(QStringLiteral("waiting up to %1 s for %2 to open")
                     .arg(settings_.waitPortSeconds)
                     .arg(settings_.port));
        announced = true;
        QThread::msleep(kWaitPortRetryMs);
    }
}

PortState DeviceLink::openOnce(QString &problem)
{
    const PortState state = claim_.claim(problem);
    if (state != PortState::Claimed)
        return state;
    port_.setPortName(claim_.path());
    if (port_.open(QIODevice::ReadWrite))
        return PortState::Claimed;
    claim_.release();
    // The port itself was open to us a moment ago: a refusal now is another
    // program's lock on it.
    if (port_.error() == QSerialPort::PermissionError) {
        problem = QStringLiteral("%1 is in use by another program").arg(settings_.port);
        return PortState::Busy;
    }
    problem = QStringLiteral("cannot open %1: %2").arg(settings_.port, port_.errorString());
    return PortState::Refused;
}

LinkResult DeviceLink::exchange(const MessageKind &kind, const Bytes &request, QByteArray &response)
{
    const Bytes frame = frameMessage(request.data(), request.size());
    const int tries = settings_.retries + 1;
    badAnswer_.clear();
    for (int attempt = 1; attempt <= tries; ++attempt) {
        QString problem;
        const Step step = cutShort() ? Step::Interrupted : tryOnce(kind, frame, response, problem);
        if (step == Step::Done)
            return LinkResult::Answered;
        if (step == Step::Interrupted) {
            // Whoever cut it short knows why; the line did nothing wrong.
            interrupted_ = true;
            verdict_ = QStringLiteral("%1: interrupted").arg(nameOf(kind));
            return LinkResult::Interrupted;
        }
        if (step == Step::PortLost) {
            tell(QStringLiteral("%1: lost the port %2: %3")
                     .arg(nameOf(kind), settings_.port, lossReason()));
            return LinkResult::PortLost;
        }
        reportTry(kind, problem, attempt);
    }
    tell(QStringLiteral("%1: no valid response after %2 %3")
             .arg(nameOf(kind))
             .arg(tries)
             .arg(tries == 1 ? "try" : "tries"));
    return LinkResult::NoResponse;
}

LinkResult DeviceLink::probe(const MessageKind &kind, const Bytes &request, QByteArray &response)
{
    badAnswer_.clear();
    QString problem;
    const Step step =
        cutShort() ? Step::Interrupted
                   : tryOnce(kind, frameMessage(request.data(), request.size()), response, problem);
    switch (step) {
    case Step::Done: return LinkResult::Answered;
    case Step::PortLost: return LinkResult::PortLost;
    case Step::Interrupted: return LinkResult::Interrupted;
    default: return LinkResult::NoResponse;
    }
}

void DeviceLink::reportTry(const MessageKind &kind, const QString &problem, int attempt)
{
    const int tries = settings_.retries + 1;
    QString line = nameOf(kind) + QStringLiteral(": ") + problem;
    if (attempt < tries)
        line += QStringLiteral("; sending again (try %1 of %2)").arg(attempt + 1).arg(tries);
    tell(line);
}

DeviceLink::Step DeviceLink::tryOnce(const MessageKind &kind, const Bytes &frame,
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
DeviceLink::Step DeviceLink::send(const MessageKind &kind, const Bytes &frame, qint64 &onLineAt,
                                  QString &problem)
{
    // A late answer to an earlier try must not be taken for this one's.
    dropStaleBytes();
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
        if (!port_.waitForBytesWritten(int(qMin(left, kInterruptionSliceMs))) && portFailed())
            return Step::PortLost;
        if (cutShort())
            return Step::Interrupted;
    }
    trace(hexDumpEntry(sentHeader(kind), frame.data(), uint16_t(size), sentTrailer(kind)));
    onLineAt = clock_.elapsed() + lineTime;
    return Step::Done;
}

DeviceLink::Step DeviceLink::receive(const MessageKind &kind, qint64 deadline, QByteArray &response,
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
        if (!port_.waitForReadyRead(int(qMin(left, kInterruptionSliceMs)))) {
            if (portFailed())
                return Step::PortLost;
            if (cutShort())
                return Step::Interrupted;
            continue;
        }
        const Step step = decodeReceived(kind, reader, wire, response, problem);
        if (step != Step::Pending)
            return step;
    }
}

// Decodes what the port holds; Pending while no frame has ended.
DeviceLink::Step DeviceLink::decodeReceived(const MessageKind &kind, FrameReader &reader,
                                            QByteArray &wire, QByteArray &response,
                                            QString &problem)
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
            badAnswer_ = nameOf(kind) + QStringLiteral(": ") + problem;
            return Step::Failed;
        }
        const Bytes message = reader.message();
        QString note;
        if (isLateAnswer(kind, message, note)) {
            tell(note);
            wire.clear();
            continue;
        }
        if (!isExpectedResponse(kind, message, problem)) {
            badAnswer_ = nameOf(kind) + QStringLiteral(": ") + problem;
            return Step::Failed;
        }
        response = QByteArray(reinterpret_cast<const char *>(message.data()), int(message.size()));
        badAnswer_.clear();
        return Step::Done;
    }
    return Step::Pending;
}

void DeviceLink::dropStaleBytes()
{
    while (port_.waitForReadyRead(0)) {
    }
    const qint64 stale = port_.bytesAvailable();
    port_.clear(QSerialPort::AllDirections);
    port_.readAll();
    if (stale > 0)
        trace(QStringLiteral("Discarded %1 stale bytes").arg(stale));
}

// What went, in words, even where the system has none for it.
QString DeviceLink::lossReason() const
{
    const QString text = port_.errorString();
    if (!text.isEmpty() && text != QLatin1String("Unknown error"))
        return text;
    switch (port_.error()) {
    case QSerialPort::ReadError: return QStringLiteral("reading from it failed");
    case QSerialPort::WriteError: return QStringLiteral("writing to it failed");
    default: return QStringLiteral("the device or its cable went away");
    }
}

bool DeviceLink::portFailed() const
{
    const QSerialPort::SerialPortError error = port_.error();
    return error != QSerialPort::NoError && error != QSerialPort::TimeoutError;
}

// Plain lines: the log's own line breaks are \r\n, a saved trace wants \n.
void DeviceLink::trace(const QString &entry) const
{
    if (settings_.trace && reporter_.trace)
        reporter_.trace(plainLineEnds(entry));
}

void DeviceLink::setInterruption(std::function<bool()> interrupted)
{
    interruption_ = std::move(interrupted);
}

void DeviceLink::tell(const QString &problem)
{
    verdict_ = problem;
    if (reporter_.problem)
        reporter_.problem(problem);
}

void DeviceLink::traceReceived(const QByteArray &wire) const
{
    if (!wire.isEmpty())
        trace(hexDumpEntry(QLatin1String(kReceivedHeader),
                           reinterpret_cast<const uint8_t *>(wire.constData()),
                           uint16_t(wire.size())));
}
