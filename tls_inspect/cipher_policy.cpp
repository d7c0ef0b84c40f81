#include "tls_inspect/cipher_policy.h"

#include <cstdio>

#include "tls_inspect/cipher_suite_catalogue.h"

namespace hbt {
namespace {
constexpr int32_t kSafeOnly = 2;
constexpr int32_t kCustom = 128;
constexpr uint16_t kTls13DraftMask = 0x7F00;
}  // namespace

bool IsCipherSuiteAllowed(int32_t policyKind, int32_t baseLevel, const std::map<uint16_t, bool>& overrides,
                          uint16_t code) {
    if (policyKind < kSafeOnly) return true;
    int32_t threshold = policyKind;
    if (policyKind == kCustom) {
        if (const auto it = overrides.find(code); it != overrides.end()) return it->second;
        threshold = baseLevel;
    }
    if (const CipherSuiteInfo* row = FindCipherSuite(code)) return row->level >= threshold;
    return threshold <= kSafeOnly;
}

bool TlsPolicyAllowsVersions(const Preferences& preferences, std::span<const uint16_t> versions) {
    if (preferences.allowInsecureIfNoHttps) return true;
    for (uint16_t a : preferences.allowedSslVersions) {
        for (uint16_t v : versions) {
            if (v == a || (v & a) == kTls13DraftMask) return true;
        }
    }
    return false;
}

bool TlsPolicyAllowsCipherSuite(const Preferences& preferences, uint16_t code) {
    return preferences.allowInsecureIfNoHttps ||
           IsCipherSuiteAllowed(preferences.checkEncMethod, preferences.cipherBaseMode, preferences.cipherOverrides,
                                code);
}

TlsPolicyVerdict JudgeNegotiatedTls(const Preferences& preferences, uint16_t version, uint16_t cipherSuite) {
    if (!TlsPolicyAllowsVersions(preferences, std::span(&version, 1))) return TlsPolicyVerdict::kVersionRefused;
    if (!TlsPolicyAllowsCipherSuite(preferences, cipherSuite)) return TlsPolicyVerdict::kCipherSuiteRefused;
    return TlsPolicyVerdict::kAllowed;
}

std::string CipherSuiteText(uint16_t code) {
    char hex[8];
    std::snprintf(hex, sizeof hex, "%04X", static_cast<unsigned>(code));
    return std::string("cipher suite 0x") + hex + " " + CipherSuiteName(code);
}

}  // namespace hbt
