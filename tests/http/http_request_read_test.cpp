// Reading request heads from real loopback connections.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <chrono>
#include <thread>
#include <vector>

#include "http/http_request.h"
#include "http/relay.h"
#include "tests/http/loopback.h"

namespace hbt {
namespace {

using test::ConnectedPair;
using test::MakeConnectedPair;
using test::SendText;

constexpr char kIncomplete[] =
    "Client sent incomplite incomplete HTTP request. Please make sure that client uses HTTP protocol.";

// Sends `bytes`, closes the client's sending side, and reads on the proxy's end.
struct ReadResult {
    bool ok;
    HttpRequest request;
};

ReadResult ReadFrom(const std::string& bytes, bool stopAfterConnect = false) {
    ConnectedPair pair = MakeConnectedPair();
    SendText(*pair.client, bytes);
    ::shutdown(static_cast<int>(pair.client->Handle()), SHUT_WR);
    HttpRequest request(pair.accepted, stopAfterConnect);
    const bool ok = request.Read();
    return {ok, std::move(request)};
}

TEST(HttpRequestRead, HeadEndsAtAnyDoubleLineEnd) {
    for (const std::string head : {"GET / HTTP/1.1\r\nHost: a\r\n\r\n", "GET / HTTP/1.1\nHost: a\n\n",
                                   "GET / HTTP/1.1\rHost: a\r\r"}) {
        const ReadResult result = ReadFrom(head + "BODY");
        EXPECT_TRUE(result.ok) << result.request.errorText;
        EXPECT_EQ(result.request.rawRequest, head);
        EXPECT_FALSE(result.request.isConnect);
    }
    const ReadResult crlfcr = ReadFrom("GET / HTTP/1.1\r\nHost: a\r\n\r");
    EXPECT_FALSE(crlfcr.ok);
    EXPECT_EQ(crlfcr.request.errorText, kIncomplete);
}

TEST(HttpRequestRead, BodyStaysInTheSocket) {
    ConnectedPair pair = MakeConnectedPair();
    SendText(*pair.client, "POST /f HTTP/1.1\r\nHost: a\r\nContent-Length: 4\r\n\r\nbody");
    HttpRequest request(pair.accepted, false);
    ASSERT_TRUE(request.Read());
    EXPECT_EQ(test::ReadBytes(*pair.accepted, 4), "body");
}

// However the head and what follows it arrive, the read stops at the head's
// end and the relay carries the rest on whole.
TEST(HttpRequestRead, BytesAfterTheHeadStayForTheRelay) {
    const std::string head = "POST /f HTTP/1.1\r\nHost: a\r\n\r\n";
    const std::string longHead = "POST /f HTTP/1.1\r\nX: " + std::string(20000, 'x') + "\r\n\r\n";
    const std::vector<std::vector<std::string>> arrivals = {
        {head + "body"},
        {"POST /f HTTP/1.1\r\nHost: a\r\n", "\r\nbody"},
        {"POST /f HTTP/1.1\r\nHost: a\r\n\r", "\nbody"},
        {longHead + "body"},
    };
    for (const auto& pieces : arrivals) {
        std::string all;
        for (const std::string& piece : pieces) all += piece;
        const std::string expectedHead = all.substr(0, all.size() - 4);
        ConnectedPair client = MakeConnectedPair();
        ConnectedPair upstream = MakeConnectedPair();
        std::thread sender([&] {
            for (const std::string& piece : pieces) SendText(*client.client, piece);
        });
        HttpRequest request(client.accepted, false);
        ASSERT_TRUE(request.Read()) << request.errorText;
        sender.join();
        EXPECT_EQ(request.rawRequest, expectedHead);

        SendText(*client.client, "+more");
        ::shutdown(static_cast<int>(client.client->Handle()), SHUT_WR);
        auto guard = std::make_shared<ExclusionGuard>(nullptr, SocketAddressSlot{});
        EXPECT_TRUE(RelayTraffic(client.accepted, upstream.accepted, guard));
        upstream.accepted->Close();
        EXPECT_EQ(test::ReadToEnd(*upstream.client), "body+more") << pieces.front().substr(0, 40);
    }
}

TEST(HttpRequestRead, SizeLimitCountsTheWholeHead) {
    const std::string start = "GET / HTTP/1.1\r\nX: ";
    const std::string end = "\r\n\r\n";
    const std::string exact = start + std::string(HttpRequest::maxRequestHeadSize - start.size() - end.size(), 'x') + end;
    ASSERT_EQ(exact.size(), 100000u);
    const ReadResult accepted = ReadFrom(exact);
    EXPECT_TRUE(accepted.ok) << accepted.request.errorText;
    EXPECT_EQ(accepted.request.rawRequest.size(), 100000u);

    const std::string over = start + std::string(HttpRequest::maxRequestHeadSize - start.size() - end.size() + 1, 'x') + end;
    const ReadResult refused = ReadFrom(over);
    EXPECT_FALSE(refused.ok);
    EXPECT_EQ(refused.request.errorText, "Request is too large.");
}

TEST(HttpRequestRead, ConnectReadWholeOrStoppedAfterMethod) {
    const std::string head = "CONNECT a.example:443 HTTP/1.1\r\nHost: a.example:443\r\n\r\n";
    const ReadResult whole = ReadFrom(head);
    ASSERT_TRUE(whole.ok);
    EXPECT_TRUE(whole.request.isConnect);
    EXPECT_EQ(whole.request.rawRequest, head);

    ConnectedPair pair = MakeConnectedPair();
    SendText(*pair.client, head);
    HttpRequest stopped(pair.accepted, true);
    ASSERT_TRUE(stopped.Read());
    EXPECT_TRUE(stopped.isConnect);
    EXPECT_EQ(stopped.rawRequest, "CON");
    EXPECT_EQ(test::ReadBytes(*pair.accepted, 4), "NECT");
}

TEST(HttpRequestRead, Failures) {
    struct Case {
        std::string bytes;
        std::string error;
    };
    const Case cases[] = {
        {"", "empty connection"},
        {"GE", "empty connection"},
        {"get / HTTP/1.1\r\n\r\n",
         "Client sent incorrect HTTP request. Please make sure that client uses HTTP protocol."},
        {std::string("G\0T / HTTP/1.1\r\n\r\n", 18),
         "Client sent incorrect HTTP request. Please make sure that client uses HTTP protocol."},
        {"GET / HTTP/1.1\r\nHost: a\r\n", kIncomplete},
    };
    for (const Case& c : cases) {
        const ReadResult result = ReadFrom(c.bytes);
        EXPECT_FALSE(result.ok);
        EXPECT_EQ(result.request.errorText, c.error) << c.bytes;
    }
    HttpRequest noSocket(nullptr, false);
    EXPECT_FALSE(noSocket.Read());
    EXPECT_EQ(noSocket.errorText, "Communication socket is invalid");
}

// The client keeps its end open and says no more: the read ends at the idle limit.
TEST(HttpRequestRead, SilentClientTimesOutWhereverItStopped) {
    for (const std::string bytes : {"", "GE", "GET / HTTP/1.1\r\nHost: a\r\n"}) {
        ConnectedPair pair = MakeConnectedPair();
        SendText(*pair.client, bytes);
        HttpRequest request(pair.accepted, false, std::chrono::milliseconds(50));
        EXPECT_FALSE(request.Read()) << bytes;
        EXPECT_TRUE(request.headTimedOut) << bytes;
        EXPECT_FALSE(request.emptyConnection) << bytes;
        EXPECT_EQ(request.errorText, "no request head within the time limit") << bytes;
    }
}

// The limit is on silence, not on the whole head: a client that keeps sending
// is read to the end however long it takes, and afterwards the socket has no
// receive limit left for the relay to trip over.
TEST(HttpRequestRead, SlowClientThatKeepsSendingIsReadWhole) {
    const std::string head = "GET / HTTP/1.1\r\nHost: a\r\nX-Padding: " + std::string(120, 'p') + "\r\n\r\n";
    ConnectedPair pair = MakeConnectedPair();
    std::thread sender([&] {
        for (char byte : head) {
            SendText(*pair.client, std::string(1, byte));
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    });
    HttpRequest request(pair.accepted, false, std::chrono::milliseconds(1000));
    EXPECT_TRUE(request.Read()) << request.errorText;
    sender.join();
    EXPECT_EQ(request.rawRequest, head);
    timeval left{1, 1};
    socklen_t length = sizeof(left);
    ASSERT_EQ(::getsockopt(static_cast<int>(pair.accepted->Handle()), SOL_SOCKET, SO_RCVTIMEO, &left, &length), 0);
    EXPECT_EQ(left.tv_sec, 0);
    EXPECT_EQ(left.tv_usec, 0);
}

TEST(HttpRequestRead, ClosedByAnotherThreadEndsAsIncomplete) {
    ConnectedPair pair = MakeConnectedPair();
    SendText(*pair.client, "GET / HTTP/1.1\r\n");
    HttpRequest request(pair.accepted, false);
    std::thread closer([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        pair.accepted->Close();
    });
    EXPECT_FALSE(request.Read());
    closer.join();
    EXPECT_EQ(request.errorText, kIncomplete);
}

}  // namespace
}  // namespace hbt
