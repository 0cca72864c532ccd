// Text helpers shared by the console's models.
#include "console/core/messages.h"

#include <cctype>
#include <climits>

#include "support/config_store.h"

namespace vnx::console {

std::string format_text(const char *format, const std::string &text) {
    const std::string f = format;
    const size_t at = f.find("%s");
    if (at == std::string::npos) return f;
    return f.substr(0, at) + text + f.substr(at + 2);
}

std::string format_number(const char *format, long number) {
    const std::string f = format;
    const size_t at = f.find("%d");
    if (at == std::string::npos) return f;
    return f.substr(0, at) + std::to_string(number) + f.substr(at + 2);
}

std::string trimmed(const std::string &text) {
    const size_t first = text.find_first_not_of(" \t");
    if (first == std::string::npos) return {};
    const size_t last = text.find_last_not_of(" \t");
    return text.substr(first, last - first + 1);
}

std::string upper(const std::string &text) {
    std::string out = text;
    for (char &c : out)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return out;
}

bool all_digits(const std::string &text) {
    if (text.empty()) return false;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
    }
    return true;
}

long leading_number(const std::string &text) {
    size_t i = 0;
    while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i])))
        ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '-' || text[i] == '+')) negative = text[i++] == '-';
    long value = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        value = value * 10 + (text[i] - '0');
        if (value > INT_MAX) value = INT_MAX;
    }
    return negative ? -value : value;
}

std::string masked_password(const std::string &stored) {
    return stored.empty() ? std::string() : std::string(kMaskedPassword);
}

bool has_control_character(const std::string &text) {
    for (char c : text) {
        const auto u = static_cast<unsigned char>(c);
        if (u < 0x20 || u == 0x7F) return true;
    }
    return false;
}

int store_failure(const std::string &caption, const std::string &error, ConsoleMessage *msg) {
    msg->caption = caption;
    msg->text = error.empty() ? "The configuration store failed." : error;
    return kStoreFailed;
}

int refuse(const char *caption, const std::string &text, ConsoleMessage *msg) {
    msg->caption = caption;
    msg->text = text;
    return -1;
}

}  // namespace vnx::console
