#pragma once
// The TLS policy of Strict Mode: which protocol versions and cipher suites a
// connection may use. The inspection of intercepted flows and the HTTPS
// availability check both judge through these functions, so the two never
// disagree about a server.
#include <cstdint>
#include <map>
#include <span>
#include <string>

#include "rules/preferences.h"

namespace hbt {

// Kinds are the cipher suite modes of the preferences (1, 2, 3, 128).
// Kind below 2 allows everything. Kind 128 answers from `overrides` when it
// holds the code and otherwise uses `baseLevel` as the threshold; kinds 2 and
// 3 are their own threshold. A catalogued suite passes when its level reaches
// the threshold; an unknown code passes when the threshold is 2 or less.
bool IsCipherSuiteAllowed(int32_t policyKind, int32_t baseLevel, const std::map<uint16_t, bool>& overrides,
                          uint16_t code);

// Best-Effort Mode applies no TLS policy: both answer true there.
// At least one of the versions (offered by a client, or the one a server
// chose) is allowed; an allowed 0x7F00 admits every TLS 1.3 draft 0x7Fnn.
bool TlsPolicyAllowsVersions(const Preferences& preferences, std::span<const uint16_t> versions);
bool TlsPolicyAllowsCipherSuite(const Preferences& preferences, uint16_t code);

enum class TlsPolicyVerdict { kAllowed, kVersionRefused, kCipherSuiteRefused };

// What the policy says of a negotiated version and cipher suite; the version
// is judged first.
TlsPolicyVerdict JudgeNegotiatedTls(const Preferences& preferences, uint16_t version, uint16_t cipherSuite);

// "cipher suite 0x000A TLS_RSA_WITH_3DES_EDE_CBC_SHA", as log lines and
// check messages name a suite.
std::string CipherSuiteText(uint16_t code);

}  // namespace hbt
