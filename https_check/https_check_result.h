#pragma once
// The verdict of one HTTPS availability check and the step messages that the
// block page lists under "More info".
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "hsts/sts_header.h"

namespace hbt {

struct CheckMessage {
    bool final = false;  // the step has ended
    bool ok = false;     // the step succeeded
    std::string text;
    bool operator==(const CheckMessage&) const = default;
};

struct HttpsCheckResult {
    bool available = false;
    int64_t checkTime = 0;  // seconds since 1970, UTC
    std::vector<CheckMessage> messages;
    // What the handshake step negotiated, judged by the TLS policy whenever
    // the result is handed out; 0 when no handshake got that far (or the
    // answer came from an older cache file).
    uint16_t tlsVersion = 0;
    uint16_t cipherSuite = 0;
    // What the site's Strict-Transport-Security header promised over the
    // verified connection: a promise (or its withdrawal, max-age 0) counts
    // only from a host name, and a promise only from an answer without a
    // redirect loop. Not kept in the cache.
    std::optional<StsDirectives> stsPromise = std::nullopt;
};

}  // namespace hbt
