// JSON texts for vnxadmin's --json output: strings quoted and escaped (every
// control character, quote and backslash; bytes that are not valid UTF-8
// become U+FFFD, so the output always parses), numbers as digits.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>

namespace vnxadmin {

// The length of the valid UTF-8 sequence at text[i], or 0.
inline size_t utf8_length(std::string_view text, size_t i) {
    const auto c = static_cast<unsigned char>(text[i]);
    size_t n = c < 0x80 ? 1 : (c >> 5) == 0x6 ? 2 : (c >> 4) == 0xE ? 3 : (c >> 3) == 0x1E ? 4 : 0;
    if (n == 0 || (n > 1 && c < 0xC2) || i + n > text.size()) return 0;
    for (size_t k = 1; k < n; k++)
        if ((static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80) return 0;
    return n;
}

inline std::string json_string(std::string_view text) {
    std::string out = "\"";
    for (size_t i = 0; i < text.size();) {
        const char c = text[i];
        const size_t n = utf8_length(text, i);
        if (n == 0) {
            out += "\\ufffd";
            i++;
            continue;
        }
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) {
            char esc[8];
            std::snprintf(esc, sizeof esc, "\\u%04x", static_cast<unsigned>(c));
            out += esc;
        } else {
            out.append(text.substr(i, n));
        }
        i += n;
    }
    return out + "\"";
}

// A value as JSON: decimal digits (no leading zero) as a number, else a string.
inline std::string json_value(const std::string &text) {
    bool number = !text.empty() && text.size() < 19 && (text == "0" || text[0] != '0');
    for (char c : text)
        number = number && c >= '0' && c <= '9';
    return number ? text : json_string(text);
}

}  // namespace vnxadmin
