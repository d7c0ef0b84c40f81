#include "tls_inspect/https_header_parser.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <openssl/ssl.h>

#include "tests/tls_inspect/hello_builder.h"
#include "tests/tls_inspect/openssl_hellos.h"

namespace hbt {
namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using test::Bytes;

struct Parsed {
    bool ok = false;
    bool needMore = false;
    std::size_t available = 0;
    std::string host;
    ParseFault fault = ParseFault::kNone;
    TlsRecordState state;
};

Parsed Parse(const Bytes& bytes, std::size_t count) {
    Parsed p;
    p.available = count;
    p.ok = ParseHttpsHeader(p.state, bytes.data(), p.available, p.needMore, p.host, p.fault);
    return p;
}
Parsed Parse(const Bytes& bytes) { return Parse(bytes, bytes.size()); }

struct RealCase {
    const char* name;
    test::HelloOptions options;
    std::vector<uint16_t> clientVersions;
    std::vector<uint16_t> serverVersions;
};

void PrintTo(const RealCase& c, std::ostream* os) { *os << c.name; }

class RealHelloTest : public ::testing::TestWithParam<RealCase> {};

TEST_P(RealHelloTest, ReadsVersionsHostAndSuiteOfOpenSslHellos) {
    const RealCase& c = GetParam();
    const test::CapturedHellos hellos = test::CaptureHellos(c.options);

    const Parsed client = Parse(hellos.clientFlight);
    ASSERT_TRUE(client.ok);
    EXPECT_FALSE(client.needMore);
    EXPECT_EQ(client.state.helloKind, kHelloKindClient);
    EXPECT_EQ(client.state.versions, c.clientVersions);
    EXPECT_EQ(client.host, c.options.serverName);

    // The server's flight holds more records after the ServerHello; only the first is read.
    const Parsed server = Parse(hellos.serverFlight);
    ASSERT_TRUE(server.ok);
    EXPECT_EQ(server.available, test::FirstRecord(hellos.serverFlight).size());
    EXPECT_EQ(server.state.helloKind, kHelloKindServer);
    EXPECT_EQ(server.state.versions, c.serverVersions);
    EXPECT_THAT(server.state.versions, ElementsAre(hellos.version));
    EXPECT_EQ(server.state.CipherSuiteCode(), hellos.cipherSuite);
}

TEST_P(RealHelloTest, EveryPartOfAHelloWaitsForTheRest) {
    const test::CapturedHellos hellos = test::CaptureHellos(GetParam().options);
    for (const Bytes& record : {test::FirstRecord(hellos.clientFlight), test::FirstRecord(hellos.serverFlight)}) {
        for (std::size_t cut = 0; cut < record.size(); ++cut) {
            const Parsed part = Parse(record, cut);
            ASSERT_FALSE(part.ok) << "cut at " << cut;
            ASSERT_EQ(part.needMore, cut >= 6) << "cut at " << cut;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    OpenSsl, RealHelloTest,
    ::testing::Values(
        RealCase{"Tls10NoSni", {TLS1_VERSION, TLS1_VERSION, "", ""}, {0x0301, 0x0300}, {0x0301}},
        RealCase{"Tls12Sni", {TLS1_VERSION, TLS1_2_VERSION, "www.example.org", ""},
                 {0x0303, 0x0302, 0x0301, 0x0300}, {0x0303}},
        RealCase{"Tls12NoSniOldSuites", {TLS1_2_VERSION, TLS1_2_VERSION, "", "ECDHE-ECDSA-AES128-SHA"},
                 {0x0303, 0x0302, 0x0301, 0x0300}, {0x0303}},
        RealCase{"Tls13Sni", {TLS1_2_VERSION, TLS1_3_VERSION, "secure.example.net", ""}, {0x0304, 0x0303}, {0x0304}},
        RealCase{"Tls13NoSni", {TLS1_3_VERSION, TLS1_3_VERSION, "", ""}, {0x0304}, {0x0304}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(HttpsHeaderParserTest, ClientHelloVersionsComeFromTheExtensionOrTheLegacyRange) {
    const Parsed offered = Parse(test::ClientHello(0x0303, {0x1301}, {test::SupportedVersions({0x1A1A, 0x0304, 0x0303})}));
    ASSERT_TRUE(offered.ok);
    EXPECT_THAT(offered.state.versions, ElementsAre(0x1A1A, 0x0304, 0x0303));

    const Parsed legacy = Parse(test::ClientHello(0x0301, {0x002F}, {}, false));
    ASSERT_TRUE(legacy.ok);
    EXPECT_THAT(legacy.state.versions, ElementsAre(0x0301, 0x0300));

    const Parsed ancient = Parse(test::ClientHello(0x0200, {0x002F}, {}, false));
    ASSERT_TRUE(ancient.ok);
    EXPECT_TRUE(ancient.state.versions.empty());

    // A made-up major version offers every (3, n), and no more: the list and
    // its log line stay short.
    const Parsed madeUp = Parse(test::ClientHello(0xFFFF, {0x002F}, {}, false));
    ASSERT_TRUE(madeUp.ok);
    ASSERT_EQ(madeUp.state.versions.size(), 256u);
    EXPECT_EQ(madeUp.state.versions.front(), 0x03FF);
    EXPECT_EQ(madeUp.state.versions.back(), 0x0300);
}

TEST(HttpsHeaderParserTest, ServerNameIsTakenOnlyWhenItFitsItsExtension) {
    const Parsed named = Parse(test::ClientHello(0x0303, {0x002F}, {test::ServerName("a.example")}, true, 32));
    ASSERT_TRUE(named.ok);
    EXPECT_EQ(named.host, "a.example");

    test::Extension overlong = test::ServerName("a.example");
    overlong.body[4] = 40;  // name length past the extension's end
    Parsed ignored;
    ignored.host = "earlier.example";
    Bytes record = test::ClientHello(0x0303, {0x002F}, {overlong, test::SupportedVersions({0x0303})});
    ignored.available = record.size();
    ignored.ok = ParseHttpsHeader(ignored.state, record.data(), ignored.available, ignored.needMore, ignored.host,
                                  ignored.fault);
    ASSERT_TRUE(ignored.ok);
    EXPECT_EQ(ignored.host, "earlier.example");
    EXPECT_THAT(ignored.state.versions, ElementsAre(0x0303));
}

TEST(HttpsHeaderParserTest, ServerHelloVersionAndSuite) {
    const Parsed tls12 = Parse(test::ServerHello(0x0303, 0xC02F));
    ASSERT_TRUE(tls12.ok);
    EXPECT_THAT(tls12.state.versions, ElementsAre(0x0303));
    EXPECT_EQ(tls12.state.CipherSuiteCode(), 0xC02F);

    // A TLS 1.3 server names its version in the supported-versions extension.
    const Parsed tls13 = Parse(test::ServerHello(0x0303, 0x1302, {{51, Bytes(36, 7)}, test::SelectedVersion(0x0304)}));
    ASSERT_TRUE(tls13.ok);
    EXPECT_THAT(tls13.state.versions, ElementsAre(0x0304));
    EXPECT_EQ(tls13.state.CipherSuiteCode(), 0x1302);

    // Draft servers have no session id: the suite follows the random.
    Bytes draft = test::ServerHello(0x7F17, 0x1301, {}, 0);
    draft[43] = 0x13;
    draft[44] = 0x03;
    const Parsed d = Parse(draft);
    ASSERT_TRUE(d.ok);
    EXPECT_THAT(d.state.versions, ElementsAre(0x7F17));
    EXPECT_EQ(d.state.CipherSuiteCode(), 0x1303);
}

TEST(HttpsHeaderParserTest, BoundsFailuresRefuseTheRecord) {
    const Bytes hello = test::ClientHello(0x0303, {0x1301}, {test::SupportedVersions({0x0304})});
    const Parsed five = Parse(hello, 5);
    EXPECT_FALSE(five.ok);
    EXPECT_FALSE(five.needMore);

    // Session id length 33 in a ServerHello.
    Bytes longSession = test::ServerHello(0x0303, 0x002F, {}, 33);
    const Parsed session = Parse(longSession);
    EXPECT_FALSE(session.ok);
    EXPECT_EQ(session.fault, ParseFault::kSessionIdLengthIncorrect);

    // A ServerHello cut right after its session id: the suite lies past the record.
    Bytes cutServer = test::ServerHello(0x0303, 0x002F);
    cutServer.resize(44 + 32 + 1);
    cutServer[3] = 0;
    cutServer[4] = static_cast<uint8_t>(cutServer.size() - 5);
    const Parsed noSuite = Parse(cutServer);
    EXPECT_FALSE(noSuite.ok);
    EXPECT_FALSE(noSuite.needMore);

    // A client extension that claims more bytes than its record holds.
    Bytes overrun = test::ClientHello(0x0303, {0x1301}, {test::SupportedVersions({0x0304})});
    overrun[overrun.size() - 4] = 0x10;  // the extension's length
    EXPECT_FALSE(Parse(overrun).ok);

    // A server extension that overruns its record.
    Bytes serverOverrun = test::ServerHello(0x0303, 0x1301, {test::SelectedVersion(0x0304)});
    serverOverrun[serverOverrun.size() - 3] = 0x09;
    EXPECT_FALSE(Parse(serverOverrun).ok);

    // An extensions total smaller than the extension wraps the 16-bit count and walks on past the record.
    Bytes understated = test::ClientHello(0x0303, {0x1301}, {{0x0017, {}}});
    understated[understated.size() - 5] = 2;
    EXPECT_FALSE(Parse(understated).ok);
}

TEST(HttpsHeaderParserTest, AlertAndForeignRecords) {
    const Parsed alert = Parse({21, 3, 3, 0, 2, 2, 40});
    EXPECT_TRUE(alert.ok);
    EXPECT_EQ(alert.state.contentType, kContentTypeAlert);

    // Another protocol on a TLS port is refused at once, not held for a length that means nothing.
    const std::string ssh = "SSH-2.0-OpenSSH_9.6\r\n";
    const Parsed foreign = Parse(Bytes(ssh.begin(), ssh.end()));
    EXPECT_FALSE(foreign.ok);
    EXPECT_FALSE(foreign.needMore);
}

struct Ssl2Case {
    const char* name;
    Bytes record;
    bool ok;
    std::vector<uint16_t> versions;
    uint8_t major;
};

void PrintTo(const Ssl2Case& c, std::ostream* os) { *os << c.name; }

class Ssl2HelloTest : public ::testing::TestWithParam<Ssl2Case> {};

TEST_P(Ssl2HelloTest, ReadsTheOfferedVersions) {
    const Ssl2Case& c = GetParam();
    const Parsed p = Parse(c.record);
    EXPECT_EQ(p.ok, c.ok);
    EXPECT_FALSE(p.needMore);
    EXPECT_EQ(p.state.contentType, kContentTypeHandshake);
    EXPECT_THAT(p.state.versions, ElementsAreArray(c.versions));
    EXPECT_EQ(p.state.versionMajor, c.major);
}

// Two-byte header: length with bit 7 set, message type, version. Three-byte: length, padding, type, version.
INSTANTIATE_TEST_SUITE_P(
    HandBuilt, Ssl2HelloTest,
    ::testing::Values(
        Ssl2Case{"TwoByteTls10", {0x80, 0x2E, 0x01, 0x03, 0x01, 0x00, 0x15}, true, {0x0200, 0x0301, 0x0300}, 3},
        Ssl2Case{"TwoByteSsl2", {0x80, 0x2E, 0x01, 0x00, 0x02, 0x00, 0x15}, true, {0x0200}, 2},
        Ssl2Case{"TwoByteSsl3", {0x80, 0x2E, 0x01, 0x00, 0x03, 0x00, 0x15}, true, {0x0200, 0x0300}, 2},
        Ssl2Case{"ThreeByteTls10", {0x00, 0x2E, 0x00, 0x01, 0x03, 0x01, 0x00}, true, {0x0200, 0x0301, 0x0300}, 3},
        Ssl2Case{"ThreeByteSsl2", {0x00, 0x2E, 0x00, 0x01, 0x00, 0x02, 0x00}, true, {0x0200}, 2},
        Ssl2Case{"ServerHello", {0x80, 0x2E, 0x04, 0x00, 0x01, 0x00, 0x02}, true, {0x0200}, 2},
        Ssl2Case{"OtherMessage", {0x80, 0x2E, 0x07, 0x03, 0x01, 0x00, 0x15}, false, {0x0200}, 2},
        Ssl2Case{"MajorFour", {0x80, 0x2E, 0x01, 0x04, 0x00, 0x00, 0x15}, false, {0x0200}, 4}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace hbt
