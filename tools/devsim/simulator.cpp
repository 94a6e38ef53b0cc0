#include "tools/devsim/simulator.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace devsim {

namespace {

void setText(DeviceConfig &config, int row, const char *text)
{
    const ConfigField &field = kConfigFields[row];
    auto *record = reinterpret_cast<uint8_t *>(&config);
    const size_t length = std::strlen(text);
    record[field.lengthOffset] = static_cast<uint8_t>(length);
    std::memcpy(record + field.arrayOffset, text, length);
}

uint32_t readU32(const uint8_t *bytes)
{
    uint32_t value;
    std::memcpy(&value, bytes, sizeof value);
    return value;
}

void appendU32(Bytes &bytes, uint32_t value)
{
    for (int i = 0; i < 4; ++i)
        bytes.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

std::string lengthProblem(const char *request, size_t length, size_t expected)
{
    return std::string(request) + " request of " + std::to_string(length) + " bytes, expected " +
           std::to_string(expected) + "; no answer";
}

} // namespace

const Bytes &noiseBytes()
{
    static const Bytes noise = {0x11, 0x22, 0xC0, 0xFF};
    return noise;
}

DeviceConfig defaultConfig()
{
    DeviceConfig config;
    std::memset(&config, 0, sizeof config);
    config.smtpPort = 587;
    setText(config, RowHostname, "kestro-3-sim");
    setText(config, RowDescription, "Simulated Kestro 3 on the bench");
    setText(config, RowSsid, "field-lab");
    setText(config, RowWifiPassword, "correct horse battery");
    setText(config, RowSmtpServerName, "mail.example.com");
    setText(config, RowEmailAccount, "kestro@example.com");
    setText(config, RowEmailPassword, "s3cret-mail");
    setText(config, RowFirstAddressee, "technician@example.com");
    return config;
}

std::string configProblem(const DeviceConfig &config)
{
    const auto *record = reinterpret_cast<const uint8_t *>(&config);
    for (const ConfigField &field : kConfigFields) {
        if (!field.isText())
            continue;
        const auto *text = record + field.arrayOffset;
        const void *nul = std::memchr(text, 0, field.arraySize);
        if (!nul)
            return std::string(field.key) + " has no NUL inside its " +
                   std::to_string(field.arraySize) + " bytes";
        const size_t textLength = static_cast<size_t>(static_cast<const uint8_t *>(nul) - text);
        const unsigned lengthByte = record[field.lengthOffset];
        if (lengthByte != textLength)
            return std::string(field.key) + " length byte " + std::to_string(lengthByte) +
                   " disagrees with its text of " + std::to_string(textLength) + " bytes";
    }
    return std::string();
}

Simulator::Simulator(const Faults &faults) : faults_(faults), config_(defaultConfig()) {}

Bytes Simulator::statusResponse(uint32_t id, int32_t status) const
{
    Bytes response;
    appendU32(response, id);
    appendU32(response, static_cast<uint32_t>(faults_.overrideStatus ? faults_.status : status));
    return response;
}

Bytes Simulator::finish(Bytes response) const
{
    if (faults_.unexpectedId) {
        Bytes id;
        appendU32(id, UNEXPECTED_RESPONSE_ID);
        std::copy(id.begin(), id.end(), response.begin());
    }
    if (faults_.wrongLength)
        response.push_back(0);
    return response;
}

Outcome Simulator::handle(const uint8_t *message, size_t length)
{
    Outcome outcome;
    if (length < 4) {
        outcome.problem =
            "message of " + std::to_string(length) + " bytes is too short for an id; no answer";
        return outcome;
    }
    const uint32_t id = readU32(message);
    switch (id) {
    case MSG_PING_REQUEST: outcome = handlePing(length); break;
    case MSG_CONFIG_QUERY_REQUEST: outcome = handleQuery(length); break;
    case MSG_CONFIG_UPDATE_REQUEST: outcome = handleUpdate(message, length); break;
    case MSG_CERT_UPLOAD_REQUEST: outcome = handleCertificate(message, length); break;
    default:
        outcome.problem = "unknown request id " + std::to_string(id) + " (" +
                          std::to_string(length) + " bytes); no answer";
        return outcome;
    }
    if (!outcome.response.empty())
        outcome.response = finish(std::move(outcome.response));
    return outcome;
}

Outcome Simulator::handlePing(size_t length) const
{
    Outcome outcome;
    if (length != MSG_LEN_PING_REQUEST)
        outcome.problem = lengthProblem("Ping", length, MSG_LEN_PING_REQUEST);
    else
        outcome.response = statusResponse(MSG_PING_RESPONSE, 0);
    return outcome;
}

Outcome Simulator::handleQuery(size_t length) const
{
    Outcome outcome;
    if (length != MSG_LEN_CONFIG_QUERY_REQUEST) {
        outcome.problem = lengthProblem("Config Query", length, MSG_LEN_CONFIG_QUERY_REQUEST);
        return outcome;
    }
    outcome.response = statusResponse(MSG_CONFIG_QUERY_RESPONSE, 0);
    const auto *record = reinterpret_cast<const uint8_t *>(&config_);
    outcome.response.insert(outcome.response.end(), record, record + sizeof config_);
    return outcome;
}

// A record the device cannot trust is not stored, and the status says so.
Outcome Simulator::handleUpdate(const uint8_t *message, size_t length)
{
    Outcome outcome;
    if (length != MSG_LEN_CONFIG_UPDATE_REQUEST) {
        outcome.problem = lengthProblem("Config Update", length, MSG_LEN_CONFIG_UPDATE_REQUEST);
        return outcome;
    }
    DeviceConfig received;
    std::memcpy(&received, message + 4, sizeof received);
    const std::string problem = configProblem(received);
    if (problem.empty()) {
        if (faults_.ignoreUpdates)
            outcome.note = "Config Update answered but not stored: the device ignores updates";
        else
            config_ = received;
        outcome.response = statusResponse(MSG_CONFIG_UPDATE_RESPONSE, 0);
    } else {
        outcome.note = "Config Update not stored: " + problem;
        outcome.response = statusResponse(MSG_CONFIG_UPDATE_RESPONSE, 1);
    }
    return outcome;
}

Outcome Simulator::handleCertificate(const uint8_t *message, size_t length)
{
    Outcome outcome;
    if (length < MSG_LEN_CERT_UPLOAD_HEADER) {
        outcome.problem = "Certificate Upload request of " + std::to_string(length) +
                          " bytes has no length field; no answer";
        return outcome;
    }
    const size_t certLength = static_cast<size_t>(message[4] | (message[5] << 8));
    if (certLength > CERT_DATA_MAX || length != MSG_LEN_CERT_UPLOAD_HEADER + certLength) {
        outcome.problem = "Certificate Upload request of " + std::to_string(length) +
                          " bytes announces " + std::to_string(certLength) +
                          " certificate bytes; no answer";
        return outcome;
    }
    const uint8_t *data = message + MSG_LEN_CERT_UPLOAD_HEADER;
    certificate_.assign(data, data + certLength);
    outcome.certificateStored = true;
    outcome.response = statusResponse(MSG_CERT_UPLOAD_RESPONSE, 0);
    return outcome;
}

Bytes Simulator::frame(const Bytes &response) const
{
    Bytes wire = frameMessage(response.data(), response.size());
    if (wire.empty())
        return wire;
    if (faults_.badChecksum) {
        // An escaped checksum is the only place where an escape byte is the
        // second last byte of a frame.
        const bool escaped = wire.size() >= 2 && wire[wire.size() - 2] == FRAME_ESCAPE;
        const uint8_t checksum =
            escaped ? static_cast<uint8_t>(wire.back() ^ FRAME_ESCAPE_XOR) : wire.back();
        wire.resize(wire.size() - (escaped ? 2 : 1));
        const uint8_t wrong = static_cast<uint8_t>(checksum + 1);
        if (isSpecialByte(wrong)) {
            wire.push_back(FRAME_ESCAPE);
            wire.push_back(static_cast<uint8_t>(wrong ^ FRAME_ESCAPE_XOR));
        } else {
            wire.push_back(wrong);
        }
    }
    if (faults_.noise)
        wire.insert(wire.begin(), noiseBytes().begin(), noiseBytes().end());
    return wire;
}

std::vector<Bytes> splitInto(const Bytes &bytes, int pieces)
{
    std::vector<Bytes> parts;
    if (bytes.empty())
        return parts;
    size_t count = pieces < 1 ? 1 : static_cast<size_t>(pieces);
    if (count > bytes.size())
        count = bytes.size();
    size_t start = 0;
    for (size_t i = 0; i < count; ++i) {
        const size_t end = bytes.size() * (i + 1) / count;
        parts.emplace_back(bytes.begin() + static_cast<std::ptrdiff_t>(start),
                           bytes.begin() + static_cast<std::ptrdiff_t>(end));
        start = end;
    }
    return parts;
}

} // namespace devsim
