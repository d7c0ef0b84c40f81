#include "https_check/proxy_reply_reader.h"

#include <cstdlib>

#include "https_check/http_head_end.h"
#include "https_check/ssl_socket.h"

namespace hbt {
namespace {

constexpr std::size_t kMaxReplyHead = 100000;

ProxyReply Failure(const char* text, int status = 0) { return {false, status, text}; }

}  // namespace

ProxyReply ReadProxyReply(CSslSocket& socket) {
    constexpr const char* kClosed = "Proxy close connection unexpectedly";
    if (socket.IsClosed() || socket.Handle() == -1) return Failure(kClosed);
    char first;
    if (socket.ReceiveRaw(&first, 1) <= 0) return Failure(kClosed);
    if (first != 'H') return Failure("Proxy returned incorrect HTTP replay.");
    std::string head(1, first);
    while (head.size() < 12) {
        char more[11];
        const long got = socket.ReceiveRaw(more, 12 - head.size());
        if (got <= 0) return Failure(kClosed);
        head.append(more, static_cast<std::size_t>(got));
    }
    if (head.find("HTTP/1.") == std::string::npos) return Failure("Proxy returned incorrect HTTP replay.");
    const int status = std::atoi(head.c_str() + 9);
    if (status == 0) return Failure("Proxy returned incorrect HTTP replay code.");
    while (true) {
        char c;
        if (socket.ReceiveRaw(&c, 1) <= 0) return Failure(kClosed, status);
        head += c;
        if (IsHttpHeadEnd(head)) break;
        if (head.size() > kMaxReplyHead) return Failure("Proxy replay is too large.", status);
    }
    return {true, status, ""};
}

}  // namespace hbt
