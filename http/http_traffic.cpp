#include "http/http_traffic.h"

#include <ctime>

#include "platform/safe_socket.h"
#include "http/http_request.h"
#include "log/log.h"
#include "platform/socket_address.h"

namespace hbt {

CHttpTraffic::CHttpTraffic(std::shared_ptr<CSafeSocket> clientSocket, CIpExcluder* excluder)
    : clientSocket_(std::move(clientSocket)), excluder_(excluder) {}

bool CHttpTraffic::Process(ConnectionDescription connection, const std::wstring& applicationPath,
                           CPreferencesGetter* preferencesGetter, bool limitHit, uint16_t controlPort,
                           HttpCounters* counters) {
    try {
        HttpRequest request(clientSocket_, false);
        if (!request.Read()) {
            errorText = request.errorText;
            return false;
        }
        const ProcessContext context{std::move(connection), applicationPath, preferencesGetter,
                                     limitHit,              controlPort,     counters};
        return Decide(request, context);
    } catch (...) {
        errorText = "Unknown exception.";
        return false;
    }
}

bool CHttpTraffic::BuildResponse(const ResponseInputs& inputs) {
    const std::string address = SocketAddressText(inputs.connection.destination);
    const uint64_t processId = inputs.connection.processId;
    const wchar_t* application = inputs.applicationPath.c_str();
    if (inputs.loop) {
        CLog(kLogError, processId, application)
            << address << " Connection limit hit. The problem is likely caused by an infinite loop connection";
    }
    const std::string response = BuildResponseText(inputs, std::time(nullptr));
    {
        CLog line(kLogNormal, processId, application);
        if (inputs.loop) {
            line << address << " Report loop connection to the user.";
        } else {
            line << address << (inputs.redirect ? " Enforce HTTPS for " : " Request user action for ")
                 << HostLogUrl(inputs.host);
        }
    }
    if (!clientSocket_ || !clientSocket_->SendAll(response.data(), response.size())) {
        errorText = "Could not send response to client";
        return false;
    }
    return true;
}

}  // namespace hbt
