// The link to the device: one serial port at the device's line settings, and
// request/response exchanges on it with a time-out, retries and a trace.
// Shared by kestroctl's commands and the station; it prints nothing itself.
#ifndef LINK_DEVICE_LINK_H
#define LINK_DEVICE_LINK_H

#include "device/port_claim.h"
#include "protocol/message_framing.h"
#include "protocol/message_kinds.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QSerialPort>
#include <QString>

#include <cstdint>
#include <functional>

struct LinkSettings {
    QString port;
    int timeoutMs = 2000;
    int retries = 2;
    int waitPortSeconds = 0;
    bool trace = false;
};

// Milliseconds that `bytes` take on the line at 115200 baud, 8N1 (ten bits
// a byte), rounded up.
qint64 lineTimeMs(qint64 bytes);

enum class LinkResult {
    Answered,
    NoResponse,
    PortLost,
    Interrupted // cut short by the link's interruption (setInterruption); nothing told
};

// Where a link's words go: its diagnostics (each failed try, each verdict)
// and, with --trace, its hex dumps. Either may be empty: not told.
struct LinkReporter {
    std::function<void(const QString &line)> problem;
    std::function<void(const QString &entry)> trace;
};

class DeviceLink
{
public:
    DeviceLink(const LinkSettings &settings, LinkReporter reporter);

    // Claims and opens the port, trying again while it is absent or busy
    // until the --wait-port time has run out; false (with the reason told)
    // if it never opened.
    bool open();

    // Sends the request message and waits for the response `kind` names,
    // sending again after a time-out, a broken frame, an unexpected id or a
    // wrong length, up to the retries allowed. Bytes waiting before the send
    // are dropped, and a valid response to another request is set aside. Every failed try and the
    // final verdict are told. On Answered, `response` holds the whole
    // response message.
    LinkResult exchange(const MessageKind &kind, const Bytes &request, QByteArray &response);

    // One try of the exchange, nothing told: for a check whose silence is an
    // answer too (is the unit still there?).
    LinkResult probe(const MessageKind &kind, const Bytes &request, QByteArray &response);
    // When the last exchange or probe got no valid response but the device
    // did answer, what was wrong with its last bad answer ("Ping: broken
    // frame"); empty when it was silent or answered well.
    QString badAnswer() const { return badAnswer_; }
    // Cuts an exchange short as soon as `interrupted` answers true: it is
    // asked before each try and about every 50 ms while the link waits on
    // the line, from the exchange's own thread. Unset: never cut short.
    void setInterruption(std::function<bool()> interrupted);
    // Whether an exchange on this link was ever cut short.
    bool interrupted() const { return interrupted_; }

    // Why the last open or exchange failed, as it was told.
    QString verdict() const { return verdict_; }
    // Tells a step's own diagnosis the way the link tells its own, and makes
    // it the verdict.
    void tell(const QString &problem);

private:
    enum class Step { Done, Pending, Failed, PortLost, Interrupted };

    PortState openOnce(QString &problem);
    void dropStaleBytes();
    QString lossReason() const;
    Step tryOnce(const MessageKind &kind, const Bytes &frame, QByteArray &response,
                 QString &problem);
    Step send(const MessageKind &kind, const Bytes &frame, qint64 &onLineAt, QString &problem);
    Step receive(const MessageKind &kind, qint64 deadline, QByteArray &response, QString &problem);
    Step decodeReceived(const MessageKind &kind, FrameReader &reader, QByteArray &wire,
                        QByteArray &response, QString &problem);
    bool portFailed() const;
    bool cutShort() const { return interruption_ && interruption_(); }
    void reportTry(const MessageKind &kind, const QString &problem, int attempt);
    void trace(const QString &entry) const;
    void traceReceived(const QByteArray &wire) const;

    LinkSettings settings_;
    LinkReporter reporter_;
    QString verdict_;
    QString badAnswer_;
    std::function<bool()> interruption_;
    bool interrupted_ = false;
    PortClaim claim_;
    QSerialPort port_;
    QElapsedTimer clock_;
};

// The status that every response carries right after its id.
int32_t responseStatus(const QByteArray &response);

#endif // LINK_DEVICE_LINK_H
