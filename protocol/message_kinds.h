// The four exchanges the device understands, in one table: each request's
// id and length, the response it gets and that response's only valid
// length, and the name by which the tool's log reports it. The window's send
// and receive paths, kestroctl and the simulator all look their exchanges up
// here, so a new message is added in one place.
#ifndef PROTOCOL_MESSAGE_KINDS_H
#define PROTOCOL_MESSAGE_KINDS_H

#include "protocol/device_message.h"

#include <cstdint>

struct MessageKind {
    const char *name; // as the log reports it: "Ping", "Config Query", ...
    uint32_t requestId;
    uint16_t requestLength; // the upload's header only: its certificate bytes follow
    uint32_t responseId;
    uint16_t responseLength;
};

inline constexpr MessageKind kPingKind = {"Ping", MSG_PING_REQUEST, MSG_LEN_PING_REQUEST,
                                          MSG_PING_RESPONSE, MSG_LEN_STATUS_RESPONSE};
inline constexpr MessageKind kConfigQueryKind = {
    "Config Query", MSG_CONFIG_QUERY_REQUEST, MSG_LEN_CONFIG_QUERY_REQUEST,
    MSG_CONFIG_QUERY_RESPONSE, MSG_LEN_CONFIG_QUERY_RESPONSE};
inline constexpr MessageKind kConfigUpdateKind = {
    "Config Update", MSG_CONFIG_UPDATE_REQUEST, MSG_LEN_CONFIG_UPDATE_REQUEST,
    MSG_CONFIG_UPDATE_RESPONSE, MSG_LEN_STATUS_RESPONSE};
inline constexpr MessageKind kCertificateUploadKind = {
    "Certificate Upload", MSG_CERT_UPLOAD_REQUEST, MSG_LEN_CERT_UPLOAD_HEADER,
    MSG_CERT_UPLOAD_RESPONSE, MSG_LEN_STATUS_RESPONSE};

inline constexpr const MessageKind *kMessageKinds[] = {&kPingKind, &kConfigQueryKind,
                                                       &kConfigUpdateKind, &kCertificateUploadKind};

// The exchange whose `id` (&MessageKind::requestId or ::responseId) is
// `value`, or nullptr.
inline const MessageKind *findKind(uint32_t MessageKind::*id, uint32_t value)
{
    for (const MessageKind *kind : kMessageKinds) {
        if (kind->*id == value)
            return kind;
    }
    return nullptr;
}

#endif // PROTOCOL_MESSAGE_KINDS_H
