// JSON text of the engine's records: compact writing, strict parsing, and byte strings that
// survive whatever they hold.
#ifndef VORN_ENGINE_JSON_TEXT_H
#define VORN_ENGINE_JSON_TEXT_H

#include <json/value.h>

#include <string>

namespace vornengine {

std::string jsonText(const Json::Value &value);
// False when `text` is not one JSON value.
bool parseJsonText(const std::string &text, Json::Value &value);

bool isUtf8(const std::string &bytes);
std::string hexOf(const std::string &bytes);
bool bytesOfHex(const std::string &hex, std::string &bytes);

// Bytes under `key` when they are valid UTF-8, else as hex under `key` + "_hex".
void putBytes(Json::Value &object, const char *key, const std::string &bytes);
// The inverse; false when neither member holds a string.
bool getBytes(const Json::Value &object, const char *key, std::string &bytes);

} // namespace vornengine

#endif
