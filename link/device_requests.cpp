#include "link/device_requests.h"
#include "config/config_values.h"
#include "device/exchange_log.h"
#include "protocol/device_message.h"

#include <cstring>

namespace {

StepResult failed(StepOutcome outcome, const QString &message)
{
    StepResult result;
    result.outcome = outcome;
    result.message = message;
    return result;
}

// A link's failure as a step's: its verdict was told already.
StepResult linkFailure(const DeviceLink &link, LinkResult result)
{
    return failed(result == LinkResult::PortLost ? StepOutcome::PortLost : StepOutcome::NoResponse,
                  link.verdict());
}

QStringList valuesOf(const QByteArray &response)
{
    DeviceConfig config;
    std::memcpy(&config,
                response.constData() + offsetof(DeviceMessage, payload) +
                    offsetof(ConfigQueryResponse, config),
                sizeof config);
    return valuesFromConfig(config);
}

} // namespace

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

LinkResult exchangeStatus(DeviceLink &link, const MessageKind &kind, const Bytes &request,
                          int32_t &status)
{
    QByteArray response;
    const LinkResult result = link.exchange(kind, request, response);
    status = result == LinkResult::Answered ? responseStatus(response) : 0;
    return result;
}

StepResult queryValues(DeviceLink &link, QStringList &values)
{
    QByteArray response;
    const LinkResult result =
        link.exchange(kConfigQueryKind, emptyRequest(kConfigQueryKind), response);
    if (result != LinkResult::Answered)
        return linkFailure(link, result);
    const int32_t status = responseStatus(response);
    if (status != 0)
        return failed(StepOutcome::DeviceStatus, returnedLine(kConfigQueryKind, status));
    values = valuesOf(response);
    return StepResult();
}

LinkResult probeValues(DeviceLink &link, QStringList &values)
{
    QByteArray response;
    const LinkResult result =
        link.probe(kConfigQueryKind, emptyRequest(kConfigQueryKind), response);
    values.clear();
    if (result == LinkResult::Answered && responseStatus(response) == 0)
        values = valuesOf(response);
    return result;
}

StepResult statusExchange(DeviceLink &link, const MessageKind &kind, const Bytes &request)
{
    int32_t status = 0;
    const LinkResult result = exchangeStatus(link, kind, request, status);
    if (result != LinkResult::Answered)
        return linkFailure(link, result);
    if (status != 0)
        return failed(StepOutcome::DeviceStatus, returnedLine(kind, status));
    return StepResult();
}
