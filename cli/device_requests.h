// The requests kestroctl sends and what it makes of their responses, shared
// by the commands.
#ifndef CLI_DEVICE_REQUESTS_H
#define CLI_DEVICE_REQUESTS_H

#include "cli/device_link.h"
#include "protocol/device_config.h"

#include <QByteArray>
#include <QStringList>

// The exit code for an exchange that got no valid response.
int exitCodeOf(LinkResult result);

// The request messages, each as its frame carries it.
Bytes emptyRequest(const MessageKind &kind);
Bytes configUpdateRequest(const DeviceConfig &config);
Bytes certificateUploadRequest(const QByteArray &certificate);

// Reads the device's configuration as the thirteen values. Answers the exit
// code: ExitDone, or why there are no values (a non-zero status is printed).
int queryValues(DeviceLink &link, QStringList &values);
// Opens the link first: ExitPort when it does not open.
int openAndQueryValues(DeviceLink &link, QStringList &values);

// How a step tells the device's status: the commands print the window's
// "<request> returned <status>" line as their result; a station, whose
// standard output has one line per unit, reports only a non-zero status, as
// a diagnostic.
enum class StatusReport { AsResult, OnlyFailure };

// Sends a request that the device answers with a status, and reports it as
// `report` says. Answers ExitDone only for status 0.
int statusExchange(DeviceLink &link, const MessageKind &kind, const Bytes &request,
                   StatusReport report = StatusReport::AsResult);

#endif // CLI_DEVICE_REQUESTS_H
