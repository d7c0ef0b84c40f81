// The control endpoint on 127.0.0.1: the block page's "Add to the exclusion
// list" links land here.
#include <chrono>
#include <ctime>

#include "core/accept_loop.h"
#include "core/hbt_core.h"
#include "platform/safe_socket.h"
#include "http/exclusion_link_token.h"
#include "http/http_request.h"
#include "http/page_parts.h"
#include "log/log.h"
#include "text/text_conversion.h"

namespace hbt {

namespace {

constexpr std::chrono::milliseconds kControlReceiveTimeout{500};
constexpr auto kAcceptFailurePause = std::chrono::milliseconds(100);
constexpr char kPageHeaders[] = "Pragma: no-cache\r\nCache-Control: no-cache\r\nConnection: close\r\n\r\n<HTML><BODY>";

}  // namespace

std::string BuildControlResultPage(const std::string& host, bool covered, const std::wstring& message,
                                   const std::string& originalUrl, std::time_t now) {
    const std::string shownHost = HtmlEscape(host);
    const std::string shownUrl = HtmlEscape(originalUrl);
    std::string page = std::string("HTTP/1.1 200 OK\r\n") + kPageHeaders;
    page += PageDocumentPrologue();
    page += "<title>Harbinet - add rule for " + shownHost + "</title>\r\n";
    page += PageStyleBlock();
    page += "</head>\r\n<body>\r\n<h2>";
    page += covered ? "Hostname " + shownHost + " added to the exclusion list."
                    : "Could not add " + shownHost + " to the exclusion list: " + HtmlEscape(WideToUtf8(message));
    page += "</h2>\r\n";
    page += pageSeparator;
    page += "<p>You can now continue working with the original URL: <a href=\"http://" + shownUrl + "\">http://" +
            shownUrl + "</a></p>\r\n";
    page += pageSeparator;
    page += "\r\n";
    page += PageFooter(now);
    page += "</body></html>\r\n";
    return page;
}

std::string BuildControlBadRequestPage(std::time_t now) {
    std::string page = std::string("HTTP/1.1 400 Bad Request\r\n") + kPageHeaders;
    page += PageDocumentPrologue();
    page += "<title>Harbinet - Bad Request</title>\r\n</head>\r\n<body>\r\n<h2>Bad Request</h2>\r\n"
            "<p>The request is incorrect</p>\r\n\r\n";
    page += PageFooter(now);
    page += "</body></html>\r\n";
    return page;
}

void CHbtCore::AcceptControlConnections() {
    const std::shared_ptr<CSafeSocket> listener = ControlListener();
    if (!listener) return;
    RunAcceptLoop(*listener, running, {"\"config accept\" failed", kAcceptFailurePause},
                  [this](std::shared_ptr<CSafeSocket> socket) { ProcessControlConnection(std::move(socket)); });
}

void CHbtCore::ProcessControlConnection(std::shared_ptr<CSafeSocket> socket) {
    auto sendBadRequest = [&] {
        const std::string page = BuildControlBadRequestPage(std::time(nullptr));
        socket->SendAll(page.data(), page.size());
        socket->Close();
    };
    HttpRequest request(socket, true, kControlReceiveTimeout);
    if (!request.Read()) return sendBadRequest();
    if (!request.Parse()) {
        CLog(kLogError) << "Could not process config connection: (2) " << request.errorText;
        return sendBadRequest();
    }
    if (!request.ParseQuery()) {
        CLog(kLogError) << "Could not process config connection: (3) " << request.errorText;
        return sendBadRequest();
    }
    const auto host = request.queryParameters.find("host");
    const auto token = request.queryParameters.find("token");
    // Any page the user visits could aim the browser at this endpoint; only
    // links of our own block pages carry this run's token.
    if (host == request.queryParameters.end() || token == request.queryParameters.end() ||
        !IsExclusionLinkToken(token->second)) {
        return sendBadRequest();
    }
    std::wstring message;
    const bool covered = AddHostToExclusions(host->second, message);
    const auto origUrl = request.queryParameters.find("orig_url");
    const std::string originalUrl = origUrl == request.queryParameters.end() ? "" : Base64UrlDecode(origUrl->second);
    const std::string page = BuildControlResultPage(host->second, covered, message, originalUrl, std::time(nullptr));
    if (!socket->SendAll(page.data(), page.size())) {
        CLog(kLogError) << "Could not process config connection: (9) " << "Could not send response to client";
    }
    socket->Close();
}

bool CHbtCore::AddHostToExclusions(const std::string& host, std::wstring& message) {
    std::lock_guard edit(preferencesEditLock_);
    Preferences copy = *PreferencesSnapshot();
    if (copy.IsHostExcluded(host)) return true;
    const bool added = copy.SetExcludedHosts(Utf8ToWide(host) + L"\n" + copy.excludeHostsText, message);
    ApplyPreferences(copy, kApplyAndSave);
    if (userInterface_) userInterface_->RefreshTrayAndDialog();
    return added;
}

}  // namespace hbt
