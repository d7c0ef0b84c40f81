#include "http/http_traffic.h"

#include <ctime>

#include "platform/safe_socket.h"
#include "http/http_request.h"
#include "log/log.h"
#include "platform/socket_address.h"

namespace hbt {

CHttpTraffic::CHttpTraffic(std::shared_ptr<CSafeSocket> clientSocket, CIpExcluder* excluder)
    : clientSocket_(std::move(clientSocket)), excluder_(excluder), headIdleLimit_(HttpRequest::kHeadIdleLimit) {}

ProcessResult CHttpTraffic::Process(const ConnectionDescription& connection, CPreferencesGetter* preferencesGetter,
                                    bool limitHit, uint16_t controlPort, HttpCounters* counters) {
    try {
        HttpRequest request(clientSocket_, false, headIdleLimit_);
        if (!request.Read()) {
            errorText = request.errorText;
            if (request.emptyConnection) return ProcessResult::kEmptyConnection;
            return request.headTimedOut ? ProcessResult::kHeadTimedOut : ProcessResult::kFailed;
        }
        const ProcessContext context{connection, preferencesGetter, limitHit, controlPort, counters};
        return Decide(request, context) ? ProcessResult::kHandled : ProcessResult::kFailed;
    } catch (...) {
        errorText = "Unknown exception.";
        return ProcessResult::kFailed;
    }
}

bool CHttpTraffic::BuildResponse(const ResponseInputs& inputs, const ConnectionDescription& connection) {
    const std::string address = SocketAddressText(connection.destination);
    const uint64_t processId = connection.processId;
    const wchar_t* application = connection.applicationPath.c_str();
    if (inputs.loop) {
        CLog(kLogError, processId, application)
            << address << " Connection limit hit. The problem is likely caused by an infinite loop connection";
    }
    const std::string response = BuildResponseText(inputs, connection, std::time(nullptr));
    {
        CLog line(kLogNormal, processId, application);
        if (inputs.loop) {
            line << address << " Report loop connection to the user.";
        } else {
            line << address << (inputs.redirect ? " Enforce HTTPS for " : " Request user action for ")
                 << HostLogUrl(inputs.host);
            if (!inputs.decidedBy.empty()) line << " (" << inputs.decidedBy << ")";
        }
    }
    if (!clientSocket_ || !clientSocket_->SendAll(response.data(), response.size())) {
        errorText = "Could not send response to client";
        return false;
    }
    return true;
}

}  // namespace hbt
