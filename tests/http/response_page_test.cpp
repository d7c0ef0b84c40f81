// The redirect, block and loop pages, byte for byte.
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>

#include "http/exclusion_link_token.h"
#include "http/page_parts.h"
#include "http/response_page.h"
#include "platform/socket_address.h"

namespace hbt {
namespace {

// 2024-03-05 06:07:08 UTC.
constexpr std::time_t kNow = 1709618828;

const std::string kFooter =
    "<p>Tue Mar  5 06:07:08 2024<br />\r\n<a href=\"https://corvant.example\">Harbinet v1.54 </a></p>\r\n"
    "</body></html>\r\n";

// Everything from the document type to the requested URL, for host h.example and path /p.
const std::string kHead =
    "<!DOCTYPE html PUBLIC \"-//W3C//DTD XHTML 1.0 Transitional//EN\" "
    "\"http://www.w3.org/TR/xhtml1/DTD/xhtml1-transitional.dtd\">\r\n"
    "<html xmlns=\"http://www.w3.org/1999/xhtml\">\r\n"
    "<head>\r\n"
    "<meta http-equiv=\"Content-Type\" content=\"text/html; charset=utf-8\" />\r\n"
    "<title>h.example blocked by Harbinet</title>\r\n"
    "<style type=\"text/css\">\r\n"
    ".hr_table {\r\n"
    "\tbackground: -moz-linear-gradient(left, rgba(170,170,170,0) 0%, rgba(170,170,170,1) 20%, "
    "rgba(170,170,170,1) 80%, rgba(170,170,170,0) 100%); /* FF3.6+ */\r\n"
    "\tbackground: -webkit-gradient(linear, left top, right top, color-stop(0%,rgba(170,170,170,0)), "
    "color-stop(20%,rgba(170,170,170,1)), color-stop(80%,rgba(170,170,170,1)), "
    "color-stop(100%,rgba(170,170,170,0))); /* Chrome,Safari4+ */\r\n"
    "\tbackground: -webkit-linear-gradient(left, rgba(170,170,170,0) 0%, rgba(170,170,170,1) 20%, "
    "rgba(170,170,170,1) 80%, rgba(170,170,170,0) 100%); /* Chrome10+,Safari5.1+ */\r\n"
    "\tbackground: -o-linear-gradient(left, rgba(170,170,170,0) 0%, rgba(170,170,170,1) 20%, "
    "rgba(170,170,170,1) 80%, rgba(170,170,170,0) 100%); /* Opera 11.10+ */\r\n"
    "\tbackground: -ms-linear-gradient(left, rgba(170,170,170,0) 0%, rgba(170,170,170,1) 20%, "
    "rgba(170,170,170,1) 80%, rgba(170,170,170,0) 100%); /* IE10+ */\r\n"
    "\tbackground: linear-gradient(to right, rgba(170,170,170,0) 0%, rgba(170,170,170,1) 20%, "
    "rgba(170,170,170,1) 80%, rgba(170,170,170,0) 100%); /* W3C */\r\n"
    "}\r\n"
    ".spoiler {\r\n\tborder-bottom: 1px dashed;\r\n\tcolor: gray;\r\n\tcursor: pointer;\r\n}\r\n"
    ".spoiler:hover {\r\n\tcolor: black;\r\n}\r\n"
    ".spoiler_content {\r\n\tdisplay: none;\r\n}\r\n"
    "</style>\r\n"
    "<noscript><style type=\"text/css\">.spoiler_content { display: block; } .spoiler { display: none; }"
    "</style></noscript>\r\n"
    "</head>\r\n<body>\r\n<h2>Non-secure HTTP Connection Blocked by  Harbinet</h2>\r\n"
    "<p><strong>Requested URL:</strong> <a href=\"http://h.example/p\">http://h.example/p</a></p>\r\n";

const std::string kSeparator =
    "<table border=\"0\"><tr><td height=\"10\"></td></tr><tr><td width=\"50\"></td><td height=\"2\" "
    "width=\"500\" class=\"hr_table\"></td></tr><tr><td height=\"10\"></td></tr></table>\r\n";

// "aC5leGFtcGxlL3A" is base64url of "h.example/p".
const std::string kLinks =
    "<p><strong>Add to the exclusion list:</strong></br>"
    "<a href=\"http://127.0.0.1:50000/add_rule?host=h.example&orig_url=aC5leGFtcGxlL3A&token=" +
    ExclusionLinkToken() + "\">h.example</a></br>\r\n"
    "<a href=\"http://127.0.0.1:50000/add_rule?host=*.h.example&orig_url=aC5leGFtcGxlL3A&token=" +
    ExclusionLinkToken() + "\">*.h.example</a>"
    "</br>\r\n</p>";

const std::string kTableStart = "<table border=\"0\" cellpadding=\"10\" cellspacing=\"1\">\r\n\t<tr>\r\n";
const std::string kTableEnd = "\t</tr>\r\n</table>\r\n";
const std::string kHeaders = "Pragma: no-cache\r\nCache-Control: no-cache\r\n\r\n<HTML><BODY>";

class ResponsePage : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        setenv("TZ", "UTC", 1);
        tzset();
    }
    const ConnectionDescription connection_ =
        DescribeConnection(*ParseIpAddress("192.0.2.1", 8080), 0, L"/usr/bin/browser");
    ResponseInputs Inputs() {
        ResponseInputs in;
        in.path = "/p";
        in.host = "h.example";
        in.redirectHost = "h.example";
        in.controlPort = 50000;
        return in;
    }
};

TEST_F(ResponsePage, SeparatorIs166Characters) { EXPECT_EQ(pageSeparator.size(), 166u); }

TEST_F(ResponsePage, RedirectCarriesLocationWithoutPortAndTheWholePage) {
    ResponseInputs in = Inputs();
    in.redirect = true;
    in.available = true;
    in.autoRedirect = true;
    const std::string expected =
        "HTTP/1.1 307 Temporary Redirect\r\nLocation: https://h.example/p\r\n" + kHeaders + kHead + kSeparator +
        kTableStart +
        "\t\t<td style=\"color: green; font-size: 300%; text-align: left; vertical-align: top;\">&#x2713;</td>\r\n"
        "\t\t<td >Use secure alternative: <a href=\"https://h.example/p\">https://h.example/p</a></td>\r\n" +
        kTableEnd + kSeparator + kLinks + kFooter;
    EXPECT_EQ(BuildResponseText(in, connection_, kNow), expected);
}

TEST_F(ResponsePage, GreenBlockPageWithWwwAlternativeAndRedirectHint) {
    ResponseInputs in = Inputs();
    in.available = true;
    in.redirectHost = "www.h.example";
    const std::string expected =
        "HTTP/1.1 403 Forbidden\r\n" + kHeaders + kHead + kSeparator + kTableStart +
        "\t\t<td style=\"color: green; font-size: 300%; text-align: left; vertical-align: top;\">&#x2713;</td>\r\n"
        "\t\t<td >Use secure alternative: <a href=\"https://www.h.example/p\">https://www.h.example/p</a></td>\r\n" +
        kTableEnd + kSeparator + kLinks +
        "<p>Hint: You can enable automatic redirects in Harbinet preferences.</p>\r\n" + kFooter;
    EXPECT_EQ(BuildResponseText(in, connection_, kNow), expected);
}

TEST_F(ResponsePage, RedBlockPageListsMessagesUnderMoreInfo) {
    ResponseInputs in = Inputs();
    in.autoRedirect = true;  // the Best-Efforts hint shows whatever autoRedirect is
    in.messages = {{true, true, "h.example - checking HTTPS availability"}, {true, false, "Connect failed"}};
    const std::string expected =
        "HTTP/1.1 403 Forbidden\r\n" + kHeaders + kHead + kSeparator + kTableStart +
        "\t\t<td style=\"color: red; font-size: 300%; text-align: left; vertical-align: top;\">&#x2717;</td>\r\n"
        "\t\t<td >Secure alternative: <a href=\"https://h.example/p\">https://h.example/p</a><br />HTTPS is not "
        "available for <a href=\"https://h.example\">https://h.example</a><br />\r\n"
        "<a id=\"show_more_info_id\" onclick=\"document.getElementById('more_info_id').style.display='block'; "
        "document.getElementById('show_more_info_id').style.display='none';\" class=\"spoiler\">More info</a>"
        "<span id=\"more_info_id\" class=\"spoiler_content\">"
        "<br /><table border=\"0\" cellpadding=\"0\" cellspacing=\"1\">\r\n"
        "\t<tr><td>h.example - checking HTTPS availability</td></tr>\t<tr><td>Connect failed</td></tr>"
        "</table></span>\r\n</td>\r\n" +
        kTableEnd + kSeparator + kLinks +
        "<p>Hint: You can switch Harbinet to Best-Efforts Mode to avoid such notifications.</p>\r\n" + kFooter;
    EXPECT_EQ(BuildResponseText(in, connection_, kNow), expected);
}

TEST_F(ResponsePage, LoopPageNamesApplicationAndDestination) {
    ResponseInputs in = Inputs();
    in.loop = true;
    const std::string expected =
        "HTTP/1.1 403 Forbidden\r\n" + kHeaders + kHead + kSeparator + kTableStart +
        "\t\t<td style=\"color: red; font-size: 300%; text-align: left; vertical-align: top;\">&#x2717;</td>\r\n"
        "\t\t<td ><span style=\"color: red; font-size: 200%;\">Infinite loop connection detected!</span>\r\n"
        "\t\t<br>Application <strong>browser</strong> has likely caused an infinite loop connection to "
        "<strong>192.0.2.1:8080 (h.example)</strong>. Please remove <strong>h.example</strong> from the Exclusion "
        "List or disable third-party software that is causing the loop connection.</td>\r\n" +
        kTableEnd + kSeparator + kLinks +
        "<p>Hint: You can switch Harbinet to Best-Efforts Mode to avoid such notifications.</p>\r\n" + kFooter;
    EXPECT_EQ(BuildResponseText(in, connection_, kNow), expected);
}

TEST_F(ResponsePage, EmptyPathGivesBareLocation) {
    ResponseInputs in = Inputs();
    in.redirect = true;
    in.available = true;
    in.path.clear();
    EXPECT_EQ(BuildResponseText(in, connection_, kNow)
                  .rfind("HTTP/1.1 307 Temporary Redirect\r\nLocation: https://h.example\r\nPragma: no-cache\r\n", 0),
              0u);
}

TEST_F(ResponsePage, SpecialCharactersAreEscapedAndLineEndsCannotAddHeaders) {
    ResponseInputs in = Inputs();
    in.redirect = true;
    in.available = true;
    in.path = "/<script>\"x\"&'\r\nSet-Cookie: a=b";
    const std::string page = BuildResponseText(in, connection_, kNow);
    EXPECT_NE(page.find("Location: https://h.example/<script>\"x\"&'%0D%0ASet-Cookie: a=b\r\n"), std::string::npos);
    const std::string headers = page.substr(0, page.find("\r\n\r\n"));
    EXPECT_EQ(headers.find("\r\nSet-Cookie"), std::string::npos);
    // Unescaped only inside the Location header.
    EXPECT_EQ(page.find("<script>"), page.find("Location: https://h.example/") + 28);
    EXPECT_EQ(page.find("<script>", page.find("<script>") + 1), std::string::npos);
    EXPECT_NE(page.find("http://h.example/&lt;script&gt;&quot;x&quot;&amp;&#39;"), std::string::npos);
}

// Shown names of the exclusion links, in order.
std::vector<std::string> ShownNames(const std::string& host) {
    const std::string links = ExclusionLinks(host, "/", 50000);
    std::vector<std::string> names;
    for (std::size_t end = links.find("</a>"); end != std::string::npos; end = links.find("</a>", end + 1)) {
        const std::size_t start = links.rfind('>', end) + 1;
        names.push_back(links.substr(start, end - start));
    }
    return names;
}

TEST(ExclusionLinks, OneLinkPerCoveringPattern) {
    using Names = std::vector<std::string>;
    EXPECT_EQ(ShownNames("a.b.example.org"),
              (Names{"a.b.example.org", "*.a.b.example.org", "*.b.example.org", "*.example.org"}));
    EXPECT_EQ(ShownNames("www.example.org"), (Names{"www.example.org", "*.example.org"}));
    EXPECT_EQ(ShownNames("wwwx.example.org"), (Names{"wwwx.example.org", "*.example.org"}));
    EXPECT_EQ(ShownNames("192.0.2.7"), (Names{"192.0.2.7"}));
    EXPECT_EQ(ShownNames("localhost"), (Names{"localhost", "*.localhost"}));
    EXPECT_EQ(ShownNames("a.b."), (Names{"a.b.", "*.a.b.", "*.b."}));
}

TEST(Base64Url, NoPaddingAndUrlAlphabet) {
    EXPECT_EQ(Base64UrlEncode(""), "");
    EXPECT_EQ(Base64UrlEncode("f"), "Zg");
    EXPECT_EQ(Base64UrlEncode("fo"), "Zm8");
    EXPECT_EQ(Base64UrlEncode("foo"), "Zm9v");
    EXPECT_EQ(Base64UrlEncode("\xfb\xff\xbf"), "-_-_");
}

}  // namespace
}  // namespace hbt
