#include "cli/device_requests.h"
#include "cli/console.h"
#include "cli/exit_codes.h"
#include "config/config_values.h"
#include "protocol/device_message.h"

#include <cstring>

LinkSettings linkSettings(const Invocation &invocation)
{
    LinkSettings settings;
    settings.port = invocation.port;
    settings.timeoutMs = invocation.timeoutMs;
    settings.retries = invocation.retries;
    settings.waitPortSeconds = invocation.waitPortSeconds;
    settings.trace = invocation.trace;
    return settings;
}

int exitCodeOf(LinkResult result)
{
    switch (result) {
    case LinkResult::Answered: return ExitDone;
    case LinkResult::NoResponse: return ExitNoResponse;
    case LinkResult::PortLost: return ExitPort;
    }
    return ExitNoResponse;
}

QByteArray requestMessage(uint32_t msgId, const QByteArray &payload)
{
    QByteArray message(reinterpret_cast<const char *>(&msgId), int(sizeof msgId));
    return message + payload;
}

QByteArray configUpdateRequest(const DeviceConfig &config)
{
    return requestMessage(MSG_CONFIG_UPDATE_REQUEST,
                          QByteArray(reinterpret_cast<const char *>(&config), int(sizeof config)));
}

QByteArray certificateUploadRequest(const QByteArray &certificate)
{
    const auto length = uint16_t(certificate.size());
    const QByteArray lengthBytes(reinterpret_cast<const char *>(&length), int(sizeof length));
    return requestMessage(MSG_CERT_UPLOAD_REQUEST, lengthBytes + certificate);
}

int queryValues(DeviceLink &link, QStringList &values)
{
    QByteArray response;
    const LinkResult result =
        link.exchange(kConfigQueryKind, requestMessage(MSG_CONFIG_QUERY_REQUEST), response);
    if (result != LinkResult::Answered)
        return exitCodeOf(result);
    const int32_t status = responseStatus(response);
    if (status != 0) {
        printProblem(QStringLiteral("Config Query returned %1").arg(status));
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

int statusExchange(DeviceLink &link, const RequestKind &kind, const QByteArray &request)
{
    QByteArray response;
    const LinkResult result = link.exchange(kind, request, response);
    if (result != LinkResult::Answered)
        return exitCodeOf(result);
    const int32_t status = responseStatus(response);
    printResult(QStringLiteral("%1 returned %2").arg(QString::fromLatin1(kind.name)).arg(status));
    return status == 0 ? ExitDone : ExitDeviceStatus;
}
