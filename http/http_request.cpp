#include "http/http_request.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <string_view>

#include "platform/safe_socket.h"
#include "https_check/http_head_end.h"
#include "platform/socket_error.h"
#include "text/text_case.h"

namespace hbt {
namespace {

constexpr char kIncorrectRequest[] =
    "Client sent incorrect HTTP request. Please make sure that client uses HTTP protocol.";
constexpr char kIncompleteRequest[] =
    "Client sent incomplite incomplete HTTP request. Please make sure that client uses HTTP protocol.";
constexpr char kNoUrl[] =
    "Cannot extract URL from the HTTP request. Please make sure that client uses HTTP protocol.";
constexpr char kNoUrlHost[] =
    "Cannot find host in the HTTP request. Please make sure that client uses HTTP protocol.";
constexpr char kNoUrlPath[] =
    "Cannot find URL in the HTTP request. Please make sure that client uses HTTP protocol.";
constexpr char kNoHost[] =
    "Cannot extract Host name from the HTTP request. Please make sure that client uses HTTP protocol.";

constexpr char kHeadTimedOut[] = "no request head within the time limit";

constexpr std::array<const char*, 8> kMethodPrefixes = {"OPT", "GET", "HEA", "POS",
                                                        "PUT", "DEL", "TRA", "CON"};

void CutAtColon(std::string& host) {
    const std::size_t colon = host.find(':');
    if (colon != std::string::npos) host.resize(colon);
}

// Peeks ask for this much at a time; a head longer than this takes more rounds.
constexpr std::size_t kPeekChunk = 8192;

bool IsKnownMethodPrefix(std::string_view prefix) {
    return std::any_of(kMethodPrefixes.begin(), kMethodPrefixes.end(),
                       [&](const char* candidate) { return prefix == candidate; });
}

}  // namespace

HttpRequest::HttpRequest(std::shared_ptr<CSafeSocket> socket, bool stopAfterConnectMethod,
                         std::chrono::milliseconds idleLimit)
    : socket_(std::move(socket)), stopAfterConnectMethod_(stopAfterConnectMethod), idleLimit_(idleLimit) {}

bool HttpRequest::Fail(const char* text) {
    errorText = text;
    return false;
}

// Whatever came before, a receive that ran out of time ends the read quietly.
bool HttpRequest::FailTimedOut() {
    headTimedOut = true;
    return Fail(kHeadTimedOut);
}

bool HttpRequest::FailBeforeMethod() {
    const int error = LastSocketError();
    if (error == kWsaConnReset || error == 0) {
        emptyConnection = true;
        return Fail("empty connection");
    }
    errorText = "Reading client request failed with error " + std::to_string(error);
    return false;
}

ByteScan ScanRequestHead(std::string_view bytes, bool stopAfterConnectMethod, std::size_t seen) {
    if (bytes.size() < 3) return ByteScan::NeedMore();
    const std::string_view prefix = bytes.substr(0, 3);
    if (!IsKnownMethodPrefix(prefix)) return ByteScan::Malformed(kIncorrectRequest);
    if (stopAfterConnectMethod && prefix == "CON") return ByteScan::Complete(3);
    const std::size_t end = FindHttpHeadEnd(bytes.substr(0, kMaxRequestHeadSize), seen);
    if (end != std::string_view::npos) return ByteScan::Complete(end);
    if (bytes.size() > kMaxRequestHeadSize) return ByteScan::Malformed("Request is too large.");
    return ByteScan::NeedMore();
}

long HttpRequest::PeekWithinIdleLimit(char* buffer, std::size_t length, bool& timedOut) {
    for (;;) {
        const long peeked = PeekQueued(socket_->Handle(), buffer, length);
        if (peeked >= 0 || LastSocketError() != kWsaWouldBlock) return peeked;
        // Nothing queued yet; most clients send their head with the connect, so this is rare.
        const ReadableWait waited = WaitReadable(socket_->Handle(), static_cast<int>(idleLimit_.count()));
        if (waited == ReadableWait::kFailed) return -1;
        if (waited == ReadableWait::kTimedOut) {
            timedOut = true;
            return -1;
        }
    }
}

// Nothing after the head may leave the socket here: the relay sends it on.
// So the queued bytes are peeked at, and only those up to the head's end are
// received. Peeked bytes without the end all belong to the head, so they are
// received too, and the next peek waits for new ones.
bool HttpRequest::Read() {
    if (!socket_) return Fail("Communication socket is invalid");
    std::string head;
    for (;;) {
        if (!socket_->Usable()) return Fail(kIncompleteRequest);
        const std::size_t known = head.size();
        // One byte over the limit tells a head that is too large.
        head.resize(known + std::min(kPeekChunk, maxRequestHeadSize + 1 - known));
        bool timedOut = false;
        const long peeked = PeekWithinIdleLimit(head.data() + known, head.size() - known, timedOut);
        if (timedOut) return FailTimedOut();
        if (peeked <= 0) return known < 3 ? FailBeforeMethod() : Fail(kIncompleteRequest);
        head.resize(known + static_cast<std::size_t>(peeked));
        const ByteScan scan = ScanRequestHead(head, stopAfterConnectMethod_, known);
        if (scan.IsComplete()) head.resize(scan.length);
        if (!socket_->ReceiveExact(head.data() + known, head.size() - known)) return Fail(kIncompleteRequest);
        if (scan.IsMalformed()) return Fail(scan.fault);
        if (scan.IsComplete()) {
            isConnect = head.starts_with("CON");
            rawRequest = std::move(head);
            return true;
        }
    }
}

bool HttpRequest::Parse() {
    const std::size_t blank = rawRequest.find(' ');
    if (blank != std::string::npos && blank < 3) return Fail(kIncorrectRequest);
    const std::string lower = ToLowerAscii(rawRequest);
    proxyStyle = lower.find("\nproxy-connection: ") != std::string::npos;

    std::size_t target = blank == std::string::npos ? 0 : blank + 1;
    const bool originForm = rawRequest.compare(target, 1, "/") == 0;
    if (!originForm && lower.compare(target, 7, "http://") != 0 && lower.compare(target, 8, "https://") != 0) {
        return Fail(kNoUrl);
    }

    std::string urlHost;
    if (!originForm) {
        proxyStyle = true;
        const std::size_t scheme = rawRequest.find("://", target);
        if (scheme == std::string::npos) return Fail(kNoUrlHost);
        const std::size_t slash = rawRequest.find('/', scheme + 3);
        if (slash == std::string::npos) return Fail(kNoUrlPath);
        urlHost = rawRequest.substr(scheme + 3, slash - scheme - 3);
        target = slash;
    }

    const std::size_t pathEnd = rawRequest.find(' ', target);
    if (pathEnd != std::string::npos) requestPath = rawRequest.substr(target, pathEnd - target);

    static constexpr char kHostHeader[] = "\nHost: ";
    const std::size_t header = rawRequest.find(kHostHeader);
    if (header != std::string::npos) {
        const std::size_t valueStart = header + std::strlen(kHostHeader);
        const std::size_t valueEnd = rawRequest.find_first_of("\r\n", valueStart);
        if (valueEnd != std::string::npos) requestHost = rawRequest.substr(valueStart, valueEnd - valueStart);
    }

    if (!requestHost.empty()) {
        CutAtColon(requestHost);
    } else if (urlHost.empty()) {
        return Fail(kNoHost);
    }
    CutAtColon(urlHost);
    if (!originForm) {
        if (requestHost.empty()) {
            requestHost = urlHost;
        } else if (requestHost != urlHost) {
            errorText = "Cannot extract Host name from the HTTP request. Hosts are not equal. (" + requestHost +
                        " <> " + urlHost + ")";
            return false;
        }
    }
    return true;
}

bool HttpRequest::ParseQuery() {
    if (requestPath.empty()) return false;
    const std::size_t question = requestPath.find('?');
    if (question == std::string::npos) return true;
    pathWithoutQuery = requestPath.substr(0, question);
    std::size_t i = question + 1;
    while (i < requestPath.size()) {
        const std::size_t equals = requestPath.find('=', i);
        if (equals == std::string::npos) break;
        const std::size_t ampersand = requestPath.find('&', equals + 1);
        const std::size_t valueEnd = ampersand == std::string::npos ? requestPath.size() : ampersand;
        queryParameters[requestPath.substr(i, equals - i)] = requestPath.substr(equals + 1, valueEnd - equals - 1);
        if (ampersand == std::string::npos) break;
        i = ampersand + 1;
    }
    return true;
}

}  // namespace hbt
