// Messages between the tool and the device. Each message is the payload of
// exactly one frame: a 32-bit little-endian id followed by the layout the id
// selects. Requests have even ids, each response the odd id after its
// request's. Only the first N bytes of the record go on the wire, N being the
// message's length below.
#ifndef PROTOCOL_DEVICE_MESSAGE_H
#define PROTOCOL_DEVICE_MESSAGE_H

#include "protocol/device_config.h"

#include <cstddef>
#include <cstdint>
#include <cstring>

enum : uint32_t {
    MSG_PING_REQUEST = 0,
    MSG_PING_RESPONSE = 1,
    MSG_CONFIG_QUERY_REQUEST = 2,
    MSG_CONFIG_QUERY_RESPONSE = 3,
    MSG_CONFIG_UPDATE_REQUEST = 4,
    MSG_CONFIG_UPDATE_RESPONSE = 5,
    MSG_CERT_UPLOAD_REQUEST = 8,
    MSG_CERT_UPLOAD_RESPONSE = 9
};

// Most certificate bytes one upload carries.
constexpr uint16_t CERT_DATA_MAX = 8192;

#pragma pack(push, 1)
struct StatusResponse {
    int32_t status;
};

struct ConfigQueryResponse {
    int32_t status;
    DeviceConfig config;
};

struct CertificatePayload {
    uint16_t length;
    uint8_t data[CERT_DATA_MAX];
};

struct DeviceMessage {
    uint32_t msgId;
    union {
        DeviceConfig config;                     // MSG_CONFIG_UPDATE_REQUEST
        StatusResponse statusResponse;           // ping, update and upload responses
        ConfigQueryResponse configQueryResponse; // MSG_CONFIG_QUERY_RESPONSE
        CertificatePayload certificate;          // MSG_CERT_UPLOAD_REQUEST
    } payload;
};
#pragma pack(pop)

// Message lengths inside the frame.
constexpr uint16_t MSG_LEN_PING_REQUEST = 4;
constexpr uint16_t MSG_LEN_CONFIG_QUERY_REQUEST = 4;
constexpr uint16_t MSG_LEN_STATUS_RESPONSE = 4 + sizeof(StatusResponse);
constexpr uint16_t MSG_LEN_CONFIG_QUERY_RESPONSE = 4 + sizeof(ConfigQueryResponse);
constexpr uint16_t MSG_LEN_CONFIG_UPDATE_REQUEST = 4 + sizeof(DeviceConfig);
constexpr uint16_t MSG_LEN_CERT_UPLOAD_HEADER = 4 + sizeof(uint16_t);
constexpr uint16_t MSG_LEN_CERT_UPLOAD_MAX = MSG_LEN_CERT_UPLOAD_HEADER + CERT_DATA_MAX;

static_assert(sizeof(StatusResponse) == 4, "StatusResponse size");
static_assert(sizeof(ConfigQueryResponse) == 2319, "ConfigQueryResponse size");
static_assert(offsetof(ConfigQueryResponse, config) == 4, "ConfigQueryResponse.config offset");
static_assert(sizeof(CertificatePayload) == 8194, "CertificatePayload size");
static_assert(offsetof(CertificatePayload, data) == 2, "CertificatePayload.data offset");
static_assert(sizeof(DeviceMessage) == 8198, "DeviceMessage size");
static_assert(alignof(DeviceMessage) == 1, "DeviceMessage must be byte-packed");
static_assert(offsetof(DeviceMessage, msgId) == 0, "msgId offset");
static_assert(offsetof(DeviceMessage, payload) == 4, "payload offset");
static_assert(sizeof(DeviceMessage::payload) == 8194, "payload union size");
static_assert(offsetof(DeviceMessage, payload) + offsetof(ConfigQueryResponse, config) == 8,
              "query response config at message offset 8");
static_assert(offsetof(DeviceMessage, payload) + offsetof(CertificatePayload, length) == 4,
              "certificate length at message offset 4");
static_assert(offsetof(DeviceMessage, payload) + offsetof(CertificatePayload, data) == 6,
              "certificate data at message offset 6");

// Every response carries its status right after the id, whatever else follows.
constexpr std::size_t MSG_STATUS_OFFSET =
    offsetof(DeviceMessage, payload) + offsetof(StatusResponse, status);
static_assert(MSG_STATUS_OFFSET == 4, "status right after the id");
static_assert(offsetof(ConfigQueryResponse, status) == offsetof(StatusResponse, status),
              "the query response's status where every other response has it");

// Starts a message in the record: the id, and every payload byte that the
// layout does not assign zero. Only the first N bytes of the record, N being
// the message's length, then go on the wire.
inline void startMessage(DeviceMessage &message, uint32_t msgId)
{
    std::memset(&message.payload, 0, sizeof message.payload);
    message.msgId = msgId;
}

// Puts `length` certificate bytes (at most CERT_DATA_MAX) into an upload
// request; answers the request's length.
inline uint16_t putCertificate(DeviceMessage &message, const void *data, uint16_t length)
{
    message.payload.certificate.length = length;
    std::memcpy(message.payload.certificate.data, data, length);
    return uint16_t(MSG_LEN_CERT_UPLOAD_HEADER + length);
}

// Payload capacity of every frame codec in the system: the largest message
// plus four bytes. A frame that announces a little more than any message can
// hold is still received whole and reported with its true length, instead of
// being refused as a framing error.
constexpr uint16_t FRAME_BUFFER_SIZE = sizeof(DeviceMessage) + 4;

static_assert(FRAME_BUFFER_SIZE == 8202, "frame buffer size");
static_assert(MSG_LEN_STATUS_RESPONSE == 8, "status response length");
static_assert(MSG_LEN_CONFIG_QUERY_RESPONSE == 2323, "config query response length");
static_assert(MSG_LEN_CONFIG_UPDATE_REQUEST == 2319, "config update request length");
static_assert(MSG_LEN_CERT_UPLOAD_MAX == sizeof(DeviceMessage), "largest upload fills the record");

#endif // PROTOCOL_DEVICE_MESSAGE_H
