#pragma once
// HttpRequest: the head of one HTTP request, read from a client socket
// without taking any byte after it (so that a body stays in the socket for
// the relay), checked and taken apart. Used by the proxy and by the control endpoint.
#include <chrono>
#include <cstddef>
#include <map>
#include <memory>
#include <string>
#include <string_view>

#include "text/byte_scan.h"

namespace hbt {

class CSafeSocket;

inline constexpr std::size_t kMaxRequestHeadSize = 100000;

// The request head at the start of the bytes a client sent so far: complete
// with the head's length (with the method's three letters alone for a CONNECT
// when stopAfterConnectMethod); malformed for an unknown method or a head
// longer than kMaxRequestHeadSize. The first `seen` bytes were looked at
// before and held no end, so a client that sends a byte at a time costs no
// more than one that sends the head whole.
ByteScan ScanRequestHead(std::string_view bytes, bool stopAfterConnectMethod, std::size_t seen = 0);

class HttpRequest {
public:
    static constexpr std::size_t maxRequestHeadSize = kMaxRequestHeadSize;
    // How long a client may stay silent while its head is read: before the
    // first byte and between any two, so a slow client that keeps sending is
    // never cut off. Browsers open sockets ahead of need and may send on one a
    // minute later (Chromium keeps an unused preconnected socket for up to
    // about 60 s); the limit leaves room above that, and ends the sockets that
    // never send before they pile up.
    static constexpr std::chrono::seconds kHeadIdleLimit{90};

    HttpRequest(std::shared_ptr<CSafeSocket> socket, bool stopAfterConnectMethod,
                std::chrono::milliseconds idleLimit = kHeadIdleLimit);

    // Reads the head into rawRequest and sets isConnect; a client silent for
    // longer than the idle limit meanwhile ends the read. Nothing after the
    // head leaves the socket.
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
    // Read failed because the client stayed silent longer than the idle limit.
    bool headTimedOut = false;

private:
    // Peeks at what the client sent, waiting up to the idle limit when
    // nothing is there yet; -1 with `timedOut` when the limit ran out.
    long PeekWithinIdleLimit(char* buffer, std::size_t length, bool& timedOut);
    bool FailTimedOut();
    // A read that ended before the method's first three bytes came.
    bool FailBeforeMethod();
    bool Fail(const char* text);

    std::shared_ptr<CSafeSocket> socket_;
    bool stopAfterConnectMethod_;
    std::chrono::milliseconds idleLimit_;
};

}  // namespace hbt
