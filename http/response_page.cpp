#include "http/response_page.h"

#include "http/exclusion_link_token.h"
#include "http/page_parts.h"
#include "platform/socket_address.h"
#include "text/application_name.h"
#include "text/text_conversion.h"

namespace hbt {
namespace {

constexpr char kRedCross[] =
    "\t\t<td style=\"color: red; font-size: 300%; text-align: left; vertical-align: top;\">&#x2717;</td>\r\n";
constexpr char kGreenCheck[] =
    "\t\t<td style=\"color: green; font-size: 300%; text-align: left; vertical-align: top;\">&#x2713;</td>\r\n";
constexpr char kMoreInfoSwitch[] =
    "<a id=\"show_more_info_id\" onclick=\"document.getElementById('more_info_id').style.display='block'; "
    "document.getElementById('show_more_info_id').style.display='none';\" class=\"spoiler\">More info</a>"
    "<span id=\"more_info_id\" class=\"spoiler_content\">";

std::string Link(const std::string& target) {
    return "<a href=\"" + target + "\">" + target + "</a>";
}

bool IsIpv4Text(const std::string& host) {
    const auto address = ParseIpAddress(host, 0);
    return address && address->IsIpv4();
}

// A path may run across line ends when its request line has no blank after
// the target; encode them so that it cannot add header lines of its own.
std::string HeaderSafe(const std::string& text) {
    std::string safe;
    for (const char c : text) {
        if (c == '\r') {
            safe += "%0D";
        } else if (c == '\n') {
            safe += "%0A";
        } else {
            safe += c;
        }
    }
    return safe;
}

std::string StatusAndHeaders(const ResponseInputs& in) {
    std::string head = in.redirect ? "HTTP/1.1 307 Temporary Redirect\r\nLocation: https://" +
                                         HeaderSafe(in.redirectHost + in.path) + "\r\n"
                                   : "HTTP/1.1 403 Forbidden\r\n";
    return head + "Pragma: no-cache\r\nCache-Control: no-cache\r\n\r\n<HTML><BODY>";
}

std::string PageHead(const std::string& host, const std::string& path) {
    std::string head(PageDocumentPrologue());
    head += "<title>" + host + " blocked by Harbinet</title>\r\n";
    head += PageStyleBlock();
    head += "</head>\r\n<body>\r\n<h2>Non-secure HTTP Connection Blocked by  Harbinet</h2>\r\n";
    head += "<p><strong>Requested URL:</strong> " + Link("http://" + host + path) + "</p>\r\n";
    return head;
}

std::string LoopCell(const ConnectionDescription& connection, const std::string& host) {
    const std::string address = SocketAddressText(connection.destination);
    return std::string(kRedCross) +
           "\t\t<td ><span style=\"color: red; font-size: 200%;\">Infinite loop connection detected!</span>\r\n"
           "\t\t<br>Application <strong>" + HtmlEscape(WideToUtf8(ApplicationFileName(connection.applicationPath))) +
           "</strong> has likely caused an infinite loop connection to <strong>" + address + " (" + host +
           ")</strong>. Please remove <strong>" + host +
           "</strong> from the Exclusion List or disable third-party software that is causing the loop "
           "connection.</td>\r\n";
}

// The switch and the hidden rows of the messages.
std::string MoreInfo(const std::vector<CheckMessage>& messages) {
    std::string info = kMoreInfoSwitch;
    info += "<br /><table border=\"0\" cellpadding=\"0\" cellspacing=\"1\">\r\n";
    for (const CheckMessage& message : messages) info += "\t<tr><td>" + HtmlEscape(message.text) + "</td></tr>";
    return info + "</table></span>\r\n";
}

std::string UnavailableCell(const ResponseInputs& in, const std::string& host, const std::string& secureLink) {
    return std::string(kRedCross) + "\t\t<td >Secure alternative: " + secureLink + "<br />HTTPS is not available for " +
           Link("https://" + host) + "<br />\r\n" + MoreInfo(in.messages) + "</td>\r\n";
}

std::string AvailableCell(const ResponseInputs& in, const std::string& secureLink) {
    std::string cell = std::string(kGreenCheck) + "\t\t<td >Use secure alternative: " + secureLink;
    if (in.decidedBy.empty()) return cell + "</td>\r\n";
    return cell + "<br />\r\n" + MoreInfo(in.messages) + "</td>\r\n";
}

std::string MiddleCell(const ResponseInputs& in, const ConnectionDescription& connection) {
    const std::string host = HtmlEscape(in.host);
    const std::string secureLink = Link("https://" + HtmlEscape(in.redirectHost) + HtmlEscape(in.path));
    if (in.loop) return LoopCell(connection, host);
    if (in.available) return AvailableCell(in, secureLink);
    return UnavailableCell(in, host, secureLink);
}

std::string Hint(const ResponseInputs& in) {
    if (!in.available) return "<p>Hint: You can switch Harbinet to Best-Efforts Mode to avoid such notifications.</p>\r\n";
    if (!in.autoRedirect) return "<p>Hint: You can enable automatic redirects in Harbinet preferences.</p>\r\n";
    return "";
}

}  // namespace

std::string ExclusionLinks(const std::string& host, const std::string& path, uint16_t controlPort) {
    const std::string prefix = "<a href=\"http://127.0.0.1:" + std::to_string(controlPort) + "/add_rule?host=";
    const std::string origUrl = "&orig_url=" + Base64UrlEncode(host + path) + "&token=" + ExclusionLinkToken();
    auto link = [&](const std::string& pattern) {
        const std::string shown = HtmlEscape(pattern);
        return prefix + shown + origUrl + "\">" + shown + "</a></br>\r\n";
    };
    std::string links = "<p><strong>Add to the exclusion list:</strong></br>" + link(host);
    if (!IsIpv4Text(host)) {
        if (host.compare(0, 3, "www") != 0) links += link("*." + host);
        for (std::size_t dot = host.find('.'); dot != std::string::npos; dot = host.find('.', dot + 1)) {
            const std::string suffix = host.substr(dot + 1);
            if (!suffix.empty() && suffix.find('.') != std::string::npos) links += link("*." + suffix);
        }
    }
    return links + "</p>";
}

std::string BuildResponseText(const ResponseInputs& in, const ConnectionDescription& connection, std::time_t now) {
    std::string response = StatusAndHeaders(in);
    response += PageHead(HtmlEscape(in.host), HtmlEscape(in.path));
    response += pageSeparator;
    response += "<table border=\"0\" cellpadding=\"10\" cellspacing=\"1\">\r\n\t<tr>\r\n";
    response += MiddleCell(in, connection);
    response += "\t</tr>\r\n</table>\r\n";
    response += pageSeparator;
    response += ExclusionLinks(in.host, in.path, in.controlPort);
    response += Hint(in);
    response += PageFooter(now);
    response += "</body></html>\r\n";
    return response;
}

}  // namespace hbt
