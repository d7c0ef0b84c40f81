// What happens to a request once its head has been read: tunnels and rule
// bypasses pass through, flagged connections get the loop page, a host that
// holds an HTTPS promise is redirected at once, and every other request is
// redirected to https://, answered with the block page, or (Best-Effort Mode,
// no usable HTTPS) passed through, after asking the HTTPS availability
// checker where the preferences say so.
#include <algorithm>

#include "hsts/hsts_host.h"
#include "http/http_request.h"
#include "http/http_traffic.h"
#include "https_check/https_checker.h"
#include "rules/preferences.h"

namespace hbt {
namespace {

// The bypass reason of a request the rules let through; empty when none applies.
std::string RuleBypassReason(const Preferences& preferences, const HttpRequest& request) {
    if (preferences.IsHostExcluded(request.requestHost)) return " (exclusion list)";
    if (!preferences.excludeCertReq) return "";
    if (request.rawRequest.find("User-Agent: Microsoft-CryptoAPI") != std::string::npos) {
        return " (MS OCSP - Certificate Status Request)";
    }
    if (request.rawRequest.find("Content-Type: application/ocsp-request") != std::string::npos) {
        return " (CT OCSP - Certificate Status Request)";
    }
    return "";
}

// A learned promise this close to its end is refreshed by a check in the background.
constexpr int64_t kPromiseRefreshSeconds = 86400;

// The log line's closing note.
std::string PromiseNote(const HstsPromise& promise) {
    if (promise.preloaded) return "preloaded HTTPS host";
    return "HTTPS promised by the site until " + PromiseExpiryText(promise.expiry);
}

// The promise as "More info" names it.
std::string PromiseMessage(const HstsPromise& promise) {
    if (promise.preloaded) {
        return promise.host + " is a preloaded HTTPS host" + (promise.includeSubDomains ? ", with its subdomains" : "");
    }
    return promise.host + " promised HTTPS until " + PromiseExpiryText(promise.expiry) +
           (promise.includeSubDomains ? ", for its subdomains too" : "");
}

// Checks the name holding the promise again, so that a site that still makes
// it keeps it: the host itself at the destination, a parent domain by name.
void RefreshEndingPromise(CHttpsChecker& checker, const HstsPromise& promise, const HttpRequest& request,
                          const ConnectionDescription& connection, const Preferences& preferences) {
    if (promise.preloaded || promise.expiry - checker.PromiseClock() >= kPromiseRefreshSeconds) return;
    const bool itself = HstsHostKey(request.requestHost) == promise.host;
    const std::string& host = itself ? request.requestHost : promise.host;
    checker.CheckInBackground(host, host, connection.destination, connection.applicationPath, connection.processId,
                              request.proxyStyle, preferences, !itself && !request.proxyStyle);
}

// A host with exactly one dot gets a second chance as "www." + host.
bool WantsWwwRetry(const std::string& host) {
    return !host.empty() && std::count(host.begin(), host.end(), '.') == 1;
}

}  // namespace

bool CHttpTraffic::Decide(HttpRequest& request, const ProcessContext& context) {
    const ConnectionDescription& connection = context.connection;
    HttpCounters& counters = *context.counters;
    if (request.isConnect && !context.limitHit) {
        ++counters.httpsProxyConnections;
        return ForwardToTarget(connection, {request.rawRequest, " allowed (HTTPS proxy connection)", "", ""});
    }
    if (!request.Parse()) {
        errorText = request.errorText;
        return false;
    }
    ResponseInputs response;
    response.path = request.requestPath;
    response.host = request.requestHost;
    response.redirectHost = request.requestHost;
    response.controlPort = context.controlPort;
    if (context.limitHit) {
        ++counters.httpLoopReports;
        response.loop = true;
        return BuildResponse(response, connection);
    }

    const std::shared_ptr<const Preferences> snapshot = context.preferencesGetter->GetPreferences();
    const Preferences& preferences = *snapshot;
    const std::string bypassReason = RuleBypassReason(preferences, request);
    if (!bypassReason.empty()) {
        ++counters.httpBypassedByRule;
        return ForwardToTarget(connection, {request.rawRequest, " bypassed for ", request.requestHost, bypassReason});
    }

    CHttpsChecker& checker = httpsChecker_ != nullptr ? *httpsChecker_ : CHttpsChecker::Instance();
    if (preferences.honorHsts) {
        if (const std::optional<HstsPromise> promise = checker.FindPromise(request.requestHost)) {
            RefreshEndingPromise(checker, *promise, request, connection, preferences);
            ++counters.httpRedirects;
            return RedirectAsPromised(*promise, response, preferences, connection);
        }
    }

    const bool bestEffort = preferences.allowInsecureIfNoHttps;
    response.redirect = preferences.autoRedirect;
    response.available = true;
    if (preferences.checkBeforeRedirect || bestEffort) {
        auto check = [&](const std::string& checkedHost, bool resolveByName) {
            response.messages.push_back({true, true, checkedHost + " - checking HTTPS availability"});
            HttpsCheckResult result;
            if (checker.Check(result, checkedHost, request.requestHost, connection.destination,
                              connection.applicationPath, connection.processId, request.proxyStyle, preferences,
                              resolveByName)) {
                response.messages.push_back({true, true, "Check result found in cache"});
            }
            response.messages.insert(response.messages.end(), result.messages.begin(), result.messages.end());
            return result.available;
        };
        response.available = check(request.requestHost, false);
        if (!response.available && WantsWwwRetry(request.requestHost)) {
            const std::string wwwHost = "www." + request.requestHost;
            response.available = check(wwwHost, !request.proxyStyle);
            if (response.available) response.redirectHost = wwwHost;
        }
        if (response.available) response.redirect = bestEffort || preferences.autoRedirect;
    }

    if (!response.available && bestEffort) {
        ++counters.httpBypassedWithoutHttps;
        return ForwardToTarget(connection, {request.rawRequest, " bypassed for ", request.requestHost,
                                            " (HTTPS is not available for this host)"});
    }
    if (!response.available) response.redirect = false;
    ++(response.redirect ? counters.httpRedirects : counters.httpUserActionRequests);
    response.autoRedirect = preferences.autoRedirect;
    return BuildResponse(response, connection);
}

bool CHttpTraffic::RedirectAsPromised(const HstsPromise& promise, ResponseInputs& response,
                                      const Preferences& preferences, const ConnectionDescription& connection) {
    response.redirect = response.available = true;
    response.autoRedirect = preferences.autoRedirect;
    response.decidedBy = PromiseNote(promise);
    response.messages.push_back({true, true, PromiseMessage(promise)});
    return BuildResponse(response, connection);
}

}  // namespace hbt
