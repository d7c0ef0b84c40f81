// Parse and ParseQuery work on the head as read; no socket is needed.
#include <gtest/gtest.h>

#include "http/http_request.h"

namespace hbt {
namespace {

constexpr char kNoHost[] =
    "Cannot extract Host name from the HTTP request. Please make sure that client uses HTTP protocol.";
constexpr char kNoUrl[] =
    "Cannot extract URL from the HTTP request. Please make sure that client uses HTTP protocol.";

HttpRequest Parsed(const std::string& head, bool& ok) {
    HttpRequest request(nullptr, false);
    request.rawRequest = head;
    ok = request.Parse();
    return request;
}

struct ParseCase {
    const char* name;
    const char* head;
    const char* path;
    const char* host;
    bool proxyStyle;
};

class HttpRequestParse : public ::testing::TestWithParam<ParseCase> {};

TEST_P(HttpRequestParse, TakesPathHostAndStyle) {
    const ParseCase& c = GetParam();
    bool ok = false;
    const HttpRequest request = Parsed(c.head, ok);
    ASSERT_TRUE(ok) << request.errorText;
    EXPECT_EQ(request.requestPath, c.path);
    EXPECT_EQ(request.requestHost, c.host);
    EXPECT_EQ(request.proxyStyle, c.proxyStyle);
}

INSTANTIATE_TEST_SUITE_P(
    Heads, HttpRequestParse,
    ::testing::Values(
        ParseCase{"OriginFormPortCut", "GET / HTTP/1.1\r\nHost: example.com:8080\r\n\r\n", "/", "example.com", false},
        ParseCase{"AbsoluteWithProxyHeader",
                  "GET http://example.com/a?b HTTP/1.1\r\nHost: example.com\r\nProxy-Connection: keep-alive\r\n\r\n",
                  "/a?b", "example.com", true},
        ParseCase{"AbsoluteWithoutHostHeader", "GET HTTPS://a.example:81/x HTTP/1.1\r\n\r\n", "/x", "a.example", true},
        ParseCase{"ProxyHeaderAnyCaseOriginForm", "GET /p HTTP/1.1\r\nHost: h\r\nPROXY-CONNECTION: close\r\n\r\n",
                  "/p", "h", true},
        // No blank after the target: the path stays empty, the host comes from the URL.
        ParseCase{"NoBlankAfterTarget", "GET http://a.example/\r\n\r\n", "", "a.example", true}),
    [](const auto& info) { return std::string(info.param.name); });

struct FailCase {
    const char* name;
    const char* head;
    const char* error;
};

class HttpRequestParseFailure : public ::testing::TestWithParam<FailCase> {};

TEST_P(HttpRequestParseFailure, SaysWhy) {
    bool ok = true;
    const HttpRequest request = Parsed(GetParam().head, ok);
    EXPECT_FALSE(ok);
    EXPECT_EQ(request.errorText, GetParam().error);
}

INSTANTIATE_TEST_SUITE_P(
    Heads, HttpRequestParseFailure,
    ::testing::Values(
        FailCase{"HostsDiffer", "GET http://a.example/ HTTP/1.1\r\nHost: b.example\r\n\r\n",
                 "Cannot extract Host name from the HTTP request. Hosts are not equal. (b.example <> a.example)"},
        FailCase{"HostsDifferInCase", "GET http://a.example/ HTTP/1.1\r\nHost: A.example\r\n\r\n",
                 "Cannot extract Host name from the HTTP request. Hosts are not equal. (A.example <> a.example)"},
        FailCase{"LowerCaseHostHeaderNotSeen", "GET / HTTP/1.1\r\nhost: a.example\r\n\r\n", kNoHost},
        FailCase{"ConnectTarget", "CONNECT a.example:443 HTTP/1.1\r\nHost: a.example:443\r\n\r\n", kNoUrl},
        FailCase{"NoBlankAtAll", "GET\r\n\r\n", kNoUrl},
        FailCase{"BlankTooEarly", "GE / HTTP/1.1\r\n\r\n",
                 "Client sent incorrect HTTP request. Please make sure that client uses HTTP protocol."},
        FailCase{"NoSchemeSeparator", "GET http:/a HTTP/1.1\r\n\r\n", kNoUrl},
        FailCase{"NoPathAfterUrlHost", "GET http://a.example\r\n\r\n",
                 "Cannot find URL in the HTTP request. Please make sure that client uses HTTP protocol."}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(HttpRequestParseQuery, SplitsParametersLaterNameWins) {
    HttpRequest request(nullptr, true);
    request.requestPath = "/add_rule?host=a.example&orig_url=x&host=b.example&flag&v=%41+b";
    ASSERT_TRUE(request.ParseQuery());
    EXPECT_EQ(request.pathWithoutQuery, "/add_rule");
    const std::map<std::string, std::string> expected = {
        {"host", "b.example"}, {"orig_url", "x"}, {"flag&v", "%41+b"}};
    EXPECT_EQ(request.queryParameters, expected);
}

TEST(HttpRequestParseQuery, EmptyPathFailsAndNoQueryLeavesOutputsEmpty) {
    HttpRequest empty(nullptr, true);
    EXPECT_FALSE(empty.ParseQuery());
    EXPECT_TRUE(empty.errorText.empty());

    HttpRequest plain(nullptr, true);
    plain.requestPath = "/add_rule";
    EXPECT_TRUE(plain.ParseQuery());
    EXPECT_TRUE(plain.pathWithoutQuery.empty());
    EXPECT_TRUE(plain.queryParameters.empty());
}

}  // namespace
}  // namespace hbt
