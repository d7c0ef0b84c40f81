#include "rules/rule_list_syntax.h"

#include <algorithm>
#include <cstdint>
#include <optional>

#include "rules/host_address.h"
#include "rules/preferences.h"
#include "text/text_case.h"
#include "text/text_conversion.h"

namespace hbt {
namespace {

const wchar_t kIncorrectSymbols[] = L"Incorrect symbol(s) found.";
const wchar_t kPortFormat[] =
    L"Unexpected port format. Please make sure that you use the correct format for the ports.";
const wchar_t kRangePortFormat[] =
    L"Unexpected port format within the port range. Please make sure that you use the correct format for the port range.";
const wchar_t kSecondIpBelowFirst[] = L"The second IP in the range cannot be less than the first one.";
const wchar_t kIncorrectHost[] = L"Incorrect IP address or hostname found.";

// Removes the blanks at both ends and every run of blanks that touches c.
std::wstring TrimAround(std::wstring_view text, wchar_t c) {
    const auto start = text.find_first_not_of(L' ');
    if (start == std::wstring_view::npos) return {};
    text = text.substr(start, text.find_last_not_of(L' ') - start + 1);
    std::wstring out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        if (text[i] != L' ') {
            out += text[i++];
            continue;
        }
        std::size_t end = i;
        while (end < text.size() && text[end] == L' ') ++end;
        const bool touches = (i > 0 && text[i - 1] == c) || (end < text.size() && text[end] == c);
        if (!touches) out.append(text.substr(i, end - i));
        i = end;
    }
    return out;
}

bool IsDigit(wchar_t c) { return c >= L'0' && c <= L'9'; }
bool IsAsciiLetter(wchar_t c) { return (c >= L'a' && c <= L'z') || (c >= L'A' && c <= L'Z'); }

// A decimal port of the list (digits only by now). Values that do not fit 16
// bits, and zero written other than "0", are not ports.
std::optional<uint16_t> ReadPort(std::wstring_view digits) {
    uint32_t value = 0;
    for (wchar_t c : digits) {
        value = value * 10 + static_cast<uint32_t>(c - L'0');
        if (value > 0xFFFF) return std::nullopt;
    }
    if (value == 0 && digits != L"0") return std::nullopt;
    return static_cast<uint16_t>(value);
}

bool ParsePortItem(std::wstring_view item, uint32_t& range, std::wstring& message) {
    uint16_t first = 0, last = 0;
    const auto hyphen = item.find(L'-');
    if (hyphen != std::wstring_view::npos) {
        if (hyphen == 0) {
            message = L"The first port in the range is not properly specified. Please make sure that you use the correct format for the port ranges.";
            return false;
        }
        if (hyphen == item.size() - 1) {
            message = L"The second port in the range is not properly specified. Please make sure that you use the correct format for the port ranges.";
            return false;
        }
        if (item.find(L'-', hyphen + 1) != std::wstring_view::npos) {
            message = L"Unexpected port range format. Please make sure that you use the correct format for the port ranges.";
            return false;
        }
        const auto a = ReadPort(item.substr(0, hyphen));
        const auto b = ReadPort(item.substr(hyphen + 1));
        if (!a || !b) {
            message = kRangePortFormat;
            return false;
        }
        first = *a;
        last = *b;
    } else {
        const auto p = ReadPort(item);
        if (!p) {
            message = kPortFormat;
            return false;
        }
        first = last = *p;
    }
    if (first == 0 || last == 0) {
        message = L"Port number cannot be zero. A correct port number is an unsigned integer ranging from 1 to 65535.";
        return false;
    }
    if (last < first) {
        message = L"The first port number in the range cannot be greater than the last port number.";
        return false;
    }
    range = MakePortRange(first, last);
    return true;
}

struct ParsedHosts {
    std::vector<std::string> patterns;
    std::vector<HostRule> rules;
};

HostRule AddressRule(int32_t kind, const uint8_t* first, const uint8_t* last, std::size_t length) {
    HostRule rule;
    rule.kind = kind;
    std::copy(first, first + length, rule.first.begin());
    std::copy(last, last + length, rule.last.begin());
    return rule;
}

HostRule NameRule(const std::string& typed, const std::string& lower) {
    HostRule rule;
    rule.kind = kHostRuleName;
    rule.text = typed;
    rule.lowerText = lower;
    return rule;
}

bool ParseHostRange(const std::string& typed, const std::string& item, ParsedHosts& out,
                    std::wstring& message) {
    const auto hyphen = item.find('-');
    const std::string a = item.substr(0, hyphen);
    const std::string b = item.substr(hyphen + 1);
    const bool hasColon = a.find(':') != std::string::npos;
    if (hasColon && a.find('.') != std::string::npos) {
        message = L"Incorrect target host format.";
        return false;
    }
    if (a.find('.') != std::string::npos) {
        if (const auto first = ParseIpv4Text(a)) {
            const auto last = ParseIpv4Text(b);
            if (!last) {
                message = L"Incorrect IPv4 range.";
                return false;
            }
            if (*last < *first) {
                message = kSecondIpBelowFirst;
                return false;
            }
            out.rules.push_back(AddressRule(kHostRuleIpv4, first->data(), last->data(), 4));
            return true;
        }
    }
    if (const auto first = ParseIpv6Text(a)) {
        const auto last = ParseIpv6Text(b);
        if (!last) {
            message = L"Incorrect IPv6 range.";
            return false;
        }
        if (*last < *first) {
            message = kSecondIpBelowFirst;
            return false;
        }
        out.rules.push_back(AddressRule(kHostRuleIpv6, first->data(), last->data(), 16));
        return true;
    }
    if (item.find(':') == std::string::npos) {
        out.patterns.push_back(item);
        out.rules.push_back(NameRule(typed, item));
        return true;
    }
    message = L"Incorrect target host.";
    return false;
}

bool ParseHostItem(const std::string& typed, ParsedHosts& out, std::wstring& message) {
    const std::string item = ToLowerAscii(typed);
    if (item.front() == '-' || item.back() == '-') {
        message = L"Unexpected hyphen found.";
        return false;
    }
    if (item.find('-') != std::string::npos) return ParseHostRange(typed, item, out, message);
    if (const auto v4 = ParseIpv4Text(item)) {
        out.rules.push_back(AddressRule(kHostRuleIpv4, v4->data(), v4->data(), 4));
        out.patterns.push_back(item);
        return true;
    }
    if (const auto v6 = ParseIpv6Text(item)) {
        out.rules.push_back(AddressRule(kHostRuleIpv6, v6->data(), v6->data(), 16));
        out.patterns.push_back(item);
        return true;
    }
    if (item.find(':') != std::string::npos) {
        message = kIncorrectHost;
        return false;
    }
    // Wildcards over IP addresses are refused.
    const bool wildcard = item.find_first_of("?*") != std::string::npos;
    if (wildcard && item.find_first_not_of("0123456789.*?") == std::string::npos) {
        message = kIncorrectHost;
        return false;
    }
    out.patterns.push_back(item);
    out.rules.push_back(NameRule(typed, item));
    return true;
}

}  // namespace

std::wstring NormaliseListText(std::wstring_view text, wchar_t separator) {
    std::wstring work;
    work.reserve(text.size());
    for (wchar_t c : text) {
        if (c == L'\r') continue;
        if (c == L'\t') c = L' ';
        if (c == L'\n' || c == L',') c = L';';
        work += c;
    }
    return TrimAround(TrimAround(work, L';'), separator);
}

std::vector<std::wstring> SplitListItems(std::wstring_view normalised) {
    std::vector<std::wstring> items;
    std::size_t start = 0;
    while (start <= normalised.size()) {
        auto end = normalised.find(L';', start);
        if (end == std::wstring_view::npos) end = normalised.size();
        if (end > start) items.emplace_back(normalised.substr(start, end - start));
        start = end + 1;
    }
    return items;
}

bool IsHostRangeItem(std::string_view lowerItem) {
    const auto hyphen = lowerItem.find('-');
    if (hyphen == std::string_view::npos || hyphen == 0) return false;
    const auto a = lowerItem.substr(0, hyphen);
    return (a.find('.') != std::string_view::npos && ParseIpv4Text(a)) || ParseIpv6Text(a);
}

bool Preferences::SetHttpPorts(const std::wstring& text, std::wstring& message) {
    const std::wstring work = NormaliseListText(text, L'-');
    for (wchar_t c : work) {
        if (!IsDigit(c) && c != L';' && c != L'-' && c != L' ') {
            message = kIncorrectSymbols;
            return false;
        }
    }
    if (work.find(L' ') != std::wstring::npos) {
        message = L"Unexpected blank space found.\nPlease make sure that you use semicolon (;) to separate the ports or port ranges.";
        return false;
    }
    if (work.find(L"--") != std::wstring::npos) {
        message = L"Unexpected hyphen found.\nPlease make sure that you use the correct format for the port ranges.";
        return false;
    }
    std::vector<uint32_t> ranges;
    if (!work.empty()) {
        for (const auto& item : SplitListItems(work)) {
            uint32_t range = 0;
            if (!ParsePortItem(item, range, message)) return false;
            ranges.push_back(range);
        }
        if (ranges.empty()) {
            message = L"Please specify the port(s)";
            return false;
        }
    }
    httpPortsText = text;
    httpPorts = std::move(ranges);
    return true;
}

bool Preferences::SetExcludedApplications(const std::wstring& text, std::wstring& message) {
    const std::wstring work = NormaliseListText(text, L'"');
    if (work.find_first_of(L"\\/:<>|,") != std::wstring::npos) {
        message = kIncorrectSymbols;
        return false;
    }
    if (work.find(L"\"\"") != std::wstring::npos) {
        message = L"Unexpected double quotes found.\nPlease make sure that you use the correct format for file names containing spaces.";
        return false;
    }
    bool inQuotes = false;
    for (wchar_t c : work) {
        if (c == L'"') {
            inQuotes = !inQuotes;
        } else if (c == L' ' && !inQuotes) {
            message = L"Unexpected blank space found.\nPlease use semicolon (;) to separate filenames and double quotes (\") to mark beginning and end of filenames containing spaces.";
            return false;
        }
    }
    if (inQuotes) {
        message = L"Not closed quotation mark (\") found.";
        return false;
    }
    std::wstring unquoted;
    for (wchar_t c : work) {
        if (c != L'"') unquoted += c;
    }
    std::vector<std::wstring> names = SplitListItems(unquoted);
    std::vector<std::wstring> lower;
    for (const auto& name : names) lower.push_back(ToLowerWide(name));
    excludeApplicationsText = text;
    excludeApplications = std::move(names);
    excludeApplicationsLower = std::move(lower);
    return true;
}

bool Preferences::SetExcludedHosts(const std::wstring& text, std::wstring& message) {
    const std::wstring work = NormaliseListText(text, L'-');
    for (wchar_t c : work) {
        if (!IsDigit(c) && !IsAsciiLetter(c) && std::wstring_view(L":,;?*-. ").find(c) == std::wstring_view::npos) {
            message = kIncorrectSymbols;
            return false;
        }
    }
    if (work.find(L' ') != std::wstring::npos) {
        message = L"Unexpected blank space found.\nPlease make sure that you use semicolon (;) to separate hosts.";
        return false;
    }
    ParsedHosts parsed;
    for (const auto& item : SplitListItems(work)) {
        // Only ASCII is left, so the UTF-8 form is the item itself.
        if (!ParseHostItem(WideToUtf8(item), parsed, message)) return false;
    }
    excludeHostsText = text;
    excludeHosts = std::move(parsed.patterns);
    excludeHostRules = std::move(parsed.rules);
    return true;
}

}  // namespace hbt
