#pragma once
// CHttpTraffic handles one plain-HTTP connection that the engine took away
// from an application and handed to the proxy: it reads the request head and
// then passes the connection on, redirects it, or answers it with a page.
//
// The work is split across files: this class's frame (Process, the page
// sending) in http_traffic.cpp, the upstream connection and relay in
// http_forward.cpp, and the decision between them in http_traffic_decision.cpp.
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include "http/connection_description.h"
#include "http/http_counters.h"
#include "http/response_page.h"
#include "log/log_record.h"
#include "http/preferences_getter.h"

namespace hbt {

class CHttpsChecker;
class CIpExcluder;
struct HstsPromise;
class CSafeSocket;
class HttpRequest;

// What the decision hands to ForwardToTarget besides the connection; the three
// texts make the log line after the destination address.
struct ForwardRequest {
    std::string requestHead;
    std::string logText;
    std::string host;    // shown as a host link; may be empty
    std::string reason;  // may be empty
};

// A host name in a log line, as a link the log window can act on.
inline LogUrl HostLogUrl(const std::string& host) {
    LogUrl url;
    url.scheme = "hbturl";
    url.text = host;
    return url;
}

// How Process ended.
enum class ProcessResult {
    kHandled,          // answered, or forwarded to its end
    kEmptyConnection,  // the client closed or reset before sending anything
    kHeadTimedOut,     // the client stayed silent longer than the head's idle limit
    kFailed,           // errorText says why
};

class CHttpTraffic {
public:
    // Everything Process is given for one connection.
    struct ProcessContext {
        const ConnectionDescription& connection;
        CPreferencesGetter* preferencesGetter = nullptr;
        bool limitHit = false;
        uint16_t controlPort = 0;  // host byte order
        HttpCounters* counters = nullptr;
    };

    CHttpTraffic(std::shared_ptr<CSafeSocket> clientSocket, CIpExcluder* excluder);
    CHttpTraffic(const CHttpTraffic&) = delete;
    CHttpTraffic& operator=(const CHttpTraffic&) = delete;

    // errorText is set unless the result is handled. Never throws.
    ProcessResult Process(const ConnectionDescription& connection, CPreferencesGetter* preferencesGetter,
                          bool limitHit, uint16_t controlPort, HttpCounters* counters);

    // Writes the log line and sends the redirect, block or loop page.
    bool BuildResponse(const ResponseInputs& inputs, const ConnectionDescription& connection);
    // Connects to the destination, sends the head and relays until one side closes.
    bool ForwardToTarget(const ConnectionDescription& connection, const ForwardRequest& request);

    // The checker asked about HTTPS availability; the process-wide one unless set.
    void SetHttpsChecker(CHttpsChecker* checker) { httpsChecker_ = checker; }
    // How long the client may stay silent while the head is read (HttpRequest::kHeadIdleLimit unless set).
    void SetHeadIdleLimit(std::chrono::milliseconds limit) { headIdleLimit_ = limit; }

    std::string errorText;

private:
    // Chooses what happens to a request whose head has been read (http_traffic_decision.cpp).
    bool Decide(HttpRequest& request, const ProcessContext& context);
    // The 307 a kept HTTPS promise makes without a check.
    bool RedirectAsPromised(const HstsPromise& promise, ResponseInputs& response, const Preferences& preferences,
                            const ConnectionDescription& connection);

    std::shared_ptr<CSafeSocket> clientSocket_;
    CIpExcluder* excluder_;
    CHttpsChecker* httpsChecker_ = nullptr;
    std::chrono::milliseconds headIdleLimit_;
};

}  // namespace hbt
