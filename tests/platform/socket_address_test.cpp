#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <unistd.h>

#include "platform/socket_address.h"
#include "platform/socket_error.h"

namespace hbt {

TEST(SocketAddress, SlotLayoutMatchesTheEngineRecords) {
    auto v4 = SocketAddressSlot::Ipv4({93, 184, 216, 34}, 80);
    EXPECT_EQ(v4.bytes[0], 2);
    EXPECT_EQ(v4.bytes[1], 0);
    EXPECT_EQ(v4.bytes[2], 0);
    EXPECT_EQ(v4.bytes[3], 80);
    EXPECT_EQ(v4.bytes[4], 93);
    for (size_t i = 8; i < 28; ++i) EXPECT_EQ(v4.bytes[i], 0) << i;

    std::array<uint8_t, 16> loop6{};
    loop6[15] = 1;
    auto v6 = SocketAddressSlot::Ipv6(loop6, 8080);
    EXPECT_EQ(v6.bytes[0], 23);
    EXPECT_EQ(v6.bytes[2], 0x1f);
    EXPECT_EQ(v6.bytes[3], 0x90);
    EXPECT_EQ(v6.bytes[23], 1);
}

TEST(SocketAddress, Texts) {
    EXPECT_EQ(SocketAddressText(*ParseIpAddress("127.0.0.1", 8080)), "127.0.0.1:8080");
    EXPECT_EQ(SocketAddressText(*ParseIpAddress("::1", 8080)), "[::1]:8080");
    EXPECT_EQ(SocketAddressText(*ParseIpAddress("2001:db8::1", 80)), "[2001:db8::1]:80");
    SocketAddressSlot unix_family;
    unix_family.bytes[0] = 1;
    EXPECT_EQ(SocketAddressText(unix_family), "unknown sa_family 1");
    EXPECT_FALSE(ParseIpAddress("example.com", 80));
}

TEST(SocketAddress, NativeRoundTrip) {
    for (const char* text : {"192.0.2.1", "2001:db8::2"}) {
        auto slot = *ParseIpAddress(text, 443);
        auto native = ToNative(slot);
        ASSERT_TRUE(native);
        EXPECT_EQ(FromNative(native->get(), native->length), slot) << text;
    }
    SocketAddressSlot other;
    other.bytes[0] = 1;
    EXPECT_FALSE(ToNative(other));
}

TEST(SocketError, RefusedConnectCarriesTheWinSockNumber) {
    // Bind a port, close it, and connect: nothing listens there.
    int probe = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(probe, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
    socklen_t length = sizeof(address);
    getsockname(probe, reinterpret_cast<sockaddr*>(&address), &length);
    close(probe);

    int client = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_NE(connect(client, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
    EXPECT_EQ(LastSocketError(), kWsaConnRefused);
    close(client);
    EXPECT_EQ(WinSockErrorFromErrno(ETIMEDOUT), kWsaTimedOut);
    EXPECT_EQ(WinSockErrorFromErrno(ECONNRESET), kWsaConnReset);
}

}  // namespace hbt
