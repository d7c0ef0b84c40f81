// The first-record reader of inspected flows on whatever a client or server
// sends: the whole input, then the input cut where its first two bytes say,
// as a record that is still arriving. A record judged complete must be judged
// the same from its own bytes alone (the reader always looks at six bytes,
// the handshake type included, even of a shorter record).
#include <string>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "tls_inspect/cipher_policy.h"
#include "tls_inspect/https_header_parser.h"
#include "tls_inspect/tls_version_names.h"

using namespace hbt;

namespace {

struct Reading {
    bool recognised = false;
    bool needMore = false;
    std::size_t available = 0;
    TlsRecordState state;
    std::string host;
};

// On an exactly sized copy, so that a read past the bytes is caught.
Reading Read(std::span<const uint8_t> bytes) {
    const std::vector<uint8_t> copy(bytes.begin(), bytes.end());
    Reading reading;
    reading.available = copy.size();
    ParseFault fault = ParseFault::kNone;
    reading.recognised =
        ParseHttpsHeader(reading.state, copy.data(), reading.available, reading.needMore, reading.host, fault);
    FUZZ_CHECK(reading.available <= copy.size());
    FUZZ_CHECK(!(reading.recognised && fault != ParseFault::kNone));
    (void)TlsVersionListText(reading.state.versions);
    (void)CipherSuiteText(reading.state.CipherSuiteCode());
    return reading;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    fuzz::InputReader reader(data, size);
    const uint16_t cut = reader.U16();
    const std::span<const uint8_t> record = reader.Rest();

    const Reading whole = Read(record);
    if (whole.recognised && !whole.needMore) {
        const Reading alone = Read(record.first(std::max<std::size_t>(whole.available, 6)));
        FUZZ_CHECK(alone.recognised && !alone.needMore);
        FUZZ_CHECK(alone.available == whole.available);
        FUZZ_CHECK(alone.state.versions == whole.state.versions);
        FUZZ_CHECK(alone.host == whole.host);
    }
    Read(record.first(std::min<std::size_t>(cut, record.size())));
    return 0;
}
