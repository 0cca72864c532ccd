// Logins at START. See login.h.
#include "runtime/login.h"

#include <cstdio>

#include "support/config_cache.h"
#include "support/password.h"
#include "support/settings_catalog.h"

namespace vnx {

bool login_required(const std::string &name) {
    (void)name;
    if (setting_switch("ODBServer", "require_login")) return true;
    const ValueList stored = load_registry_key(std::string(kRootKey) + "\\ODBServer");
    return setting_switch_in(stored, "ODBServer", "require_login");
}

std::string login_refusal(const std::string &user, const std::string &password) {
    std::string stored;
    int rc = read_user_password(user, &stored);
    if (rc < 0) return "the configuration store cannot be read";
    if (rc > 0) return "no such user with a password";
    switch (check_password(stored, password)) {
        case PasswordCheck::kMatch:
            return {};
        case PasswordCheck::kMismatch:
            return stored.empty() ? "no password is stored for the user" : "wrong password";
        case PasswordCheck::kMalformed:
            return "the user's stored password is malformed";
    }
    return "wrong password";
}

std::string loggable(const std::string &text) {
    constexpr size_t kMax = 64;
    std::string out;
    for (size_t i = 0; i < text.size() && i < kMax; i++) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        if (c >= 0x20 && c < 0x7F && c != '\\' && c != '"') {
            out += static_cast<char>(c);
        } else {
            char hex[8];
            snprintf(hex, sizeof hex, "\\x%02X", c);
            out += hex;
        }
    }
    if (text.size() > kMax) out += "...";
    return out;
}

std::string loggable_user(const std::string &user) {
    constexpr size_t kShown = 3;
    std::string out = loggable(user.substr(0, kShown));
    if (user.size() > kShown) out += "...";
    return out;
}

}  // namespace vnx
