// IP addresses and the rules built from them: where a server listens
// (PortServer "listen") and which clients it serves (PortServer "allow").
//
// One form holds both families: an IPv4 address is kept as its IPv4-mapped
// IPv6 address (::ffff:a.b.c.d), which is also how a dual-stack socket
// reports an IPv4 peer. A rule for 10.0.0.0/8 therefore matches a client
// whether it reached an IPv4 or a dual-stack listener, and an IPv4 client
// always prints as plain dotted decimal.
//
// Everything here is text and socket-address arithmetic: no socket is opened,
// no name is looked up (only numeric addresses are accepted), nothing is
// logged. Texts come from the configuration store or the kernel and are
// checked whole: a malformed entry is an error naming it, never skipped.
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>

#include <array>
#include <compare>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace vnx {

// One IPv4 or IPv6 address, IPv4 as IPv4-mapped IPv6. Zero-initialised it
// is "::" (no address).
struct IpAddress {
    std::array<uint8_t, 16> bytes{};

    // IPv4, held mapped (::ffff:0:0/96).
    bool is_v4() const;
    // 127.0.0.0/8 or ::1.
    bool is_loopback() const;
    // "::" or 0.0.0.0.
    bool is_unspecified() const;
    auto operator<=>(const IpAddress &) const = default;
};

// A numeric IPv4 ("192.0.2.7") or IPv6 ("2001:db8::7", "::ffff:192.0.2.7")
// address, whole text, no zone. False (out untouched) otherwise.
bool parse_ip_address(std::string_view text, IpAddress *out);

// The address of an AF_INET or AF_INET6 socket address; false for other
// families or a length too short for the family.
bool ip_address_of(const sockaddr *sa, socklen_t len, IpAddress *out);

// Text form: dotted decimal for IPv4 (also when it came mapped), the
// shortest IPv6 form otherwise ("2001:db8::7").
std::string format_ip_address(const IpAddress &a);

// An address text cut to at most max bytes for a fixed-size field: whole
// when it fits, else ".." and its last max - 2 characters (the part that
// tells hosts of one network apart). Empty for max < 3 unless it fits.
std::string fit_address_text(const std::string &text, size_t max);

// The addresses whose first `prefix` bits (of the 128 of the mapped form)
// equal those of `base`; base holds no bits beyond the prefix.
struct IpNetwork {
    IpAddress base;
    int prefix = 128;
    bool contains(const IpAddress &a) const;
};

// One entry: an address ("192.0.2.7", "::1") or a network in CIDR form
// ("10.0.0.0/8", "2001:db8::/32"; an IPv4 prefix counts IPv4 bits, 0..32).
// Bits beyond the prefix are cleared ("10.1.2.3/8" is 10.0.0.0/8). False
// for anything else: names, zones, prefixes out of range or not decimal.
bool parse_ip_network(std::string_view text, IpNetwork *out);

// PortServer "allow": addresses and networks separated by commas and/or
// blanks. Empty: every client is allowed.
struct AllowList {
    std::vector<IpNetwork> networks;
    bool allows(const IpAddress &a) const;
};

// Parses an allow list. 0 and the list in *out, or -1 (out untouched) with
// the first malformed entry in *bad_entry.
int parse_allow_list(std::string_view text, AllowList *out, std::string *bad_entry);

// PortServer "listen": the address the base port and the gateways listen on.
// Empty text is the default, every IPv4 address (0.0.0.0); "::" is every
// IPv6 and, through dual stack, every IPv4 address; any other numeric
// address (an IPv6 one may carry a zone: "fe80::1%eth0") is that address
// alone.
struct ListenAddress {
    sockaddr_storage addr{};  // family and address; port 0
    socklen_t len = 0;
    bool dual_stack = false;  // "::": IPV6_V6ONLY off
    std::string text;         // as configured, "0.0.0.0" for the default

    int family() const { return addr.ss_family; }
    // True for 0.0.0.0 and "::": every address of the host.
    bool wildcard() const;
    // The socket address with port set.
    sockaddr_storage with_port(int port) const;
};

// Parses a listen address. 0, or -1 (out untouched) with the reason in *why.
int parse_listen_address(std::string_view text, ListenAddress *out, std::string *why);

}  // namespace vnx
