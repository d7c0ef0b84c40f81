// The proxy's request head reader, fed as a client's socket would deliver the
// bytes: in pieces whose sizes the input chooses, each scan going on where the
// last one stopped, as the reader does. The outcome must not depend on how the
// bytes were cut. A complete head is then taken apart as the proxy does.
#include <string>

#include "fuzz/fuzz_support.h"
#include "http/http_request.h"

using namespace hbt;

namespace {

// A reader over the pieces: appends each one and scans from where the last scan stopped.
ByteScan ScanInPieces(std::string_view input, bool stopAfterConnectMethod, uint8_t seed) {
    std::string head;
    uint32_t state = seed;
    while (head.size() < input.size()) {
        // Piece sizes from 1 to 1 + seed, from a small generator over the seed.
        state = state * 1103515245u + 12345u;
        const std::size_t piece = 1 + (state >> 16) % (1u + seed);
        const std::size_t seen = head.size();
        head.append(input.substr(seen, piece));
        const ByteScan scan = ScanRequestHead(head, stopAfterConnectMethod, seen);
        if (!scan.NeedsMore()) return scan;
    }
    return ByteScan::NeedMore();
}

void TakeApart(std::string head, bool stopAfterConnectMethod) {
    HttpRequest request(nullptr, stopAfterConnectMethod);
    request.rawRequest = std::move(head);
    if (!request.Parse()) {
        FUZZ_CHECK(!request.errorText.empty());
        return;
    }
    FUZZ_CHECK(request.requestHost.find(':') == std::string::npos);
    request.ParseQuery();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    fuzz::InputReader reader(data, size);
    const uint8_t seed = reader.Byte();
    const uint8_t options = reader.Byte();
    const bool stopAfterConnectMethod = options & 1;
    std::string input(fuzz::InputReader::Text(reader.Rest()));
    // Repeated past the size limit, the input reaches the reader's refusal of a
    // large head; only for one value of the byte, as it is slow.
    if (options == 2 && !input.empty()) {
        while (input.size() <= kMaxRequestHeadSize) input += input;
    }

    const ByteScan whole = ScanRequestHead(input, stopAfterConnectMethod);
    const ByteScan pieces = ScanInPieces(input, stopAfterConnectMethod, seed);
    FUZZ_CHECK(whole.outcome == pieces.outcome);
    if (whole.IsComplete()) {
        FUZZ_CHECK(whole.length == pieces.length);
        FUZZ_CHECK(whole.length <= kMaxRequestHeadSize && whole.length <= input.size());
        TakeApart(input.substr(0, whole.length), stopAfterConnectMethod);
    }
    return 0;
}
