// The requests sent to a device and what is made of their responses, shared
// by kestroctl's commands and the station.
#ifndef LINK_DEVICE_REQUESTS_H
#define LINK_DEVICE_REQUESTS_H

#include "link/device_link.h"
#include "protocol/device_config.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

// What became of a step on a device.
enum class StepOutcome {
    Done,
    DeviceStatus,  // the device answered with a non-zero status
    NoResponse,    // no valid response after all tries
    PortLost,      // the port went away
    InvalidValues, // the values to send do not pass the checks; nothing was sent
    Differs,       // what was read back is not what was written
};

struct StepResult {
    StepOutcome outcome = StepOutcome::Done;
    // Why it did not end Done, in the operator's words: for a device status
    // the window's "<request> returned <status>" line; for the line, the
    // link's verdict, already told.
    QString message;

    bool done() const { return outcome == StepOutcome::Done; }
};

// The request messages, each as its frame carries it.
Bytes emptyRequest(const MessageKind &kind);
Bytes configUpdateRequest(const DeviceConfig &config);
Bytes certificateUploadRequest(const QByteArray &certificate);

// Sends the request and waits for its answer; `status` is the device's
// status when it answered.
LinkResult exchangeStatus(DeviceLink &link, const MessageKind &kind, const Bytes &request,
                          int32_t &status);

// Reads the device's configuration as the thirteen values.
StepResult queryValues(DeviceLink &link, QStringList &values);

// One try of Config Query, nothing told: a check on the unit still on its
// fixture. `values` is left empty when the device answered with a non-zero
// status.
LinkResult probeValues(DeviceLink &link, QStringList &values);

// Sends a request that the device answers with a status: Done only for
// status 0.
StepResult statusExchange(DeviceLink &link, const MessageKind &kind, const Bytes &request);

#endif // LINK_DEVICE_REQUESTS_H
