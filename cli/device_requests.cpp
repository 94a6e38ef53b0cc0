#include "cli/device_requests.h"
#include "cli/console.h"
#include "cli/exit_codes.h"
#include "config/config_values.h"
#include "device/exchange_log.h"
#include "protocol/device_message.h"

#include <cstring>

int exitCodeOf(LinkResult result)
{
    switch (result) {
    case LinkResult::Answered: return ExitDone;
    case LinkResult::NoResponse: return ExitNoResponse;
    case LinkResult::PortLost: return ExitPort;
    }
    return ExitNoResponse;
}

Bytes emptyRequest(const MessageKind &kind)
{
    DeviceMessage message;
    startMessage(message, kind.requestId);
    return messageBytes(message, kind.requestLength);
}

Bytes configUpdateRequest(const DeviceConfig &config)
{
    DeviceMessage message;
    startMessage(message, kConfigUpdateKind.requestId);
    message.payload.config = config;
    return messageBytes(message, kConfigUpdateKind.requestLength);
}

Bytes certificateUploadRequest(const QByteArray &certificate)
{
    DeviceMessage message;
    startMessage(message, kCertificateUploadKind.requestId);
    return messageBytes(
        message, putCertificate(message, certificate.constData(), uint16_t(certificate.size())));
}

int queryValues(DeviceLink &link, QStringList &values)
{
    QByteArray response;
    const LinkResult result =
        link.exchange(kConfigQueryKind, emptyRequest(kConfigQueryKind), response);
    if (result != LinkResult::Answered)
        return exitCodeOf(result);
    const int32_t status = responseStatus(response);
    if (status != 0) {
        printResult(returnedLine(kConfigQueryKind, status));
        return ExitDeviceStatus;
    }
    DeviceConfig config;
    std::memcpy(&config,
                response.constData() + offsetof(DeviceMessage, payload) +
                    offsetof(ConfigQueryResponse, config),
                sizeof config);
    values = valuesFromConfig(config);
    return ExitDone;
}

int openAndQueryValues(DeviceLink &link, QStringList &values)
{
    if (!link.open())
        return ExitPort;
    return queryValues(link, values);
}

int statusExchange(DeviceLink &link, const MessageKind &kind, const Bytes &request,
                   StatusReport report)
{
    QByteArray response;
    const LinkResult result = link.exchange(kind, request, response);
    if (result != LinkResult::Answered)
        return exitCodeOf(result);
    const int32_t status = responseStatus(response);
    if (report == StatusReport::AsResult)
        printResult(returnedLine(kind, status));
    else if (status != 0)
        printProblem(returnedLine(kind, status));
    return status == 0 ? ExitDone : ExitDeviceStatus;
}
