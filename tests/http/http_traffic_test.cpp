// CHttpTraffic on real loopback connections: forwarding with the relay, the
// temporary exclusion around it, and the pages sent on the client connection.
#include <gtest/gtest.h>

#include <ctime>
#include <future>

#include "http/http_request.h"
#include "http/http_traffic.h"
#include "log/log_queue.h"
#include "http/ip_excluder.h"
#include "tests/http/loopback.h"
#include "text/text_conversion.h"
#include "tests/log/log_test_fixture.h"

namespace hbt {
namespace {

using test::ConnectedPair;
using test::MakeConnectedPair;
using test::SendText;

// Records the calls of request handling at the excluder seam.
class RecordingExcluder : public CIpExcluder {
public:
    bool AddAddress(const SocketAddressSlot& address) override { return Record('+', address); }
    bool RemoveAddress(const SocketAddressSlot& address) override { return Record('-', address); }
    std::string Calls() {
        std::lock_guard lock(mutex_);
        return calls_;
    }

private:
    bool Record(char kind, const SocketAddressSlot& address) {
        std::lock_guard lock(mutex_);
        calls_ += kind + SocketAddressText(address) + ";";
        return true;
    }
    std::mutex mutex_;
    std::string calls_;
};

// Excludes h.example, so the rules pass its requests through.
class ExcludingPreferences : public CPreferencesGetter {
public:
    std::shared_ptr<const Preferences> GetPreferences() override {
        auto preferences = std::make_shared<Preferences>();
        std::wstring message;
        preferences->SetExcludedHosts(L"h.example", message);
        return preferences;
    }
};

class HttpTrafficTest : public LogTest {
protected:
    // Runs Process on the proxy's end of a fresh connection, on its own thread.
    std::future<bool> StartProcess(const SocketAddressSlot& destination, bool limitHit = false) {
        pair_ = MakeConnectedPair();
        traffic_ = std::make_unique<CHttpTraffic>(pair_.accepted, &excluder_);
        ConnectionDescription description = DescribeConnection(destination, 4242, L"/usr/bin/app");
        return std::async(std::launch::async, [this, description, limitHit] {
            const bool ok =
                traffic_->Process(description, &preferences_, limitHit, 50000, &counters_) == ProcessResult::kHandled;
            pair_.accepted->Close();  // what the core does when the connection thread ends
            return ok;
        });
    }

    std::vector<std::wstring> Messages() {
        std::vector<std::wstring> messages;
        for (const LogRecord& record : LogQueue::Instance().TakeAll()) messages.push_back(record.message);
        return messages;
    }

    RecordingExcluder excluder_;
    ExcludingPreferences preferences_;
    HttpCounters counters_;
    ConnectedPair pair_;
    std::unique_ptr<CHttpTraffic> traffic_;
};

TEST_F(HttpTrafficTest, HeadAndBodyReachTheDestinationInOrder) {
    test::RecordingServer server;
    auto done = StartProcess(server.Address());
    const std::string head = "POST /upload HTTP/1.1\r\nHost: h.example\r\nContent-Length: 200000\r\n\r\n";
    std::string body;
    for (int i = 0; i < 200000; ++i) body += static_cast<char>('a' + i % 26);
    SendText(*pair_.client, head + body.substr(0, 100));
    SendText(*pair_.client, body.substr(100));
    ::shutdown(static_cast<int>(pair_.client->Handle()), SHUT_WR);

    ASSERT_TRUE(server.WaitForConnections(1));
    EXPECT_EQ(server.Received().at(0), head + body);
    EXPECT_TRUE(done.get()) << traffic_->errorText;
    const std::string address = SocketAddressText(server.Address());
    EXPECT_EQ(excluder_.Calls(), "+" + address + ";-" + address + ";");
    const auto messages = Messages();
    EXPECT_NE(std::find(messages.begin(), messages.end(),
                        Utf8ToWide(address + " bypassed for h.example (exclusion list)")),
              messages.end());
}

TEST_F(HttpTrafficTest, RefusedDestinationAddsAndRemovesTheExclusionOnce) {
    SocketAddressSlot closedPort;
    {
        auto probe = test::ListenOn(test::Loopback4());
        closedPort = test::BoundAddress(*probe);
    }
    auto done = StartProcess(closedPort);
    SendText(*pair_.client, "GET / HTTP/1.1\r\nHost: h.example\r\n\r\n");
    EXPECT_FALSE(done.get());
    EXPECT_EQ(traffic_->errorText, "Could not connect to target server");
    const std::string address = SocketAddressText(closedPort);
    EXPECT_EQ(excluder_.Calls(), "+" + address + ";-" + address + ";");
    EXPECT_EQ(test::ReadToEnd(*pair_.client), "");
}

TEST_F(HttpTrafficTest, DestinationClosingFirstEndsTheRelay) {
    test::LoopbackServer server([](std::shared_ptr<CSafeSocket> socket) {
        HttpRequest request(socket, false);
        request.Read();
        SendText(*socket, "HTTP/1.1 200 OK\r\n\r\nhello");
        socket->Close();
    });
    auto done = StartProcess(server.Address());
    SendText(*pair_.client, "GET / HTTP/1.1\r\nHost: h.example\r\n\r\n");
    // The client keeps its connection open; the relay still ends.
    EXPECT_TRUE(done.get());
    EXPECT_EQ(test::ReadToEnd(*pair_.client), "HTTP/1.1 200 OK\r\n\r\nhello");
}

TEST_F(HttpTrafficTest, ExclusionEndsWithTheDestinationsFirstAnswer) {
    std::promise<void> release;
    auto released = release.get_future().share();
    test::LoopbackServer server([released](std::shared_ptr<CSafeSocket> socket) {
        HttpRequest request(socket, false);
        request.Read();
        SendText(*socket, "pong");
        released.wait();
    });
    auto done = StartProcess(server.Address());
    SendText(*pair_.client, "GET / HTTP/1.1\r\nHost: h.example\r\n\r\n");
    EXPECT_EQ(test::ReadBytes(*pair_.client, 4), "pong");
    // The relay is still running: only the exclusion is gone.
    const std::string address = SocketAddressText(server.Address());
    for (int i = 0; i < 100 && excluder_.Calls().find('-') == std::string::npos; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_EQ(excluder_.Calls(), "+" + address + ";-" + address + ";");
    EXPECT_EQ(done.wait_for(std::chrono::milliseconds(0)), std::future_status::timeout);
    pair_.client->Close();
    EXPECT_TRUE(done.get());
    release.set_value();
}

TEST_F(HttpTrafficTest, ConnectIsTunnelledAndCounted) {
    test::LoopbackServer server([](std::shared_ptr<CSafeSocket> socket) {
        HttpRequest request(socket, false);
        request.Read();
        SendText(*socket, "HTTP/1.1 200 Connection established\r\n\r\n");
        SendText(*socket, test::ReadBytes(*socket, 5));  // echo the tunnelled bytes
        socket->Close();
    });
    auto done = StartProcess(server.Address());
    SendText(*pair_.client, "CONNECT h.example:443 HTTP/1.1\r\nHost: h.example:443\r\n\r\nhello");
    EXPECT_TRUE(done.get());
    EXPECT_EQ(test::ReadToEnd(*pair_.client), "HTTP/1.1 200 Connection established\r\n\r\nhello");
    EXPECT_EQ(counters_.httpsProxyConnections.load(), 1u);
    const auto messages = Messages();
    const std::wstring expected = Utf8ToWide(SocketAddressText(server.Address()) + " allowed (HTTPS proxy connection)");
    EXPECT_NE(std::find(messages.begin(), messages.end(), expected), messages.end());
}

TEST_F(HttpTrafficTest, FlaggedConnectionGetsTheLoopPage) {
    const SocketAddressSlot destination = *ParseIpAddress("192.0.2.1", 8080);
    auto done = StartProcess(destination, true);
    const std::time_t before = std::time(nullptr);
    SendText(*pair_.client, "GET /p HTTP/1.1\r\nHost: h.example\r\n\r\n");
    const std::string page = test::ReadToEnd(*pair_.client);
    const std::time_t after = std::time(nullptr);
    EXPECT_TRUE(done.get());

    ResponseInputs in;
    in.loop = true;
    in.path = "/p";
    in.host = in.redirectHost = "h.example";
    const ConnectionDescription connection = DescribeConnection(destination, 4242, L"/usr/bin/app");
    in.controlPort = 50000;
    EXPECT_TRUE(page == BuildResponseText(in, connection, before) || page == BuildResponseText(in, connection, after));
    EXPECT_NE(page.find("Application <strong>app</strong>"), std::string::npos);
    EXPECT_EQ(counters_.httpLoopReports.load(), 1u);
    EXPECT_EQ(excluder_.Calls(), "");
    const auto messages = Messages();
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_EQ(messages[0],
              L"192.0.2.1:8080 Connection limit hit. The problem is likely caused by an infinite loop connection");
    EXPECT_EQ(messages[1], L"192.0.2.1:8080 Report loop connection to the user.");
}

TEST_F(HttpTrafficTest, PagesArriveWholeOnTheClientConnection) {
    const SocketAddressSlot destination = *ParseIpAddress("192.0.2.1", 80);
    ResponseInputs in;
    in.path = "/p";
    in.host = in.redirectHost = "h.example";
    const ConnectionDescription connection = DescribeConnection(destination, 7, L"");
    in.controlPort = 50000;
    in.messages = {{true, false, "Connect failed"}};
    struct Case {
        bool redirect;
        bool available;
        const wchar_t* log;
    };
    for (const Case c : {Case{true, true, L"192.0.2.1:80 Enforce HTTPS for h.example"},
                         Case{false, true, L"192.0.2.1:80 Request user action for h.example"},
                         Case{false, false, L"192.0.2.1:80 Request user action for h.example"}}) {
        in.redirect = c.redirect;
        in.available = c.available;
        ConnectedPair pair = MakeConnectedPair();
        CHttpTraffic traffic(pair.accepted, &excluder_);
        const std::time_t before = std::time(nullptr);
        ASSERT_TRUE(traffic.BuildResponse(in, connection));
        const std::time_t after = std::time(nullptr);
        pair.accepted->Close();
        const std::string page = test::ReadToEnd(*pair.client);
        EXPECT_TRUE(page == BuildResponseText(in, connection, before) ||
                    page == BuildResponseText(in, connection, after));
        const auto messages = Messages();
        ASSERT_EQ(messages.size(), 1u);
        EXPECT_EQ(messages[0], c.log);
    }
    ConnectedPair gone = MakeConnectedPair();
    CHttpTraffic traffic(gone.accepted, &excluder_);
    gone.accepted->Close();
    EXPECT_FALSE(traffic.BuildResponse(in, connection));
    EXPECT_EQ(traffic.errorText, "Could not send response to client");
}

}  // namespace
}  // namespace hbt
