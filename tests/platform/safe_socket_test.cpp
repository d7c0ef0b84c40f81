// The socket holder: close semantics that shutdown relies on.
#include <gtest/gtest.h>

#include "platform/safe_socket.h"
#include "platform/socket_address.h"

namespace hbt {
namespace {

TEST(CSafeSocket, SecondCloseReturnsMinusOneAndOperationsFail) {
    auto socket = CSafeSocket::Create(kFamilyIpv4);
    ASSERT_TRUE(socket);
    const SocketHandle descriptor = socket->Handle();
    EXPECT_EQ(socket->Close(), 0);
    // While an owner remains, no new socket gets the closed one's descriptor.
    auto next = CSafeSocket::Create(kFamilyIpv4);
    EXPECT_NE(next->Handle(), descriptor);
    EXPECT_EQ(socket->Close(), -1);
    EXPECT_EQ(socket->Handle(), kInvalidSocket);
    char byte = 'x';
    EXPECT_FALSE(socket->SendAll(&byte, 1));
    EXPECT_FALSE(socket->ReceiveExact(&byte, 1));
    EXPECT_FALSE(CSafeSocket::Create(99));
}

}  // namespace
}  // namespace hbt
