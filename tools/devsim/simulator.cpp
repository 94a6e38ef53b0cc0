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

// The request as the record holds it; bytes past its length stay zero.
DeviceMessage requestRecord(const uint8_t *message, size_t length)
{
    DeviceMessage record;
    startMessage(record, 0);
    std::memcpy(&record, message, std::min(length, sizeof record));
    return record;
}

std::string lengthProblem(const MessageKind &kind, size_t length)
{
    return std::string(kind.name) + " request of " + std::to_string(length) + " bytes, expected " +
           std::to_string(kind.requestLength) + "; no answer";
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

Bytes Simulator::response(const MessageKind &kind, int32_t status) const
{
    DeviceMessage message;
    startMessage(message, kind.responseId);
    message.payload.statusResponse.status = faults_.overrideStatus ? faults_.status : status;
    if (&kind == &kConfigQueryKind)
        message.payload.configQueryResponse.config = config_;
    return messageBytes(message, kind.responseLength);
}

Bytes Simulator::finish(Bytes response) const
{
    if (faults_.unexpectedId)
        std::memcpy(response.data(), &UNEXPECTED_RESPONSE_ID, sizeof UNEXPECTED_RESPONSE_ID);
    if (faults_.wrongLength)
        response.push_back(0);
    return response;
}

Outcome Simulator::handle(const uint8_t *message, size_t length)
{
    Outcome outcome;
    if (length < sizeof(uint32_t)) {
        outcome.problem =
            "message of " + std::to_string(length) + " bytes is too short for an id; no answer";
        return outcome;
    }
    const DeviceMessage request = requestRecord(message, length);
    const MessageKind *kind = findKind(&MessageKind::requestId, request.msgId);
    if (!kind) {
        outcome.problem = "unknown request id " + std::to_string(request.msgId) + " (" +
                          std::to_string(length) + " bytes); no answer";
        return outcome;
    }
    // Only the upload's length depends on what it carries.
    if (kind == &kCertificateUploadKind)
        outcome = handleCertificate(request, length);
    else if (length != kind->requestLength)
        outcome.problem = lengthProblem(*kind, length);
    else if (kind == &kConfigUpdateKind)
        outcome = handleUpdate(request.payload.config);
    else
        outcome.response = response(*kind, 0);
    if (!outcome.response.empty())
        outcome.response = finish(std::move(outcome.response));
    return outcome;
}

// A record the device cannot trust is not stored, and the status says so.
Outcome Simulator::handleUpdate(const DeviceConfig &received)
{
    Outcome outcome;
    const std::string problem = configProblem(received);
    if (problem.empty()) {
        if (faults_.ignoreUpdates)
            outcome.note = "Config Update answered but not stored: the device ignores updates";
        else
            config_ = received;
        outcome.configStored = !faults_.ignoreUpdates;
        outcome.response = response(kConfigUpdateKind, 0);
    } else {
        outcome.note = "Config Update not stored: " + problem;
        outcome.response = response(kConfigUpdateKind, 1);
    }
    return outcome;
}

Outcome Simulator::handleCertificate(const DeviceMessage &request, size_t length)
{
    Outcome outcome;
    if (length < MSG_LEN_CERT_UPLOAD_HEADER) {
        outcome.problem = "Certificate Upload request of " + std::to_string(length) +
                          " bytes has no length field; no answer";
        return outcome;
    }
    const size_t certLength = request.payload.certificate.length;
    if (certLength > CERT_DATA_MAX || length != MSG_LEN_CERT_UPLOAD_HEADER + certLength) {
        outcome.problem = "Certificate Upload request of " + std::to_string(length) +
                          " bytes announces " + std::to_string(certLength) +
                          " certificate bytes; no answer";
        return outcome;
    }
    const uint8_t *data = request.payload.certificate.data;
    certificate_.assign(data, data + certLength);
    outcome.certificateStored = true;
    outcome.response = response(kCertificateUploadKind, 0);
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
        if (frame_is_special(wrong)) {
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
