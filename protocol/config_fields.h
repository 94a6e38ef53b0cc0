// The thirteen values of the device's configuration, in the order in which
// the window shows them as rows: each one's row label, its key in
// configuration files, and where it lives in the DeviceConfig record. The
// window, the Update sender's size check, the simulator and kestroctl all
// read this one table, so they agree on every field's name and room.
#ifndef PROTOCOL_CONFIG_FIELDS_H
#define PROTOCOL_CONFIG_FIELDS_H

#include "protocol/device_config.h"

#include <cstddef>

// Row indexes of the configuration table, which are also the indexes of
// kConfigFields.
enum ConfigRow : int {
    RowHostname = 0,
    RowDescription = 1,
    RowSsid = 2,
    RowWifiPassword = 3,
    RowSmtpServerName = 4,
    RowSmtpPort = 5,
    RowEmailAccount = 6,
    RowEmailPassword = 7,
    RowFirstAddressee = 8,
    RowLastAddressee = 12,
    ConfigRowCount = 13
};

struct ConfigField {
    const char *rowName;      // the row's label in the window
    const char *key;          // the value's name in configuration files
    std::size_t lengthOffset; // the text's byte count
    std::size_t arrayOffset;  // the text's bytes, a NUL, then zeros
    std::size_t arraySize;    // 0 marks the port number

    constexpr bool isText() const { return arraySize != 0; }
    // Most UTF-8 bytes of text the array holds: one byte stays for the NUL.
    constexpr int maxTextBytes() const { return int(arraySize) - 1; }
};

#define KESTRO_TEXT_FIELD(rowName, key, member)                                                    \
    {                                                                                              \
        rowName, key, offsetof(DeviceConfig, member##Length), offsetof(DeviceConfig, member),      \
            sizeof(DeviceConfig::member)                                                           \
    }

inline constexpr ConfigField kConfigFields[ConfigRowCount] = {
    KESTRO_TEXT_FIELD("Hostname", "hostname", hostname),
    KESTRO_TEXT_FIELD("Description", "description", description),
    KESTRO_TEXT_FIELD("SSID", "ssid", ssid),
    KESTRO_TEXT_FIELD("Wifi Password", "wifi_password", wifiPassword),
    KESTRO_TEXT_FIELD("SMTP Server Name", "smtp_server", smtpServerName),
    {"SMTP Port", "smtp_port", 0, offsetof(DeviceConfig, smtpPort), 0},
    KESTRO_TEXT_FIELD("Email Account", "email_account", emailAccount),
    KESTRO_TEXT_FIELD("Email Password", "email_password", emailPassword),
    KESTRO_TEXT_FIELD("Addressee 1", "addressee_1", addressee1),
    KESTRO_TEXT_FIELD("Addressee 2", "addressee_2", addressee2),
    KESTRO_TEXT_FIELD("Addressee 3", "addressee_3", addressee3),
    KESTRO_TEXT_FIELD("Addressee 4", "addressee_4", addressee4),
    KESTRO_TEXT_FIELD("Addressee 5", "addressee_5", addressee5),
};

#undef KESTRO_TEXT_FIELD

// The row enum and the table must name the same fields.
static_assert(kConfigFields[RowHostname].arrayOffset == offsetof(DeviceConfig, hostname));
static_assert(kConfigFields[RowDescription].arrayOffset == offsetof(DeviceConfig, description));
static_assert(kConfigFields[RowSsid].arrayOffset == offsetof(DeviceConfig, ssid));
static_assert(kConfigFields[RowWifiPassword].arrayOffset == offsetof(DeviceConfig, wifiPassword));
static_assert(kConfigFields[RowSmtpServerName].arrayOffset ==
              offsetof(DeviceConfig, smtpServerName));
static_assert(kConfigFields[RowSmtpPort].arrayOffset == offsetof(DeviceConfig, smtpPort) &&
              !kConfigFields[RowSmtpPort].isText());
static_assert(kConfigFields[RowEmailAccount].arrayOffset == offsetof(DeviceConfig, emailAccount));
static_assert(kConfigFields[RowEmailPassword].arrayOffset == offsetof(DeviceConfig, emailPassword));
static_assert(kConfigFields[RowFirstAddressee].arrayOffset == offsetof(DeviceConfig, addressee1));
static_assert(kConfigFields[RowLastAddressee].arrayOffset == offsetof(DeviceConfig, addressee5));
static_assert(RowLastAddressee + 1 == ConfigRowCount);

#endif // PROTOCOL_CONFIG_FIELDS_H
