// The Strict-Transport-Security reader on any response head: a promise never
// lasts longer than the store keeps one, and a value put into a head as its
// first such field promises exactly what it does read alone.
#include <string>

#include "fuzz/fuzz_support.h"
#include "hsts/sts_header.h"

using namespace hbt;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    const std::string_view input = fuzz::InputReader::Text({data, size});
    const auto promise = StsPromiseOf(input);
    if (promise) FUZZ_CHECK(promise->maxAge <= kMaxPromiseSeconds);
    // The input as the value of a field of its own, when it fits on one line.
    if (input.find_first_of("\r\n") == std::string_view::npos) {
        const std::string head = "HTTP/1.1 200 OK\r\nStrict-Transport-Security:" + std::string(input) + "\r\n\r\n";
        FUZZ_CHECK(StsPromiseOf(head) == ParseStsHeaderValue(input));
    }
    return 0;
}
