// Limits on keys, value names and data of the configuration store.
#include "support/config_limits.h"

namespace vnx {

namespace {

bool is_control(unsigned char c) {
    return c < 0x20 || c == 0x7F;
}

bool holds_control(const std::string &text, bool tab_allowed) {
    for (const char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        if (is_control(c) && !(tab_allowed && c == '\t')) return true;
    }
    return false;
}

std::string longer_than(const char *what, size_t limit) {
    return std::string(what) + " is longer than " + std::to_string(limit) + " bytes";
}

}  // namespace

std::string key_path_problem(const std::string &key) {
    if (key.empty()) return "the key path is empty";
    if (key.size() > kMaxKeyPathBytes) return longer_than("the key path", kMaxKeyPathBytes);
    if (holds_control(key, false)) return "the key path holds a control character";
    size_t start = 0;
    for (;;) {
        const size_t end = key.find('\\', start);
        const std::string part = key.substr(start, end == std::string::npos ? end : end - start);
        if (part.empty()) return "the key path has an empty key name";
        if (part == "." || part == "..") return "the key path has a \"" + part + "\" key name";
        if (end == std::string::npos) return {};
        start = end + 1;
    }
}

std::string value_name_problem(const std::string &name) {
    if (name.empty()) return "the value name is empty";
    if (name.size() > kMaxValueNameBytes) return longer_than("the value name", kMaxValueNameBytes);
    if (holds_control(name, false)) return "the value name holds a control character";
    return {};
}

std::string value_data_problem(const std::string &data) {
    if (data.size() > kMaxValueDataBytes) return longer_than("the value", kMaxValueDataBytes);
    if (holds_control(data, true)) return "the value holds a control character";
    return {};
}

std::string store_value_problem(const std::string &key, const std::string &name,
                                const std::string &data) {
    std::string problem = key_path_problem(key);
    if (problem.empty()) problem = value_name_problem(name);
    if (problem.empty()) problem = value_data_problem(data);
    return problem;
}

}  // namespace vnx
