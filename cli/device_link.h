// The link to the device: one serial port at the device's line settings, and
// request/response exchanges on it with a time-out, retries and a trace.
#ifndef CLI_DEVICE_LINK_H
#define CLI_DEVICE_LINK_H

#include "device/port_claim.h"
#include "protocol/message_framing.h"
#include "protocol/message_kinds.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QSerialPort>
#include <QString>

#include <cstdint>

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

enum class LinkResult { Answered, NoResponse, PortLost };

class DeviceLink
{
public:
    explicit DeviceLink(const LinkSettings &settings);

    // Claims and opens the port, trying again while it is absent or busy
    // until the --wait-port time has run out; false (with the reason on
    // standard error) if it never opened.
    bool open();

    // Sends the request message and waits for the response `kind` names,
    // sending again after a time-out, a broken frame, an unexpected id or a
    // wrong length, up to the retries allowed. Bytes waiting before the send
    // are dropped, and a valid response to another request is set aside. Every failed try and the
    // final verdict are reported on standard error. On Answered, `response`
    // holds the whole response message.
    LinkResult exchange(const MessageKind &kind, const Bytes &request, QByteArray &response);

private:
    enum class Step { Done, Pending, Failed, PortLost };

    PortState openOnce(QString &problem);
    void dropStaleBytes();
    QString lossReason() const;
    Step tryOnce(const MessageKind &kind, const Bytes &frame, QByteArray &response,
                 QString &problem);
    Step send(const MessageKind &kind, const Bytes &frame, qint64 &onLineAt, QString &problem);
    Step receive(const MessageKind &kind, qint64 deadline, QByteArray &response, QString &problem);
    Step take(const MessageKind &kind, FrameReader &reader, QByteArray &wire, QByteArray &response,
              QString &problem);
    bool portFailed() const;
    void reportTry(const MessageKind &kind, const QString &problem, int attempt) const;
    void trace(const QString &entry) const;
    void traceReceived(const QByteArray &wire) const;

    LinkSettings settings_;
    PortClaim claim_;
    QSerialPort port_;
    QElapsedTimer clock_;
};

// The status that every response carries right after its id.
int32_t responseStatus(const QByteArray &response);

#endif // CLI_DEVICE_LINK_H
