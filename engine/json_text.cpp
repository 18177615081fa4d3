#include "json_text.h"

#include <json/json.h>

#include <memory>

namespace vornengine {

std::string jsonText(const Json::Value &value) {
    Json::StreamWriterBuilder builder;
    builder["indentation"] = "";
    builder["emitUTF8"] = true;
    return Json::writeString(builder, value);
}

bool parseJsonText(const std::string &text, Json::Value &value) {
    Json::CharReaderBuilder builder;
    builder["failIfExtra"] = true;
    builder["rejectDupKeys"] = true;
    const std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    std::string errors;
    return reader->parse(text.data(), text.data() + text.size(), &value, &errors);
}

bool isUtf8(const std::string &bytes) {
    const size_t n = bytes.size();
    for (size_t i = 0; i < n;) {
        const unsigned char c = bytes[i];
        size_t extra;
        if (c == 0) {
            return false;
        } else if (c < 0x80) {
            extra = 0;
        } else if (c >= 0xc2 && c <= 0xdf) {
            extra = 1;
        } else if ((c & 0xf0) == 0xe0) {
            extra = 2;
        } else if (c >= 0xf0 && c <= 0xf4) {
            extra = 3;
        } else {
            return false;
        }
        if (n - i < extra + 1) {
            return false;
        }
        for (size_t k = 1; k <= extra; ++k) {
            if ((static_cast<unsigned char>(bytes[i + k]) & 0xc0) != 0x80) {
                return false;
            }
        }
        i += extra + 1;
    }
    return true;
}

std::string hexOf(const std::string &bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string hex;
    hex.reserve(bytes.size() * 2);
    for (const unsigned char c : bytes) {
        hex += digits[c >> 4];
        hex += digits[c & 15];
    }
    return hex;
}

bool bytesOfHex(const std::string &hex, std::string &bytes) {
    auto nibble = [](char c) {
        return c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
    };
    if (hex.size() % 2) {
        return false;
    }
    bytes.clear();
    for (size_t i = 0; i < hex.size(); i += 2) {
        const int high = nibble(hex[i]), low = nibble(hex[i + 1]);
        if (high < 0 || low < 0) {
            return false;
        }
        bytes += static_cast<char>(high << 4 | low);
    }
    return true;
}

void putBytes(Json::Value &object, const char *key, const std::string &bytes) {
    if (isUtf8(bytes)) {
        object[key] = bytes;
    } else {
        object[std::string(key) + "_hex"] = hexOf(bytes);
    }
}

bool getBytes(const Json::Value &object, const char *key, std::string &bytes) {
    if (object[key].isString()) {
        bytes = object[key].asString();
        return true;
    }
    const Json::Value &hex = object[std::string(key) + "_hex"];
    return hex.isString() && bytesOfHex(hex.asString(), bytes);
}

} // namespace vornengine
