#pragma once
// HttpRequest: the head of one HTTP request, read from a client socket one
// byte at a time (so that a body stays in the socket for the relay), checked
// and taken apart. Used by the proxy and by the control endpoint.
#include <cstddef>
#include <map>
#include <memory>
#include <string>

namespace hbt {

class CSafeSocket;

class HttpRequest {
public:
    static constexpr std::size_t maxRequestHeadSize = 100000;

    HttpRequest(std::shared_ptr<CSafeSocket> socket, bool stopAfterConnectMethod);

    // Reads the head into rawRequest and sets isConnect.
    bool Read();
    // Fills requestPath, requestHost and proxyStyle from rawRequest.
    bool Parse();
    // Splits requestPath into pathWithoutQuery and queryParameters.
    bool ParseQuery();

    bool isConnect = false;
    std::string requestPath;
    std::string requestHost;
    bool proxyStyle = false;
    std::string pathWithoutQuery;
    std::map<std::string, std::string> queryParameters;
    std::string rawRequest;
    std::string errorText;
    // Read failed because the client closed or reset before sending anything.
    bool emptyConnection = false;

private:
    bool ReadRestOfHead(std::string& head);
    bool Fail(const char* text);

    std::shared_ptr<CSafeSocket> socket_;
    bool stopAfterConnectMethod_;
};

}  // namespace hbt
