// A JSON value as one line of text, as a journal, an export and line status
// write it: bytes that are not UTF-8 (a device's value may hold them) are
// replaced rather than thrown at.
#ifndef BASE_JSON_TEXT_H
#define BASE_JSON_TEXT_H

#include <QByteArray>

#include <nlohmann/json.hpp>

inline QByteArray jsonText(const nlohmann::ordered_json &json)
{
    const std::string text =
        json.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
    return QByteArray(text.data(), int(text.size()));
}

#endif // BASE_JSON_TEXT_H
