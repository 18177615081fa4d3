#include "selection.h"

#include <fnmatch.h>

#include <cstdio>

namespace vorncli {

namespace {

std::string lastName(const std::string &relative) {
    const size_t slash = relative.rfind('/');
    return slash == std::string::npos ? relative : relative.substr(slash + 1);
}

bool matchesAny(const std::vector<std::string> &patterns, const std::string &relative) {
    for (const std::string &pattern : patterns) {
        const std::string &subject =
            pattern.find('/') == std::string::npos ? lastName(relative) : relative;
        if (fnmatch(pattern.c_str(), subject.c_str(), 0) == 0) {
            return true;
        }
    }
    return false;
}

// Length of the UTF-8 sequence that starts at `text[0]`, 0 when it is not a valid one.
size_t utf8Length(const unsigned char *text, size_t left) {
    const unsigned char lead = text[0];
    size_t length;
    unsigned minimum;
    unsigned code;
    if (lead < 0x80) {
        return 1;
    } else if ((lead & 0xE0) == 0xC0) {
        length = 2, minimum = 0x80, code = lead & 0x1F;
    } else if ((lead & 0xF0) == 0xE0) {
        length = 3, minimum = 0x800, code = lead & 0x0F;
    } else if ((lead & 0xF8) == 0xF0) {
        length = 4, minimum = 0x10000, code = lead & 0x07;
    } else {
        return 0;
    }
    if (length > left) {
        return 0;
    }
    for (size_t i = 1; i < length; ++i) {
        if ((text[i] & 0xC0) != 0x80) {
            return 0;
        }
        code = (code << 6) | (text[i] & 0x3F);
    }
    const bool surrogate = code >= 0xD800 && code <= 0xDFFF;
    return code < minimum || code > 0x10FFFF || surrogate ? 0 : length;
}

bool isControl(unsigned char c) {
    return c < 0x20 || c == 0x7F;
}

} // namespace

bool Selection::selects(const std::string &relative) const {
    return (include.empty() || matchesAny(include, relative)) && !excludes(relative);
}

bool Selection::excludes(const std::string &relative) const {
    return matchesAny(exclude, relative);
}

bool Selection::leavesOut(const std::string &relative, bool isDir) const {
    return isDir ? excludes(relative) : !selects(relative);
}

std::string printableName(const std::string &name) {
    const unsigned char *text = reinterpret_cast<const unsigned char *>(name.data());
    std::string shown;
    for (size_t at = 0; at < name.size();) {
        const size_t length = utf8Length(text + at, name.size() - at);
        if (length == 0 || isControl(text[at])) {
            char escaped[8];
            snprintf(escaped, sizeof escaped, "\\x%02X", text[at]);
            shown += escaped;
            ++at;
        } else {
            shown.append(name, at, length);
            at += length;
        }
    }
    return shown;
}

} // namespace vorncli
