// The device's configuration record, exactly as it travels on the wire.
//
// Each text field is a one-byte UTF-8 byte count followed by a fixed array
// holding the text's bytes, a NUL, and zeros up to the array's end; so an
// array of N bytes holds at most N - 1 bytes of text. The record is read and
// written in place, so its layout is checked at compile time below.
#ifndef PROTOCOL_DEVICE_CONFIG_H
#define PROTOCOL_DEVICE_CONFIG_H

#include <cstddef>
#include <cstdint>

#pragma pack(push, 1)
struct DeviceConfig {
    uint16_t smtpPort;
    uint8_t hostnameLength;
    char hostname[64];
    uint8_t descriptionLength;
    char description[255];
    uint8_t ssidLength;
    char ssid[32];
    uint8_t wifiPasswordLength;
    char wifiPassword[64];
    uint8_t smtpServerNameLength;
    char smtpServerName[255];
    uint8_t emailAccountLength;
    char emailAccount[255];
    uint8_t emailPasswordLength;
    char emailPassword[101];
    uint8_t addressee1Length;
    char addressee1[255];
    uint8_t addressee2Length;
    char addressee2[255];
    uint8_t addressee3Length;
    char addressee3[255];
    uint8_t addressee4Length;
    char addressee4[255];
    uint8_t addressee5Length;
    char addressee5[255];
};
#pragma pack(pop)

static_assert(sizeof(DeviceConfig) == 2315, "DeviceConfig size");
static_assert(alignof(DeviceConfig) == 1, "DeviceConfig must be byte-packed");
static_assert(offsetof(DeviceConfig, smtpPort) == 0, "smtpPort offset");
static_assert(offsetof(DeviceConfig, hostnameLength) == 2, "hostnameLength offset");
static_assert(offsetof(DeviceConfig, hostname) == 3, "hostname offset");
static_assert(offsetof(DeviceConfig, descriptionLength) == 67, "descriptionLength offset");
static_assert(offsetof(DeviceConfig, description) == 68, "description offset");
static_assert(offsetof(DeviceConfig, ssidLength) == 323, "ssidLength offset");
static_assert(offsetof(DeviceConfig, ssid) == 324, "ssid offset");
static_assert(offsetof(DeviceConfig, wifiPasswordLength) == 356, "wifiPasswordLength offset");
static_assert(offsetof(DeviceConfig, wifiPassword) == 357, "wifiPassword offset");
static_assert(offsetof(DeviceConfig, smtpServerNameLength) == 421, "smtpServerNameLength offset");
static_assert(offsetof(DeviceConfig, smtpServerName) == 422, "smtpServerName offset");
static_assert(offsetof(DeviceConfig, emailAccountLength) == 677, "emailAccountLength offset");
static_assert(offsetof(DeviceConfig, emailAccount) == 678, "emailAccount offset");
static_assert(offsetof(DeviceConfig, emailPasswordLength) == 933, "emailPasswordLength offset");
static_assert(offsetof(DeviceConfig, emailPassword) == 934, "emailPassword offset");
static_assert(offsetof(DeviceConfig, addressee1Length) == 1035, "addressee1Length offset");
static_assert(offsetof(DeviceConfig, addressee1) == 1036, "addressee1 offset");
static_assert(offsetof(DeviceConfig, addressee2Length) == 1291, "addressee2Length offset");
static_assert(offsetof(DeviceConfig, addressee2) == 1292, "addressee2 offset");
static_assert(offsetof(DeviceConfig, addressee3Length) == 1547, "addressee3Length offset");
static_assert(offsetof(DeviceConfig, addressee3) == 1548, "addressee3 offset");
static_assert(offsetof(DeviceConfig, addressee4Length) == 1803, "addressee4Length offset");
static_assert(offsetof(DeviceConfig, addressee4) == 1804, "addressee4 offset");
static_assert(offsetof(DeviceConfig, addressee5Length) == 2059, "addressee5Length offset");
static_assert(offsetof(DeviceConfig, addressee5) == 2060, "addressee5 offset");

// Records are read in place, so the host must share the wire's byte order.
static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "the wire records are little-endian");

#endif // PROTOCOL_DEVICE_CONFIG_H
