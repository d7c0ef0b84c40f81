// Real loopback sockets: the owner of a socket is found by its 4-tuple, and
// the process by the socket's inode.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "HbtEngineDrv/netfilter/process_resolver.h"
#include "HbtEngineDrv/netfilter/sock_diag.h"

namespace hbt {
namespace {

struct Fd {
    int fd = -1;
    ~Fd() {
        if (fd >= 0) close(fd);
    }
};

uint16_t PortOf(int fd) {
    sockaddr_in a{};
    socklen_t n = sizeof a;
    getsockname(fd, reinterpret_cast<sockaddr*>(&a), &n);
    return ntohs(a.sin_port);
}

// A connected loopback pair: client, accepted.
void Connect(Fd& listener, Fd& client, Fd& accepted) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    listener.fd = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_EQ(bind(listener.fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    ASSERT_EQ(listen(listener.fd, 1), 0);
    a.sin_port = htons(PortOf(listener.fd));
    client.fd = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_EQ(connect(client.fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    accepted.fd = accept(listener.fd, nullptr, nullptr);
    ASSERT_GE(accepted.fd, 0);
}

TcpFourTuple ClientTuple(int client, int listener) {
    TcpFourTuple t;
    t.local = {127, 0, 0, 1};
    t.remote = {127, 0, 0, 1};
    t.localPort = PortOf(client);
    t.remotePort = PortOf(listener);
    return t;
}

TEST(SocketOwner, FourTupleLeadsToTheInodeAndTheProcess) {
    Fd listener, client, accepted;
    Connect(listener, client, accepted);
    SockDiag diag;
    ASSERT_TRUE(diag.Ok());
    const auto owner = diag.Lookup(ClientTuple(client.fd, listener.fd));
    ASSERT_TRUE(owner);
    struct stat st{};
    fstat(client.fd, &st);
    EXPECT_EQ(owner->inode, st.st_ino);
    EXPECT_EQ(owner->uid, getuid());

    ProcessResolver resolver;
    EXPECT_EQ(resolver.ProcessOfSocket(owner->inode), static_cast<uint32_t>(getpid()));
    EXPECT_EQ(resolver.ProcessOfSocket(owner->inode), static_cast<uint32_t>(getpid()));  // from the recent list
    char self[4096] = {};
    ASSERT_GT(readlink("/proc/self/exe", self, sizeof self - 1), 0);
    std::string path;
    resolver.ExecutablePath(getpid(), path);
    EXPECT_EQ(path, self);

    // A later socket of the same process is found as well.
    Fd listener2, client2, accepted2;
    Connect(listener2, client2, accepted2);
    const auto owner2 = diag.Lookup(ClientTuple(client2.fd, listener2.fd));
    ASSERT_TRUE(owner2);
    EXPECT_EQ(resolver.ProcessOfSocket(owner2->inode), static_cast<uint32_t>(getpid()));

    TcpFourTuple unknown = ClientTuple(client.fd, listener.fd);
    unknown.remotePort = 1;
    EXPECT_FALSE(diag.Lookup(unknown));
    EXPECT_EQ(resolver.ProcessOfSocket(1), 0u);  // no process holds inode 1
    resolver.ExecutablePath(std::numeric_limits<uint32_t>::max(), path);  // above any pid_max
    EXPECT_EQ(path, "");  // nothing of what the reused room held before
    resolver.ExecutablePath(0, path);
    EXPECT_EQ(path, "");
}

// Many connects of one process in flight at once, each socket replaced by a
// new one as the previous round's closes: every one is still found.
TEST(SocketOwner, SocketsOfOneProcessInFlightTogetherAreFound) {
    constexpr int kInFlight = 24;
    ProcessResolver resolver;
    std::vector<Fd> sockets(kInFlight);
    for (int round = 0; round < 4; ++round) {
        for (Fd& s : sockets) {
            if (s.fd >= 0) close(s.fd);
            s.fd = socket(AF_INET, SOCK_STREAM, 0);
            struct stat st{};
            ASSERT_EQ(fstat(s.fd, &st), 0);
            EXPECT_EQ(resolver.ProcessOfSocket(st.st_ino), static_cast<uint32_t>(getpid())) << round;
        }
    }
}

TEST(SocketOwner, DestroyedSocketReportsTheAbortToItsApplication) {
    if (geteuid() != 0) GTEST_SKIP() << "destroying sockets needs CAP_NET_ADMIN (run as root)";
    Fd listener, client, accepted;
    Connect(listener, client, accepted);
    SockDiag diag;
    ASSERT_EQ(diag.Destroy(ClientTuple(client.fd, listener.fd)), 0);
    char byte = 0;
    EXPECT_EQ(recv(client.fd, &byte, 1, 0), -1);
    EXPECT_EQ(errno, ECONNABORTED);
}

}  // namespace
}  // namespace hbt
