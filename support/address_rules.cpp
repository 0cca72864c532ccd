// IP addresses, networks, allow lists and listen addresses. See
// address_rules.h.
#include "support/address_rules.h"

#include <arpa/inet.h>
#include <net/if.h>

#include <algorithm>
#include <cstring>

namespace vnx {

namespace {

// Longest text worth handing to inet_pton or getaddrinfo: an IPv6 address
// with an embedded IPv4 address and a zone name.
constexpr size_t kMaxAddressText = INET6_ADDRSTRLEN + 1 + IF_NAMESIZE;

constexpr std::array<uint8_t, 12> kMappedPrefix = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};

IpAddress mapped(const in_addr &v4) {
    IpAddress a;
    std::copy(kMappedPrefix.begin(), kMappedPrefix.end(), a.bytes.begin());
    std::memcpy(a.bytes.data() + 12, &v4, 4);
    return a;
}

IpAddress from_v6(const in6_addr &v6) {
    IpAddress a;
    std::memcpy(a.bytes.data(), &v6, 16);
    return a;
}

bool is_separator(char c) {
    return c == ',' || c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

// A prefix length: 1 to 3 decimal digits, at most max. -1 otherwise.
int parse_prefix(std::string_view text, int max) {
    if (text.empty() || text.size() > 3) return -1;
    int v = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return -1;
        v = v * 10 + (c - '0');
    }
    return v <= max ? v : -1;
}

// Clears every bit of a beyond the first prefix bits.
IpAddress masked(IpAddress a, int prefix) {
    for (int i = 0; i < 16; i++) {
        int keep = std::clamp(prefix - i * 8, 0, 8);
        a.bytes[i] &= static_cast<uint8_t>(0xFF00 >> keep);
    }
    return a;
}

std::string_view trimmed(std::string_view text) {
    while (!text.empty() && is_separator(text.front()) && text.front() != ',')
        text.remove_prefix(1);
    while (!text.empty() && is_separator(text.back()) && text.back() != ',')
        text.remove_suffix(1);
    return text;
}

}  // namespace

bool IpAddress::is_v4() const {
    return std::equal(kMappedPrefix.begin(), kMappedPrefix.end(), bytes.begin());
}

bool IpAddress::is_loopback() const {
    if (is_v4()) return bytes[12] == 127;
    IpAddress one;
    one.bytes[15] = 1;
    return *this == one;
}

bool IpAddress::is_unspecified() const {
    return *this == IpAddress{} ||
           (is_v4() && bytes[12] == 0 && bytes[13] == 0 && bytes[14] == 0 && bytes[15] == 0);
}

bool parse_ip_address(std::string_view text, IpAddress *out) {
    // A NUL inside would end the text early for inet_pton: not a whole address.
    if (text.empty() || text.size() > kMaxAddressText || text.find('\0') != text.npos) return false;
    std::string s(text);
    if (s.find(':') == std::string::npos) {
        in_addr v4{};
        if (inet_pton(AF_INET, s.c_str(), &v4) != 1) return false;
        *out = mapped(v4);
        return true;
    }
    in6_addr v6{};
    if (inet_pton(AF_INET6, s.c_str(), &v6) != 1) return false;
    *out = from_v6(v6);
    return true;
}

bool ip_address_of(const sockaddr *sa, socklen_t len, IpAddress *out) {
    if (sa == nullptr) return false;
    if (sa->sa_family == AF_INET && len >= static_cast<socklen_t>(sizeof(sockaddr_in))) {
        *out = mapped(reinterpret_cast<const sockaddr_in *>(sa)->sin_addr);
        return true;
    }
    if (sa->sa_family == AF_INET6 && len >= static_cast<socklen_t>(sizeof(sockaddr_in6))) {
        *out = from_v6(reinterpret_cast<const sockaddr_in6 *>(sa)->sin6_addr);
        return true;
    }
    return false;
}

std::string format_ip_address(const IpAddress &a) {
    char text[INET6_ADDRSTRLEN] = "";
    if (a.is_v4())
        inet_ntop(AF_INET, a.bytes.data() + 12, text, sizeof text);
    else
        inet_ntop(AF_INET6, a.bytes.data(), text, sizeof text);
    return text;
}

std::string fit_address_text(const std::string &text, size_t max) {
    if (text.size() <= max) return text;
    if (max < 3) return "";
    return ".." + text.substr(text.size() - (max - 2));
}

bool IpNetwork::contains(const IpAddress &a) const {
    return masked(a, prefix) == base;
}

bool parse_ip_network(std::string_view text, IpNetwork *out) {
    size_t slash = text.find('/');
    std::string_view addr_text = text.substr(0, slash);
    IpAddress addr;
    if (!parse_ip_address(addr_text, &addr)) return false;
    // An IPv4 entry counts IPv4 bits; the mapped form puts them after 96.
    bool v4_text = addr_text.find(':') == std::string_view::npos;
    int prefix = 128;
    if (slash != std::string_view::npos) {
        int bits = parse_prefix(text.substr(slash + 1), v4_text ? 32 : 128);
        if (bits < 0) return false;
        prefix = v4_text ? 96 + bits : bits;
    }
    out->base = masked(addr, prefix);
    out->prefix = prefix;
    return true;
}

bool AllowList::allows(const IpAddress &a) const {
    if (networks.empty()) return true;
    return std::any_of(networks.begin(), networks.end(),
                       [&a](const IpNetwork &n) { return n.contains(a); });
}

int parse_allow_list(std::string_view text, AllowList *out, std::string *bad_entry) {
    AllowList list;
    size_t i = 0;
    while (i < text.size()) {
        if (is_separator(text[i])) {
            i++;
            continue;
        }
        size_t end = i;
        while (end < text.size() && !is_separator(text[end]))
            end++;
        std::string_view entry = text.substr(i, end - i);
        IpNetwork n;
        if (!parse_ip_network(entry, &n)) {
            *bad_entry = std::string(entry.substr(0, 100));
            return -1;
        }
        list.networks.push_back(n);
        i = end;
    }
    *out = std::move(list);
    return 0;
}

bool ListenAddress::wildcard() const {
    IpAddress a;
    return ip_address_of(reinterpret_cast<const sockaddr *>(&addr), len, &a) && a.is_unspecified();
}

sockaddr_storage ListenAddress::with_port(int port) const {
    sockaddr_storage s = addr;
    uint16_t net_port = htons(static_cast<uint16_t>(port));
    if (s.ss_family == AF_INET6)
        reinterpret_cast<sockaddr_in6 *>(&s)->sin6_port = net_port;
    else
        reinterpret_cast<sockaddr_in *>(&s)->sin_port = net_port;
    return s;
}

int parse_listen_address(std::string_view text, ListenAddress *out, std::string *why) {
    std::string s(trimmed(text));
    if (s.empty()) s = "0.0.0.0";
    size_t zone_at = s.find('%');
    IpAddress a;
    // Numeric forms only, checked strictly (inet_pton): "127.1" or
    // "0x7f.0.0.1", which inet_aton and getaddrinfo take, are refused.
    if (!parse_ip_address(std::string_view(s).substr(0, zone_at), &a) ||
        (zone_at != std::string::npos && a.is_v4())) {
        *why = "\"" + s.substr(0, 60) + "\" is not an IP address";
        return -1;
    }
    ListenAddress l;
    l.text = s;
    if (a.is_v4()) {  // also ::ffff:a.b.c.d: the IPv4 address itself
        sockaddr_in v4{};
        v4.sin_family = AF_INET;
        std::memcpy(&v4.sin_addr, a.bytes.data() + 12, 4);
        std::memcpy(&l.addr, &v4, sizeof v4);
        l.len = sizeof v4;
    } else {
        sockaddr_in6 v6{};
        v6.sin6_family = AF_INET6;
        std::memcpy(&v6.sin6_addr, a.bytes.data(), 16);
        if (zone_at != std::string::npos) {
            std::string zone = s.substr(zone_at + 1);
            v6.sin6_scope_id = zone.empty() ? 0 : if_nametoindex(zone.c_str());
            if (v6.sin6_scope_id == 0) {
                *why = "\"" + s.substr(0, 60) + "\" names no interface of this host";
                return -1;
            }
        }
        std::memcpy(&l.addr, &v6, sizeof v6);
        l.len = sizeof v6;
        l.dual_stack = a == IpAddress{};
    }
    *out = l;
    return 0;
}

}  // namespace vnx
