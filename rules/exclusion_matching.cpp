#include <algorithm>
#include <string_view>

#include "rules/preferences.h"
#include "rules/rule_list_syntax.h"
#include "rules/wildcard.h"
#include "text/text_case.h"
#include "text/text_conversion.h"

namespace hbt {
namespace {

// A host is also covered through its dot-prefixed form, so "*.example.com"
// covers "example.com" itself.
bool PatternCoversHost(const std::string& pattern, const std::string& dottedHost) {
    return WildcardMatch(pattern, std::string_view(dottedHost).substr(1)) || WildcardMatch(pattern, dottedHost);
}

std::wstring JoinLines(const std::vector<std::wstring>& items) {
    std::wstring text;
    for (const auto& item : items) {
        if (!text.empty()) text += L'\n';
        text += item;
    }
    return text;
}

bool InRange(const uint8_t* address, const HostRule& rule, std::size_t length) {
    return !std::lexicographical_compare(address, address + length, rule.first.begin(), rule.first.begin() + length) &&
           !std::lexicographical_compare(rule.last.begin(), rule.last.begin() + length, address, address + length);
}

}  // namespace

bool Preferences::IsHostExcluded(const std::string& host) const {
    const std::string dotted = "." + host;
    return std::any_of(excludeHosts.begin(), excludeHosts.end(),
                       [&](const std::string& pattern) { return PatternCoversHost(pattern, dotted); });
}

bool Preferences::IsApplicationExcluded(const std::string& name) const {
    return std::any_of(excludeApplications.begin(), excludeApplications.end(),
                       [&](const std::wstring& entry) { return WildcardMatch(WideToUtf8(entry), name); });
}

bool Preferences::RemoveHostFromExclusions(const std::string& host, std::wstring& message) {
    const std::string dotted = "." + host;
    std::vector<std::wstring> kept;
    for (const auto& item : SplitListItems(NormaliseListText(excludeHostsText, L'-'))) {
        const std::string lower = ToLowerAscii(WideToUtf8(item));
        if (IsHostRangeItem(lower) || !PatternCoversHost(lower, dotted)) kept.push_back(item);
    }
    return SetExcludedHosts(JoinLines(kept), message);
}

bool Preferences::RemoveApplicationFromExclusions(const std::string& name, std::wstring& message) {
    std::vector<std::wstring> kept;
    for (const auto& entry : excludeApplications) {
        if (WildcardMatch(WideToUtf8(entry), name)) continue;
        kept.push_back(entry.find(L' ') == std::wstring::npos ? entry : L"\"" + entry + L"\"");
    }
    return SetExcludedApplications(JoinLines(kept), message);
}

bool Preferences::IsAddressInExcludedRanges(const SocketAddressSlot& address) const {
    const int32_t kind = address.IsIpv4() ? kHostRuleIpv4 : address.IsIpv6() ? kHostRuleIpv6 : -1;
    if (kind < 0) return false;
    const uint8_t* bytes = address.AddressBytes();
    return std::any_of(excludeHostRules.begin(), excludeHostRules.end(), [&](const HostRule& rule) {
        return rule.kind == kind && InRange(bytes, rule, address.AddressLength());
    });
}

bool Preferences::IsApplicationListed(std::wstring_view fileName) const {
    // Lowered as compared, since every connect asks.
    const auto equalsLowered = [fileName](const std::wstring& lower) {
        return lower.size() == fileName.size() &&
               std::equal(lower.begin(), lower.end(), fileName.begin(),
                          [](wchar_t l, wchar_t c) { return l == ToLowerWideChar(c); });
    };
    return std::any_of(excludeApplicationsLower.begin(), excludeApplicationsLower.end(), equalsLowered);
}

}  // namespace hbt
