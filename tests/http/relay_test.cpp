// The relay between two real loopback connections: bytes arrive whole in both
// directions, and a side that can take no more ends the relay without a
// signal killing the process.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>

#include <future>
#include <string>
#include <thread>

#include "http/relay.h"
#include "tests/http/loopback.h"

namespace hbt {
namespace {

using test::ConnectedPair;
using test::MakeConnectedPair;
using test::SendText;

// The relay runs between client.accepted and upstream.accepted; the test
// plays the application on client.client and the server on upstream.client.
struct RelayFixture {
    ConnectedPair client = MakeConnectedPair();
    ConnectedPair upstream = MakeConnectedPair();
    std::future<bool> Start() {
        return std::async(std::launch::async, [this] {
            auto guard = std::make_shared<ExclusionGuard>(nullptr, SocketAddressSlot{});
            const bool result = RelayTraffic(client.accepted, upstream.accepted, guard);
            upstream.accepted->Close();
            client.accepted->Close();
            return result;
        });
    }
};

std::string Pattern(std::size_t length, char seed) {
    std::string text(length, '\0');
    for (std::size_t i = 0; i < length; ++i) text[i] = static_cast<char>(seed + i % 251);
    return text;
}

// More than a pipe holds, each way. (Both at once would not do: the relay
// ends at the first close, and a socket closed with unread bytes resets.)
TEST(Relay, LargeTransfersArriveWholeBothWays) {
    RelayFixture relay;
    auto done = relay.Start();
    const std::string download = Pattern(5 << 20, 'z');
    std::thread server([&] { SendText(*relay.upstream.client, download); });
    EXPECT_TRUE(test::ReadBytes(*relay.client.client, download.size()) == download);
    server.join();

    const std::string upload = Pattern(3 << 20, 'a');
    std::thread application([&] {
        SendText(*relay.client.client, upload);
        ::shutdown(static_cast<int>(relay.client.client->Handle()), SHUT_WR);
    });
    EXPECT_TRUE(test::ReadToEnd(*relay.upstream.client) == upload);
    application.join();
    EXPECT_TRUE(done.get()) << "the application's close ends the relay";
}

// A destination shut down by another thread (as the program's stop does)
// refuses the relay's writes with EPIPE, which raises SIGPIPE unless held back.
TEST(Relay, WriteIntoAShutDownSideEndsTheRelayWithoutSignal) {
    RelayFixture relay;
    ::shutdown(static_cast<int>(relay.upstream.accepted->Handle()), SHUT_WR);
    SendText(*relay.client.client, Pattern(50000, 'a'));
    auto guard = std::make_shared<ExclusionGuard>(nullptr, SocketAddressSlot{});
    EXPECT_TRUE(RelayTraffic(relay.client.accepted, relay.upstream.accepted, guard));

    sigset_t mask;
    pthread_sigmask(SIG_BLOCK, nullptr, &mask);
    EXPECT_FALSE(sigismember(&mask, SIGPIPE)) << "this thread's mask is untouched";
}

}  // namespace
}  // namespace hbt
