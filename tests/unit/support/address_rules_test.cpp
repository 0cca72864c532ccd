// Addresses, networks, allow lists and listen addresses.
#include "support/address_rules.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <cstring>

using namespace vnx;

namespace {

IpAddress addr(const char *text) {
    IpAddress a;
    EXPECT_TRUE(parse_ip_address(text, &a)) << text;
    return a;
}

AllowList allow(const char *text) {
    AllowList list;
    std::string bad;
    EXPECT_EQ(parse_allow_list(text, &list, &bad), 0) << text << ": " << bad;
    return list;
}

std::string bad_entry_of(const char *text) {
    AllowList list;
    std::string bad = "(none)";
    EXPECT_EQ(parse_allow_list(text, &list, &bad), -1) << text;
    return bad;
}

}  // namespace

TEST(IpAddress, MappedIPv4IsTheSameAddressAndPrintsDotted) {
    EXPECT_EQ(addr("::ffff:192.0.2.7"), addr("192.0.2.7"));
    EXPECT_EQ(format_ip_address(addr("::ffff:192.0.2.7")), "192.0.2.7");
    EXPECT_EQ(format_ip_address(addr("::FFFF:c000:0207")), "192.0.2.7");
    EXPECT_EQ(format_ip_address(addr("2001:0db8:0000::0007")), "2001:db8::7");
    EXPECT_EQ(format_ip_address(addr("::1")), "::1");
    // ::192.0.2.7 (IPv4-compatible, not mapped) is an IPv6 address.
    EXPECT_NE(addr("::192.0.2.7"), addr("192.0.2.7"));
    EXPECT_FALSE(addr("::192.0.2.7").is_v4());
}

TEST(IpAddress, LoopbackAndUnspecified) {
    EXPECT_TRUE(addr("127.0.0.1").is_loopback());
    EXPECT_TRUE(addr("127.255.0.2").is_loopback());
    EXPECT_TRUE(addr("::ffff:127.0.0.2").is_loopback());
    EXPECT_TRUE(addr("::1").is_loopback());
    EXPECT_FALSE(addr("128.0.0.1").is_loopback());
    EXPECT_FALSE(addr("::2").is_loopback());
    EXPECT_TRUE(addr("0.0.0.0").is_unspecified());
    EXPECT_TRUE(addr("::").is_unspecified());
    EXPECT_FALSE(addr("::1").is_unspecified());
}

TEST(IpAddress, NamesZonesAndJunkAreNotAddresses) {
    IpAddress a = addr("10.9.8.7");
    for (const char *text : {"", "localhost", "1.2.3", "1.2.3.4.5", "256.1.1.1", "01.2.3.4",
                             "1.2.3.4 ", "fe80::1%lo", "::1::", "1:2:3:4:5:6:7:8:9", "[::1]"})
        EXPECT_FALSE(parse_ip_address(text, &a)) << text;
    EXPECT_EQ(a, addr("10.9.8.7"));  // untouched by the failures
    std::string long_text(200, '1');
    EXPECT_FALSE(parse_ip_address(long_text, &a));
    EXPECT_FALSE(parse_ip_address(std::string_view("1.2.3.4\0junk", 12), &a));  // not whole
}

TEST(IpAddress, FromSocketAddressesOfBothFamilies) {
    sockaddr_in v4{};
    v4.sin_family = AF_INET;
    inet_pton(AF_INET, "198.51.100.9", &v4.sin_addr);
    IpAddress a;
    ASSERT_TRUE(ip_address_of(reinterpret_cast<sockaddr *>(&v4), sizeof v4, &a));
    EXPECT_EQ(format_ip_address(a), "198.51.100.9");
    sockaddr_in6 v6{};
    v6.sin6_family = AF_INET6;
    inet_pton(AF_INET6, "::ffff:198.51.100.9", &v6.sin6_addr);
    IpAddress b;
    ASSERT_TRUE(ip_address_of(reinterpret_cast<sockaddr *>(&v6), sizeof v6, &b));
    EXPECT_EQ(a, b);
    // Too short for its family, or another family.
    EXPECT_FALSE(ip_address_of(reinterpret_cast<sockaddr *>(&v6), sizeof v4, &b));
    sockaddr other{};
    other.sa_family = AF_UNIX;
    EXPECT_FALSE(ip_address_of(&other, sizeof other, &b));
}

TEST(FitAddressText, WholeWhenItFitsElseTheTailMarked) {
    EXPECT_EQ(fit_address_text("255.255.255.255", 21), "255.255.255.255");
    EXPECT_EQ(fit_address_text("2001:db8:85a3::8a2e:3", 21), "2001:db8:85a3::8a2e:3");
    EXPECT_EQ(fit_address_text("2001:db8:85a3::8a2e:37", 21), "..1:db8:85a3::8a2e:37");
    std::string longest = "ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff";
    EXPECT_EQ(fit_address_text(longest, 21), "..ffff:ffff:ffff:ffff");
    EXPECT_EQ(fit_address_text("1234", 4), "1234");
    EXPECT_EQ(fit_address_text("12345", 4), "..45");
    EXPECT_EQ(fit_address_text("12345", 2), "");
}

TEST(IpNetwork, IPv4PrefixesCountIPv4Bits) {
    IpNetwork n;
    ASSERT_TRUE(parse_ip_network("10.0.0.0/8", &n));
    EXPECT_EQ(n.prefix, 104);
    EXPECT_TRUE(n.contains(addr("10.255.1.2")));
    EXPECT_TRUE(n.contains(addr("::ffff:10.0.0.1")));
    EXPECT_FALSE(n.contains(addr("11.0.0.1")));
    ASSERT_TRUE(parse_ip_network("192.168.4.0/23", &n));
    EXPECT_TRUE(n.contains(addr("192.168.5.255")));
    EXPECT_FALSE(n.contains(addr("192.168.6.0")));
    EXPECT_FALSE(n.contains(addr("192.168.3.255")));
    // Host bits beyond the prefix are cleared.
    ASSERT_TRUE(parse_ip_network("10.1.2.3/8", &n));
    EXPECT_EQ(n.base, addr("10.0.0.0"));
    // A bare address is that address alone.
    ASSERT_TRUE(parse_ip_network("10.1.2.3", &n));
    EXPECT_TRUE(n.contains(addr("10.1.2.3")));
    EXPECT_FALSE(n.contains(addr("10.1.2.4")));
}

TEST(IpNetwork, PrefixBoundaries) {
    IpNetwork n;
    ASSERT_TRUE(parse_ip_network("0.0.0.0/0", &n));  // every IPv4 address, no IPv6 one
    EXPECT_TRUE(n.contains(addr("203.0.113.1")));
    EXPECT_FALSE(n.contains(addr("2001:db8::1")));
    ASSERT_TRUE(parse_ip_network("203.0.113.1/32", &n));
    EXPECT_TRUE(n.contains(addr("203.0.113.1")));
    EXPECT_FALSE(n.contains(addr("203.0.113.0")));
    ASSERT_TRUE(parse_ip_network("::/0", &n));  // everything, IPv4 included
    EXPECT_TRUE(n.contains(addr("203.0.113.1")));
    EXPECT_TRUE(n.contains(addr("2001:db8::1")));
    ASSERT_TRUE(parse_ip_network("2001:db8::/32", &n));
    EXPECT_TRUE(n.contains(addr("2001:db8:ffff::1")));
    EXPECT_FALSE(n.contains(addr("2001:db9::1")));
    ASSERT_TRUE(parse_ip_network("2001:db8::1/127", &n));
    EXPECT_TRUE(n.contains(addr("2001:db8::")));
    EXPECT_FALSE(n.contains(addr("2001:db8::2")));
    ASSERT_TRUE(parse_ip_network("::ffff:10.0.0.0/104", &n));  // mapped form, IPv6 bits
    EXPECT_TRUE(n.contains(addr("10.20.30.40")));
    for (const char *text : {"10.0.0.0/33", "::/129", "10.0.0.0/", "10.0.0.0/-1", "10.0.0.0/+8",
                             "10.0.0.0/0008", "10.0.0.0/8/8", "10.0.0.0/x", "/8", "host/8"})
        EXPECT_FALSE(parse_ip_network(text, &n)) << text;
}

TEST(AllowList, EmptyAllowsEveryone) {
    AllowList list = allow("  , \t ");
    EXPECT_TRUE(list.networks.empty());
    EXPECT_TRUE(list.allows(addr("203.0.113.1")));
    EXPECT_TRUE(list.allows(addr("2001:db8::1")));
}

TEST(AllowList, CommasAndBlanksSeparateEntries) {
    AllowList list = allow("127.0.0.1, 10.0.0.0/8 ::1,2001:db8::/32\t192.168.1.7 ,, ");
    ASSERT_EQ(list.networks.size(), 5u);
    EXPECT_TRUE(list.allows(addr("127.0.0.1")));
    EXPECT_FALSE(list.allows(addr("127.0.0.2")));
    EXPECT_TRUE(list.allows(addr("10.3.3.3")));
    EXPECT_TRUE(list.allows(addr("::ffff:10.3.3.3")));  // the same client over dual stack
    EXPECT_TRUE(list.allows(addr("::1")));
    EXPECT_TRUE(list.allows(addr("2001:db8:1::5")));
    EXPECT_TRUE(list.allows(addr("192.168.1.7")));
    EXPECT_FALSE(list.allows(addr("192.168.1.8")));
    EXPECT_FALSE(list.allows(addr("fe80::1")));
}

TEST(AllowList, MalformedEntryIsNamedAndNothingIsParsed) {
    EXPECT_EQ(bad_entry_of("10.0.0.0/8, localhost, ::1"), "localhost");
    EXPECT_EQ(bad_entry_of("10.0.0.0/80"), "10.0.0.0/80");
    EXPECT_EQ(bad_entry_of("10.0.0.0;192.168.0.1"), "10.0.0.0;192.168.0.1");
    EXPECT_EQ(bad_entry_of("::1 fe80::1%eth0"), "fe80::1%eth0");
    EXPECT_EQ(bad_entry_of("10.0.0.1-10.0.0.9"), "10.0.0.1-10.0.0.9");
    AllowList kept = allow("::1");
    std::string bad;
    EXPECT_EQ(parse_allow_list("10.0.0.0/8 nonsense", &kept, &bad), -1);
    ASSERT_EQ(kept.networks.size(), 1u);  // untouched
    // A very long entry is named by its start only.
    std::string huge(5000, 'x');
    EXPECT_EQ(bad_entry_of(huge.c_str()).size(), 100u);
}

TEST(ListenAddress, DefaultIsEveryIPv4Address) {
    ListenAddress l;
    std::string why;
    ASSERT_EQ(parse_listen_address("", &l, &why), 0) << why;
    EXPECT_EQ(l.family(), AF_INET);
    EXPECT_TRUE(l.wildcard());
    EXPECT_FALSE(l.dual_stack);
    EXPECT_EQ(l.text, "0.0.0.0");
    sockaddr_storage s = l.with_port(8001);
    EXPECT_EQ(ntohs(reinterpret_cast<sockaddr_in *>(&s)->sin_port), 8001);
}

TEST(ListenAddress, IPv6WildcardIsDualStackOthersAreOneAddress) {
    ListenAddress l;
    std::string why;
    ASSERT_EQ(parse_listen_address(" :: ", &l, &why), 0) << why;
    EXPECT_EQ(l.family(), AF_INET6);
    EXPECT_TRUE(l.dual_stack);
    EXPECT_TRUE(l.wildcard());
    ASSERT_EQ(parse_listen_address("::1", &l, &why), 0) << why;
    EXPECT_EQ(l.family(), AF_INET6);
    EXPECT_FALSE(l.dual_stack);
    EXPECT_FALSE(l.wildcard());
    sockaddr_storage s = l.with_port(65535);
    EXPECT_EQ(ntohs(reinterpret_cast<sockaddr_in6 *>(&s)->sin6_port), 65535);
    ASSERT_EQ(parse_listen_address("127.0.0.1", &l, &why), 0) << why;
    EXPECT_EQ(l.family(), AF_INET);
    EXPECT_FALSE(l.wildcard());
    // A mapped address listens as the IPv4 address it stands for.
    ASSERT_EQ(parse_listen_address("::ffff:127.0.0.1", &l, &why), 0) << why;
    EXPECT_EQ(l.family(), AF_INET);
    EXPECT_EQ(reinterpret_cast<sockaddr_in *>(&l.addr)->sin_addr.s_addr, htonl(0x7F000001));
    // A zone names the interface of a link-local address.
    ASSERT_EQ(parse_listen_address("fe80::1%lo", &l, &why), 0) << why;
    EXPECT_NE(reinterpret_cast<sockaddr_in6 *>(&l.addr)->sin6_scope_id, 0u);
}

TEST(ListenAddress, NamesAndJunkAreRefusedWithTheText) {
    ListenAddress l;
    std::string first;
    ASSERT_EQ(parse_listen_address("::1", &l, &first), 0) << first;
    // Legacy IPv4 forms that inet_aton would take are refused too.
    for (const char *text :
         {"localhost", "example.com", "1.2.3", "127.1", "0x7f.0.0.1", "010.0.0.1", "::1 ::2",
          "10.0.0.0/8", "fe80::1%", "fe80::1%nosuchif0"}) {
        std::string why;
        EXPECT_EQ(parse_listen_address(text, &l, &why), -1) << text;
        EXPECT_NE(why.find(text), std::string::npos) << why;
    }
    EXPECT_EQ(l.text, "::1");  // untouched by the failures
}
