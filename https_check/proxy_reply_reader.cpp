#include "https_check/proxy_reply_reader.h"

#include <algorithm>
#include <cstdlib>

#include "https_check/http_head_end.h"
#include "https_check/ssl_socket.h"

namespace hbt {
namespace {

constexpr std::size_t kMaxReplyHead = 100000;
constexpr std::size_t kStatusLineStart = 12;
constexpr char kIncorrectReply[] = "Proxy returned incorrect HTTP replay.";

ProxyReply Failure(const char* text, int status = 0) { return {false, status, text}; }

}  // namespace

ProxyReplyScan ScanProxyReply(std::string_view bytes, std::size_t seen) {
    if (bytes.empty()) return {};
    if (bytes[0] != 'H') return {ByteScan::Malformed(kIncorrectReply)};
    if (bytes.size() < kStatusLineStart) return {};
    if (bytes.substr(0, kStatusLineStart).find("HTTP/1.") == std::string_view::npos) {
        return {ByteScan::Malformed(kIncorrectReply)};
    }
    const int status = std::atoi(std::string(bytes.substr(9, kStatusLineStart - 9)).c_str());
    if (status == 0) return {ByteScan::Malformed("Proxy returned incorrect HTTP replay code.")};
    // The head's end is looked for only after the first 12 bytes.
    const std::size_t end = FindHttpHeadEnd(bytes.substr(0, kMaxReplyHead + 1), std::max(seen, kStatusLineStart));
    if (end != std::string_view::npos) return {ByteScan::Complete(end), status};
    if (bytes.size() > kMaxReplyHead) return {ByteScan::Malformed("Proxy replay is too large."), status};
    return {ByteScan::NeedMore(), status};
}

ProxyReply ReadProxyReply(CSslSocket& socket) {
    constexpr const char* kClosed = "Proxy close connection unexpectedly";
    if (socket.IsClosed() || socket.Handle() == -1) return Failure(kClosed);
    std::string head;
    ProxyReplyScan reply = ScanProxyReply(head);
    while (reply.scan.NeedsMore()) {
        // The first byte alone, then the rest of the first 12, then a byte at a
        // time: nothing after the reply may leave the socket.
        char more[kStatusLineStart];
        const std::size_t wanted = head.empty() || head.size() >= kStatusLineStart ? 1 : kStatusLineStart - head.size();
        const long got = socket.ReceiveRaw(more, wanted);
        if (got <= 0) return Failure(kClosed, reply.status);
        const std::size_t seen = head.size();
        head.append(more, static_cast<std::size_t>(got));
        reply = ScanProxyReply(head, seen);
    }
    if (reply.scan.IsMalformed()) return Failure(reply.scan.fault, reply.status);
    return {true, reply.status, ""};
}

}  // namespace hbt
