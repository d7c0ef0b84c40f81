#include "tls_inspect/intercepted_traffic_processor.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <openssl/ssl.h>

#include "log/log_queue.h"
#include "log/log_settings.h"
#include "text/text_conversion.h"
#include "tests/tls_inspect/hello_builder.h"
#include "tests/tls_inspect/openssl_hellos.h"
#include "tls_inspect/cipher_suite_catalogue.h"

namespace hbt {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using test::Bytes;

constexpr char kDescription[] = "192.0.2.2:50000->192.0.2.1:443";

struct Line {
    int32_t level;
    std::string text;
    bool operator==(const Line&) const = default;
};

void PrintTo(const Line& line, std::ostream* os) { *os << line.level << ": " << line.text; }

Bytes Text(std::string_view text) { return Bytes(text.begin(), text.end()); }

Bytes Prefix(const Bytes& bytes, std::size_t count) { return Bytes(bytes.begin(), bytes.begin() + count); }
Bytes Suffix(const Bytes& bytes, std::size_t from) { return Bytes(bytes.begin() + from, bytes.end()); }

// Every line at every level, and one processor for a flow to 192.0.2.1:443.
class ProcessorTest : public ::testing::Test {
protected:
    void SetUp() override {
        LogQueue::Instance().TakeAll();
        SetScreenLogLevel(kLogVerbose);
        SetFileLogLevel(0);
        LogQueue::Instance().RegisterReceiver([] {});
        processor_.SetFlowInfo(SocketAddressSlot::Ipv4({192, 0, 2, 1}, 443), kDescription, 42, L"/usr/bin/browser");
        preferences_.allowedSslVersions = {0x0301, 0x0302, 0x0303, 0x0304, 0x7F00};
        preferences_.checkEncMethod = 1;
        preferences_.cipherBaseMode = 1;
    }
    void TearDown() override {
        LogQueue::Instance().ClearReceiver();
        LogQueue::Instance().TakeAll();
        SetScreenLogLevel(kLogNormal);
        SetFileLogLevel(kLogNormal);
    }

    // The refusal's line is written as the engine client writes a single one.
    static void WriteRefusal(const FlowVerdict& verdict) {
        if (verdict.refusal) WriteRefusalLine(*verdict.refusal, 1);
    }
    FlowVerdict Out(const Bytes& bytes) {
        FlowVerdict verdict;
        processor_.OutgoingData(bytes, preferences_, verdict);
        WriteRefusal(verdict);
        return verdict;
    }
    FlowVerdict In(const Bytes& bytes) {
        FlowVerdict verdict;
        EXPECT_TRUE(processor_.IncomingData(bytes, preferences_, verdict));
        WriteRefusal(verdict);
        return verdict;
    }
    std::vector<Line> Lines() {
        records_ = LogQueue::Instance().TakeAll();
        std::vector<Line> lines;
        for (const LogRecord& r : records_) lines.push_back({r.level, WideToUtf8(r.message)});
        return lines;
    }
    static std::string D(const std::string& rest) { return kDescription + rest; }

    CInterceptedTrafficProcessor processor_{7};
    Preferences preferences_;
    std::vector<LogRecord> records_;
};

TEST_F(ProcessorTest, FirstSegmentsThatAreNotTlsAreLetThrough) {
    struct Case {
        std::string first;
        std::string line;
    };
    const Case cases[] = {
        {"GET / HTTP/1.1\r\nHost: a\r\n\r\n", " (bypass: HTTP on non-HTTP port)"},
        {"CONNECT a.example:443 HTTP/1.1\r\n\r\n", " (bypass: HTTP method CONNECT)"},
        {"abcd", " (bypass: unknown protocol with length 4"},
        {"SSH-2.0-OpenSSH_9.6\r\n", " (bypass: unknown SSL protocol, flowId=7)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.first);
        CInterceptedTrafficProcessor processor(7);
        processor.SetFlowInfo({}, kDescription, 42, L"/usr/bin/tool");
        FlowVerdict verdict;
        processor.OutgoingData(Text(c.first), preferences_, verdict);
        EXPECT_TRUE(verdict.bypass);
        EXPECT_FALSE(verdict.block);
        EXPECT_EQ(verdict.sendOut, Text(c.first));
        EXPECT_THAT(verdict.deliverIn, IsEmpty());
        EXPECT_EQ(processor.State(), FlowState::kDetached);
        EXPECT_THAT(Lines(), ElementsAre(Line{3, D(c.line)}));
        // The prefix of every line names the application, with its process id at level 3.
        EXPECT_EQ(records_.at(0).screenPrefix, L"tool (42)");
    }
}

TEST_F(ProcessorTest, SplitTls13HelloGoesOutWholeAndTheServerAnswerReleasesTheFlow) {
    // A user who allows TLS 1.3 but not TLS 1.2 keeps TLS 1.3 connections.
    preferences_.allowedSslVersions = {0x0304};
    const test::CapturedHellos hellos = test::CaptureHellos({TLS1_2_VERSION, TLS1_3_VERSION, "site.example", ""});

    FlowVerdict first = Out(Prefix(hellos.clientFlight, 100));
    EXPECT_FALSE(first.bypass || first.block);
    EXPECT_THAT(first.sendOut, IsEmpty());
    EXPECT_EQ(processor_.HeldOutgoingSize(), 100u);

    FlowVerdict second = Out(Suffix(hellos.clientFlight, 100));
    EXPECT_FALSE(second.bypass || second.block);
    EXPECT_EQ(second.sendOut, hellos.clientFlight);
    EXPECT_EQ(processor_.State(), FlowState::kInspecting);
    EXPECT_EQ(processor_.Host(), "site.example");
    EXPECT_THAT(processor_.ClientVersions(), ElementsAre(0x0304, 0x0303));
    EXPECT_THAT(Lines(), IsEmpty());

    FlowVerdict answer = In(Prefix(hellos.serverFlight, 60));
    EXPECT_FALSE(answer.bypass || answer.block);
    answer = In(Suffix(hellos.serverFlight, 60));
    EXPECT_TRUE(answer.bypass);
    EXPECT_EQ(answer.deliverIn, hellos.serverFlight);
    EXPECT_EQ(processor_.State(), FlowState::kDetached);
    EXPECT_THAT(Lines(), ElementsAre(Line{3, D(" (site.example) (TLS 1.3, cipher suite 0x1302 TLS_AES_256_GCM_SHA384)")}));
    ASSERT_EQ(records_[0].links.size(), 1u);
    EXPECT_EQ(records_[0].links[0].scheme, "hbturl");
    EXPECT_EQ(records_[0].links[0].target, "site.example");
    EXPECT_EQ(records_[0].links[0].offset, std::string(kDescription).size() + 2);
    EXPECT_EQ(records_[0].links[0].length, 12u);
}

TEST_F(ProcessorTest, RealHandshakesAreReleasedWholeOrSplit) {
    struct Case {
        test::HelloOptions options;
        const char* versionText;
    };
    const Case cases[] = {
        {{TLS1_VERSION, TLS1_VERSION, "", ""}, "TLS 1.0"},
        {{TLS1_VERSION, TLS1_VERSION, "old.example", ""}, "TLS 1.0"},
        {{TLS1_2_VERSION, TLS1_2_VERSION, "", ""}, "TLS 1.2"},
        {{TLS1_VERSION, TLS1_2_VERSION, "mid.example", ""}, "TLS 1.2"},
        {{TLS1_3_VERSION, TLS1_3_VERSION, "", ""}, "TLS 1.3"},
        {{TLS1_2_VERSION, TLS1_3_VERSION, "new.example", ""}, "TLS 1.3"},
    };
    preferences_.checkEncMethod = preferences_.cipherBaseMode = 3;
    for (const Case& c : cases) {
        const test::CapturedHellos hellos = test::CaptureHellos(c.options);
        const std::string host = c.options.serverName.empty() ? "" : " (" + c.options.serverName + ")";
        char suite[8];
        std::snprintf(suite, sizeof suite, "%04X", hellos.cipherSuite);
        const Line expected{3, D(host + " (" + c.versionText + ", cipher suite 0x" + suite + " " +
                                 CipherSuiteName(hellos.cipherSuite) + ")")};
        for (bool split : {false, true}) {
            SCOPED_TRACE(expected.text + (split ? " split" : " whole"));
            CInterceptedTrafficProcessor processor(13);
            processor.SetFlowInfo({}, kDescription, 42, L"/usr/bin/browser");
            const std::size_t clientCut = split ? hellos.clientFlight.size() / 2 : hellos.clientFlight.size();
            const std::size_t serverCut = split ? 50 : hellos.serverFlight.size();
            FlowVerdict out, in;
            processor.OutgoingData(Prefix(hellos.clientFlight, clientCut), preferences_, out);
            if (split) processor.OutgoingData(Suffix(hellos.clientFlight, clientCut), preferences_, out);
            processor.IncomingData(Prefix(hellos.serverFlight, serverCut), preferences_, in);
            if (split) processor.IncomingData(Suffix(hellos.serverFlight, serverCut), preferences_, in);
            EXPECT_EQ(out.sendOut, hellos.clientFlight);
            EXPECT_TRUE(in.bypass);
            EXPECT_EQ(in.deliverIn, hellos.serverFlight);
            EXPECT_EQ(processor.State(), FlowState::kDetached);
            EXPECT_THAT(Lines(), ElementsAre(expected));
            EXPECT_EQ(records_.at(0).links.size(), c.options.serverName.empty() ? 0u : 1u);
        }
    }
}

TEST_F(ProcessorTest, ClientHelloWithoutAnAllowedVersionIsRefused) {
    preferences_.allowedSslVersions = {0x0301, 0x0303};
    const Bytes ssl3 = test::ClientHello(0x0300, {0x000A}, {}, false, 0, 0x0300);
    const FlowVerdict verdict = Out(ssl3);
    EXPECT_TRUE(verdict.block);
    EXPECT_FALSE(verdict.bypass);
    EXPECT_EQ(test::Hex(verdict.deliverIn), "15 03 00 00 02 02 28");
    EXPECT_THAT(verdict.sendOut, IsEmpty());
    EXPECT_EQ(processor_.State(), FlowState::kClosed);
    EXPECT_THAT(Lines(), ElementsAre(Line{2, D(" (block: insecure SSL 3)")}));

    // A real TLS 1.2-only client while only TLS 1.3 is allowed: refused in its own record version.
    CInterceptedTrafficProcessor other(8);
    other.SetFlowInfo({}, kDescription, 42, L"/usr/bin/browser");
    preferences_.allowedSslVersions = {0x0304, 0x7F00};
    const test::CapturedHellos hellos = test::CaptureHellos({TLS1_2_VERSION, TLS1_2_VERSION, "old.example", ""});
    FlowVerdict refused;
    other.OutgoingData(hellos.clientFlight, preferences_, refused);
    WriteRefusal(refused);
    EXPECT_TRUE(refused.block);
    EXPECT_EQ(test::Hex(refused.deliverIn), "15 03 01 00 02 02 28");
    EXPECT_THAT(Lines(), ElementsAre(Line{2, D(" (old.example) (block: insecure TLS 1.2 (TLS 1.1, TLS 1.0, SSL 3))")}));
}

TEST_F(ProcessorTest, ServerChoicesAreJudged) {
    struct Case {
        const char* name;
        std::vector<uint16_t> allowed;
        int32_t cipherMode;
        bool allowInsecure;
        Bytes serverHello;
        bool block;
        Line line;
        const char* alert = "";  // what a refused answer's client receives instead
    };
    // The client's hello goes in a TLS 1.0 record, so the alerts do too.
    const char* const versionAlert = "15 03 01 00 02 02 46";
    const char* const suiteAlert = "15 03 01 00 02 02 28";
    const Bytes tls11 = test::ServerHello(0x0302, 0x002F);
    const Bytes tripleDes = test::ServerHello(0x0303, 0x000A);
    const Case cases[] = {
        {"Tls11NotAllowed", {0x0303}, 1, false, tls11, true, {2, D(" (h.example) (block: insecure TLS 1.1)")},
         versionAlert},
        {"Level1SuiteUnderSafeOnly", {0x0303}, 2, false, tripleDes, true,
         {3, D(" (h.example) (block: disallowed cipher suite TLS 1.2, cipher suite 0x000A "
               "TLS_RSA_WITH_3DES_EDE_CBC_SHA)")},
         suiteAlert},
        {"BestEffortOnlyLogs", {0x0303}, 2, true, tripleDes, false,
         {3, D(" (h.example) (TLS 1.2, cipher suite 0x000A TLS_RSA_WITH_3DES_EDE_CBC_SHA)")}},
        {"UnknownSuiteUnderSafeOnly", {0x0303}, 2, false, test::ServerHello(0x0303, 0x0A0A), false,
         {3, D(" (h.example) (TLS 1.2, cipher suite 0x0A0A )")}},
        {"UnknownSuiteUnderStrongOnly", {0x0303}, 3, false, test::ServerHello(0x0303, 0x0A0A), true,
         {3, D(" (h.example) (block: disallowed cipher suite TLS 1.2, cipher suite 0x0A0A )")}, suiteAlert},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        preferences_.allowedSslVersions = c.allowed;
        preferences_.checkEncMethod = preferences_.cipherBaseMode = c.cipherMode;
        preferences_.allowInsecureIfNoHttps = c.allowInsecure;
        CInterceptedTrafficProcessor processor(9);
        processor.SetFlowInfo({}, kDescription, 42, L"/usr/bin/browser");
        FlowVerdict hello;
        processor.OutgoingData(test::ClientHello(0x0303, {0x000A, 0x002F}, {test::ServerName("h.example")}),
                               preferences_, hello);
        ASSERT_FALSE(hello.block || hello.bypass);
        FlowVerdict answer;
        processor.IncomingData(c.serverHello, preferences_, answer);
        WriteRefusal(answer);
        EXPECT_EQ(answer.block, c.block);
        EXPECT_EQ(answer.refusal.has_value(), c.block);
        EXPECT_EQ(answer.bypass, !c.block);
        EXPECT_EQ(processor.State(), c.block ? FlowState::kClosed : FlowState::kDetached);
        // A refused answer is dropped with the flow, and the client gets a
        // fatal alert instead; an accepted one is delivered.
        if (c.block) {
            EXPECT_EQ(test::Hex(answer.deliverIn), c.alert);
        } else {
            EXPECT_EQ(answer.deliverIn, c.serverHello);
        }
        EXPECT_THAT(Lines(), ElementsAre(c.line));
    }
}

TEST_F(ProcessorTest, RefusedAnswerAlertUsesTheRecordVersionOfTheClientHello) {
    preferences_.allowedSslVersions = {0x0303};
    CInterceptedTrafficProcessor processor(9);
    processor.SetFlowInfo({}, kDescription, 42, L"/usr/bin/browser");
    FlowVerdict hello;
    processor.OutgoingData(test::ClientHello(0x0303, {0x002F}, {}, true, 0, 0x0303), preferences_, hello);
    ASSERT_FALSE(hello.block || hello.bypass);
    FlowVerdict answer;
    processor.IncomingData(test::ServerHello(0x0302, 0x002F), preferences_, answer);
    EXPECT_TRUE(answer.block);
    EXPECT_EQ(test::Hex(answer.deliverIn), "15 03 03 00 02 02 46");
    EXPECT_THAT(answer.sendOut, IsEmpty());
}

TEST_F(ProcessorTest, OfferedTls13PassesWhenOnlyTls12IsAllowed) {
    preferences_.allowedSslVersions = {0x0303};
    const FlowVerdict verdict = Out(test::ClientHello(0x0303, {0x1301}, {test::SupportedVersions({0x0304, 0x0303})}));
    EXPECT_FALSE(verdict.block || verdict.bypass);
    EXPECT_EQ(processor_.State(), FlowState::kInspecting);
    // Later client bytes wait for the server's answer, then go out with it.
    EXPECT_THAT(Out(Text("early-data")).sendOut, IsEmpty());
    const FlowVerdict answer = In(test::ServerHello(0x0303, 0xC02F));
    EXPECT_TRUE(answer.bypass);
    EXPECT_EQ(answer.sendOut, Text("early-data"));
}

TEST_F(ProcessorTest, ExcludedHostIsLetThroughBeforeAnyVersionTest) {
    std::wstring message;
    ASSERT_TRUE(preferences_.SetExcludedHosts(L"*.excluded.example", message));
    preferences_.allowedSslVersions.clear();
    const Bytes hello = test::ClientHello(0x0300, {0x0004}, {test::ServerName("app.excluded.example")});
    const FlowVerdict verdict = Out(hello);
    EXPECT_TRUE(verdict.bypass);
    EXPECT_EQ(verdict.sendOut, hello);
    EXPECT_THAT(Lines(), ElementsAre(Line{3, D(" (app.excluded.example) (bypass: hostname excluded)")}));
}

TEST_F(ProcessorTest, Ssl2OnlyHelloIsDecidedOnTheClientSide) {
    const Bytes ssl2 = {0x80, 0x2E, 0x01, 0x00, 0x02, 0x00, 0x15, 0x00, 0x00};
    FlowVerdict refused = Out(ssl2);
    EXPECT_TRUE(refused.block);
    EXPECT_EQ(test::Hex(refused.deliverIn), "80 03 00 00 01");
    EXPECT_THAT(Lines(), ElementsAre(Line{2, D(" (block: insecure SSL 2)")}));

    preferences_.allowedSslVersions.push_back(0x0200);
    CInterceptedTrafficProcessor allowed(10);
    allowed.SetFlowInfo({}, kDescription, 42, L"/usr/bin/browser");
    FlowVerdict passed;
    allowed.OutgoingData(ssl2, preferences_, passed);
    EXPECT_TRUE(passed.bypass);
    EXPECT_EQ(passed.sendOut, ssl2);
    EXPECT_THAT(Lines(), ElementsAre(Line{3, D(" (SSL 2)")}));
}

TEST_F(ProcessorTest, ServerRecordsThatEndInspection) {
    struct Case {
        const char* name;
        bool clientHelloFirst;
        Bytes server;
        std::vector<Line> lines;
    };
    const Case cases[] = {
        {"AlertAnswer", true, {21, 3, 3, 0, 2, 2, 40}, {{3, D(" (bypass: SSL message type: alert)")}}},
        {"AnswerWithoutClientHello", false, test::ServerHello(0x0303, 0xC02F), {{3, D(" (bypass - no HTTPS")}}},
        {"TinyAnswer", true, {22, 3}, {{3, D(" (bypass: no HTTPS)")}, {3, D(" (bypass: unknown SSL protocol)")}}},
        {"SessionIdTooLong", true, test::ServerHello(0x0303, 0xC02F, {}, 33),
         {{0, "CInterceptedTrafficProcessor::ParseHttpsHeader:  session id length is incorrect"},
          {3, D(" (bypass: unknown SSL protocol)")}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CInterceptedTrafficProcessor processor(11);
        processor.SetFlowInfo({}, kDescription, 42, L"/usr/bin/browser");
        if (c.clientHelloFirst) {
            FlowVerdict hello;
            processor.OutgoingData(test::ClientHello(0x0303, {0xC02F}, {}), preferences_, hello);
        }
        FlowVerdict answer;
        processor.IncomingData(c.server, preferences_, answer);
        EXPECT_TRUE(answer.bypass);
        EXPECT_EQ(answer.deliverIn, c.server);
        EXPECT_EQ(processor.State(), FlowState::kDetached);
        EXPECT_EQ(Lines(), c.lines);
    }
}

TEST_F(ProcessorTest, FlowDeletedWhileInspectingReportsTheHeldBytes) {
    const Bytes start = {0x16, 0x03, 0x01, 0x02, 0x00, 0x01, 0x00, 0x01, 0xFC, 0x03};
    const FlowVerdict verdict = Out(start);
    EXPECT_FALSE(verdict.bypass || verdict.block);
    processor_.Finish();
    EXPECT_THAT(Lines(), ElementsAre(Line{3, D(" connection destroyed but data left 10/0")},
                                     Line{3, D(" (bypass: undetected protocol)")}));

    // A judged flow says nothing more when it ends.
    CInterceptedTrafficProcessor judged(12);
    FlowVerdict bypass;
    judged.OutgoingData(Text("GET / HTTP/1.0\r\n\r\n"), preferences_, bypass);
    Lines();
    judged.Finish();
    EXPECT_THAT(Lines(), IsEmpty());
}

TEST_F(ProcessorTest, ClosingConnectionHandsBackEverythingHeld) {
    const Bytes clientPart = {0x16, 0x03, 0x01, 0x02, 0x00, 0x01, 0x00, 0x01, 0xFC, 0x03};
    Out(clientPart);
    const Bytes serverPart = {0x16, 0x03, 0x03, 0x00, 0x50, 0x02, 0x00, 0x00};
    In(serverPart);
    FlowVerdict held;
    processor_.CloseAndTakeHeld(held);
    EXPECT_EQ(held.sendOut, clientPart);
    EXPECT_EQ(held.deliverIn, serverPart);
    EXPECT_EQ(processor_.State(), FlowState::kClosed);
    EXPECT_EQ(processor_.HeldOutgoingSize() + processor_.HeldIncomingSize(), 0u);
    Lines();
    processor_.Finish();
    EXPECT_THAT(Lines(), IsEmpty());
}

}  // namespace
}  // namespace hbt
