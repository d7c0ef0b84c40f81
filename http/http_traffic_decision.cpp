// What happens to a request once its head has been read.
//
// This first version covers the paths that need neither the preferences nor
// the HTTPS availability checker: CONNECT tunnels, requests that cannot be
// parsed, and connection loops. Every other request is passed through to its
// destination unchanged; the mode-dependent decision (exclusions, certificate
// status requests, the HTTPS check, redirect or block page) replaces that
// pass-through together with the checker.
#include "http/http_request.h"
#include "http/http_traffic.h"

namespace hbt {

bool CHttpTraffic::Decide(HttpRequest& request, const ProcessContext& context) {
    if (request.isConnect && !context.limitHit) {
        ++context.counters->httpsProxyConnections;
        return ForwardToTarget({context.connection, request.rawRequest, context.applicationPath,
                                " allowed (HTTPS proxy connection)", "", ""});
    }
    if (!request.Parse()) {
        errorText = request.errorText;
        return false;
    }
    if (context.limitHit) {
        ++context.counters->httpLoopReports;
        ResponseInputs loop;
        loop.loop = true;
        loop.path = request.requestPath;
        loop.host = request.requestHost;
        loop.redirectHost = request.requestHost;
        loop.connection = context.connection;
        loop.applicationPath = context.applicationPath;
        loop.controlPort = context.controlPort;
        return BuildResponse(loop);
    }
    return ForwardToTarget({context.connection, request.rawRequest, context.applicationPath, " bypassed for ",
                            request.requestHost, " (no enforcement decision yet)"});
}

}  // namespace hbt
