// The HTTPS check's reader of the server's answer to its request: the first
// 12 bytes, then a redirect's head a byte at a time, as the check reads them,
// must come to the outcome of the whole answer read at once; the head is then
// searched for a Location back to plain http://.
#include <string>

#include "fuzz/fuzz_support.h"
#include "https_check/check_response_head.h"

using namespace hbt;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    fuzz::InputReader reader(data, size);
    // The checked and the requested host, each up to 32 bytes, then the answer.
    const std::string checkedHost(fuzz::InputReader::Text(reader.Bytes(reader.Byte() % 33)));
    const std::string requestedHost(fuzz::InputReader::Text(reader.Bytes(reader.Byte() % 33)));
    const std::string_view input = fuzz::InputReader::Text(reader.Rest());
    const ByteScan whole = ScanCheckResponseHead(input);

    std::string head(input.substr(0, 12));
    ByteScan pieces = ScanCheckResponseHead(head);
    while (pieces.NeedsMore() && head.size() < input.size()) {
        head += input[head.size()];
        pieces = ScanCheckResponseHead(head, head.size() - 1);
    }
    FUZZ_CHECK(pieces.outcome == whole.outcome);
    if (whole.IsComplete()) {
        FUZZ_CHECK(pieces.length == whole.length && whole.length == head.size());
        (void)DeadLoopIn(head, checkedHost, requestedHost);
    }
    return 0;
}
