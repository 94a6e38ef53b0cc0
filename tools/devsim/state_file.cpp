#include "tools/devsim/state_file.h"

#include "protocol/config_fields.h"

#include <nlohmann/json.hpp>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>

#include <unistd.h>

namespace devsim {

namespace {

using Json = nlohmann::ordered_json;

uint8_t *recordBytes(DeviceConfig &config)
{
    return reinterpret_cast<uint8_t *>(&config);
}

bool takeText(const ConfigField &field, const Json &value, DeviceConfig &config,
              std::string &problem)
{
    if (!value.is_string()) {
        problem = std::string(field.key) + " must be a string";
        return false;
    }
    const std::string text = value.get<std::string>();
    if (text.size() > size_t(field.maxTextBytes()) || text.find('\0') != std::string::npos) {
        problem = std::string(field.key) + " does not fit the record";
        return false;
    }
    recordBytes(config)[field.lengthOffset] = uint8_t(text.size());
    std::memcpy(recordBytes(config) + field.arrayOffset, text.data(), text.size());
    return true;
}

bool takePort(const Json &value, DeviceConfig &config, std::string &problem)
{
    if (!value.is_number_unsigned() || value.get<uint64_t>() > 65535) {
        problem = "smtp_port must be a number from 0 to 65535";
        return false;
    }
    config.smtpPort = uint16_t(value.get<uint64_t>());
    return true;
}

bool configFromJson(const Json &json, DeviceConfig &config, std::string &problem)
{
    if (!json.is_object() || json.size() != ConfigRowCount) {
        problem = "must be one JSON object with the 13 keys of the configuration";
        return false;
    }
    std::memset(&config, 0, sizeof config);
    for (const ConfigField &field : kConfigFields) {
        if (!json.contains(field.key)) {
            problem = std::string("no key ") + field.key;
            return false;
        }
        const Json &value = json[field.key];
        if (!(field.isText() ? takeText(field, value, config, problem)
                             : takePort(value, config, problem)))
            return false;
    }
    return true;
}

Json jsonFromConfig(const DeviceConfig &config)
{
    const auto *record = reinterpret_cast<const uint8_t *>(&config);
    Json json = Json::object();
    for (const ConfigField &field : kConfigFields) {
        if (!field.isText()) {
            json[field.key] = config.smtpPort;
            continue;
        }
        const char *text = reinterpret_cast<const char *>(record + field.arrayOffset);
        json[field.key] = std::string(text, strnlen(text, field.arraySize));
    }
    return json;
}

std::string systemError(const std::string &what)
{
    return what + ": " + std::strerror(errno);
}

} // namespace

StateLoad loadState(const std::string &path, DeviceConfig &config, std::string &problem)
{
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        if (errno == ENOENT)
            return StateLoad::Absent;
        problem = systemError("cannot read " + path);
        return StateLoad::Invalid;
    }
    const std::string text((std::istreambuf_iterator<char>(file)),
                           std::istreambuf_iterator<char>());
    // With exceptions off, a file that is not JSON (or holds a number beyond
    // a double's range) comes back discarded; the members are read only
    // after their types are checked, and the state is written with invalid
    // UTF-8 replaced, so nothing here throws.
    const Json json = Json::parse(text, nullptr, false);
    if (json.is_discarded()) {
        problem = path + ": not valid JSON";
        return StateLoad::Invalid;
    }
    if (!configFromJson(json, config, problem)) {
        problem = path + ": " + problem;
        return StateLoad::Invalid;
    }
    return StateLoad::Loaded;
}

bool saveState(const std::string &path, const DeviceConfig &config, std::string &problem)
{
    // A record from the tool may hold bytes that are not UTF-8.
    const std::string text =
        jsonFromConfig(config).dump(2, ' ', false, Json::error_handler_t::replace) + "\n";
    std::string temporary = path + ".XXXXXX";
    const int fd = mkstemp(temporary.data());
    if (fd < 0) {
        problem = systemError("cannot create " + temporary);
        return false;
    }
    const bool written = write(fd, text.data(), text.size()) == ssize_t(text.size());
    const bool closed = close(fd) == 0;
    if (!written || !closed || std::rename(temporary.c_str(), path.c_str()) != 0) {
        problem = systemError("cannot write " + path);
        unlink(temporary.c_str());
        return false;
    }
    return true;
}

} // namespace devsim
