// The master's channel to its gateways: what a reader takes from it.
#include "transport/gateway_channel.h"

#include <gtest/gtest.h>
#include <sys/socket.h>

#include <string>

using namespace vnx;

TEST(GatewayChannel, ReaderTakesWholeAddressesAndSkipsEverythingElse) {
    UniqueFd master, gateway;
    ASSERT_EQ(gateway_channel_pair(&master, &gateway), 0);
    EXPECT_NE(gateway.get(), kGatewayChannelFd);
    // Raw packets as a hostile or broken peer might send them, in order; only
    // the whole, known ones come out.
    const std::string packets[] = {
        "C 127.0.0.1",   // good
        "C",             // no address
        "X 127.0.0.1",   // unknown kind
        "C127.0.0.1",    // no blank
        "C 127.0.0.1 ",  // trailing blank
        "R 10.0.0.300",  // not an address
        "C intranet",    // a name, not an address
        std::string("C 127.0.0.1\0x", 13),
        "R " + std::string(200, '1'),  // longer than any message
        "R 2001:db8::7",               // good
    };
    for (const std::string &p : packets)
        ASSERT_EQ(send(master.get(), p.data(), p.size(), 0), static_cast<ssize_t>(p.size()));
    char kind = 0;
    IpAddress a;
    ASSERT_EQ(channel_receive(gateway.get(), &kind, &a), 1);
    EXPECT_EQ(kind, kChannelClient);
    EXPECT_EQ(format_ip_address(a), "127.0.0.1");
    ASSERT_EQ(channel_receive(gateway.get(), &kind, &a), 1);
    EXPECT_EQ(kind, kChannelRefused);
    EXPECT_EQ(format_ip_address(a), "2001:db8::7");
    EXPECT_EQ(channel_receive(gateway.get(), &kind, &a), 0);  // nothing waiting
    // A message sent by the helper arrives as sent; a closed peer reads -1.
    IpAddress sent;
    ASSERT_TRUE(parse_ip_address("192.0.2.7", &sent));
    ASSERT_EQ(channel_send(gateway.get(), kChannelRefused, sent), 0);
    ASSERT_EQ(channel_receive(master.get(), &kind, &a), 1);
    EXPECT_EQ(a, sent);
    master.reset();
    EXPECT_EQ(channel_receive(gateway.get(), &kind, &a), -1);
    EXPECT_EQ(channel_send(gateway.get(), kChannelRefused, sent), -1);
}
