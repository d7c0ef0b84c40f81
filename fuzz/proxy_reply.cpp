// The HTTPS check's reader of a proxy's answer to CONNECT, fed as the socket
// delivers it (the first byte, the rest of the first 12, then a byte at a
// time). Its outcome must be the one of the whole answer read at once.
#include <string>

#include "fuzz/fuzz_support.h"
#include "https_check/proxy_reply_reader.h"

using namespace hbt;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    const std::string_view input = fuzz::InputReader::Text({data, size});
    const ProxyReplyScan whole = ScanProxyReply(input);

    std::string head;
    ProxyReplyScan pieces = ScanProxyReply(head);
    while (pieces.scan.NeedsMore() && head.size() < input.size()) {
        const std::size_t seen = head.size();
        const std::size_t wanted = seen == 0 || seen >= 12 ? 1 : 12 - seen;
        head.append(input.substr(seen, wanted));
        pieces = ScanProxyReply(head, seen);
    }
    FUZZ_CHECK(pieces.scan.outcome == whole.scan.outcome);
    FUZZ_CHECK(pieces.status == whole.status);
    if (whole.scan.IsComplete()) {
        FUZZ_CHECK(pieces.scan.length == whole.scan.length && whole.scan.length <= input.size());
        FUZZ_CHECK(whole.status != 0);
    }
    if (whole.scan.IsMalformed()) FUZZ_CHECK(whole.scan.fault != nullptr);
    return 0;
}
