#pragma once
// The one record of all user settings. A plain value: copied whole, changed on
// a copy, handed to the core to apply.
#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "engine_protocol/socket_address_slot.h"
#include "rules/host_rule.h"

namespace hbt {

// Protocol version codes (TLS record-layer versions).
inline constexpr uint16_t kVersionSsl2 = 512;
inline constexpr uint16_t kVersionSsl3 = 768;
inline constexpr uint16_t kVersionTls10 = 769;
inline constexpr uint16_t kVersionTls11 = 770;
inline constexpr uint16_t kVersionTls12 = 771;
inline constexpr uint16_t kVersionTls13 = 772;
inline constexpr uint16_t kVersionTls13Early = 32512;  // admits the draft codes 0x7Fnn

// Cipher suite modes (checkEncMethod).
inline constexpr int32_t kCipherAllowAll = 1;
inline constexpr int32_t kCipherSafeOnly = 2;
inline constexpr int32_t kCipherSafeOnlyFf = 3;
inline constexpr int32_t kCipherCustom = 128;

// A port range packed with the first port in the low half.
constexpr uint32_t MakePortRange(uint16_t first, uint16_t last) {
    return static_cast<uint32_t>(first) | static_cast<uint32_t>(last) << 16;
}
constexpr uint16_t PortRangeFirst(uint32_t range) { return static_cast<uint16_t>(range & 0xFFFF); }
constexpr uint16_t PortRangeLast(uint32_t range) { return static_cast<uint16_t>(range >> 16); }

struct Preferences {
    // HTTP ports: the text as typed and its ranges.
    std::wstring httpPortsText;
    std::vector<uint32_t> httpPorts;
    // Excluded applications: the text, the names as typed (quotes removed)
    // and the same names in lower case.
    std::wstring excludeApplicationsText;
    std::vector<std::wstring> excludeApplications;
    std::vector<std::wstring> excludeApplicationsLower;
    // Excluded hosts: the text, the host patterns (lower case, UTF-8) and the rules.
    std::wstring excludeHostsText;
    std::vector<std::string> excludeHosts;
    std::vector<HostRule> excludeHostRules;

    bool enabled = false;
    bool autoRedirect = false;
    bool checkBeforeRedirect = false;
    bool excludeCertReq = false;
    bool allowInsecureIfNoHttps = false;
    bool monitorSslOnAllPorts = false;
    std::vector<uint16_t> allowedSslVersions;
    int32_t checkEncMethod = 0;
    int32_t cipherBaseMode = 0;
    std::map<uint16_t, bool> cipherOverrides;
    int32_t logLevel = 0;
    int32_t logFileLevel = 0;
    std::wstring logPath;
    bool bigCrashDump = false;
    bool SysTryIconMessageShown = false;
    bool updatesCheck = false;
    bool honorHsts = false;  // keep the HTTPS promises of sites (Strict-Transport-Security)

    // The list setters: on failure the message says why and the record is
    // unchanged; on success the text is kept exactly as passed.
    bool SetHttpPorts(const std::wstring& text, std::wstring& message);
    bool SetExcludedApplications(const std::wstring& text, std::wstring& message);
    bool SetExcludedHosts(const std::wstring& text, std::wstring& message);

    // Exclusion matching; names are UTF-8.
    bool IsHostExcluded(const std::string& host) const;
    bool IsApplicationExcluded(const std::string& name) const;
    bool RemoveHostFromExclusions(const std::string& host, std::wstring& message);
    bool RemoveApplicationFromExclusions(const std::string& name, std::wstring& message);

    // For the connect decision: the destination lies in an address range of
    // the host list; the application file name equals a listed name after
    // lower-casing both (no wildcards).
    bool IsAddressInExcludedRanges(const SocketAddressSlot& address) const;
    bool IsApplicationListed(std::wstring_view fileName) const;

    bool operator==(const Preferences&) const = default;
};

}  // namespace hbt
