// Where each row of the configuration table lives in the DeviceConfig record.
// Shared by the table mapping and by the Update sender's size check, so both
// agree on every field's room.
#ifndef CONFIG_CONFIG_FIELDS_H
#define CONFIG_CONFIG_FIELDS_H

#include "protocol/device_config.h"

#include <cstddef>

struct ConfigField {
    const char *rowName;
    std::size_t lengthOffset; // the text's byte count
    std::size_t arrayOffset;  // the text's bytes, a NUL, then zeros
    std::size_t arraySize;    // 0 marks the port number

    bool isText() const { return arraySize != 0; }
    // Most UTF-8 bytes of text the array holds: one byte stays for the NUL.
    int maxTextBytes() const { return int(arraySize) - 1; }
};

#define KESTRO_TEXT_FIELD(rowName, member)                                                         \
    {                                                                                              \
        rowName, offsetof(DeviceConfig, member##Length), offsetof(DeviceConfig, member),           \
            sizeof(DeviceConfig::member)                                                           \
    }

// In table order, which is also the order in which rows are shown and packed.
inline constexpr ConfigField kConfigFields[] = {
    KESTRO_TEXT_FIELD("Hostname", hostname),
    KESTRO_TEXT_FIELD("Description", description),
    KESTRO_TEXT_FIELD("SSID", ssid),
    KESTRO_TEXT_FIELD("Wifi Password", wifiPassword),
    KESTRO_TEXT_FIELD("SMTP Server Name", smtpServerName),
    {"SMTP Port", 0, offsetof(DeviceConfig, smtpPort), 0},
    KESTRO_TEXT_FIELD("Email Account", emailAccount),
    KESTRO_TEXT_FIELD("Email Password", emailPassword),
    KESTRO_TEXT_FIELD("Addressee 1", addressee1),
    KESTRO_TEXT_FIELD("Addressee 2", addressee2),
    KESTRO_TEXT_FIELD("Addressee 3", addressee3),
    KESTRO_TEXT_FIELD("Addressee 4", addressee4),
    KESTRO_TEXT_FIELD("Addressee 5", addressee5),
};

#undef KESTRO_TEXT_FIELD

#endif // CONFIG_CONFIG_FIELDS_H
