#include "api/json_name.h"

#include <cstring>
#include <vector>

#include "platform/fs.h"

// Length of the well-formed UTF-8 sequence at p (RFC 3629: no overlong
// forms, no surrogates, nothing above U+10FFFF), 0 when there is none.
static size_t sequence_length(const unsigned char* p, size_t left) {
    unsigned char c = p[0];
    if (c < 0x80) return 1;
    size_t n;
    unsigned char lo = 0x80, hi = 0xBF;
    if (c >= 0xC2 && c <= 0xDF) {
        n = 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
        n = 3;
        if (c == 0xE0) lo = 0xA0;
        if (c == 0xED) hi = 0x9F;
    } else if (c >= 0xF0 && c <= 0xF4) {
        n = 4;
        if (c == 0xF0) lo = 0x90;
        if (c == 0xF4) hi = 0x8F;
    } else {
        return 0;
    }
    if (left < n) return 0;
    if (p[1] < lo || p[1] > hi) return 0;
    for (size_t i = 2; i < n; i++)
        if (p[i] < 0x80 || p[i] > 0xBF) return 0;
    return n;
}

std::string utf8_name(const char* name) {
    if (!name) return std::string();
    // A converted name takes at most three bytes per byte of the original.
    std::vector<char> converted(std::strlen(name) * 3 + 1);
    fs_name_to_utf8(name, converted.data(), converted.size());
    const unsigned char* p = reinterpret_cast<const unsigned char*>(converted.data());
    size_t left = std::strlen(converted.data());
    std::string out;
    out.reserve(left);
    while (left > 0) {
        size_t n = sequence_length(p, left);
        if (n == 0) {
            out += "\xEF\xBF\xBD";
            n = 1;
        } else {
            out.append(reinterpret_cast<const char*>(p), n);
        }
        p += n;
        left -= n;
    }
    return out;
}

yyjson_mut_val* json_name(yyjson_mut_doc* doc, const char* name) {
    std::string text = utf8_name(name);
    return yyjson_mut_strncpy(doc, text.data(), text.size());
}
