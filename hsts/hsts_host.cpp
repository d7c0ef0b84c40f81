#include "hsts/hsts_host.h"

#include <ctime>

#include "text/text_case.h"

namespace hbt {
namespace {

constexpr std::size_t kMaxNameLength = 253;
constexpr std::size_t kMaxLabelLength = 63;

bool IsLabelChar(char c) {
    return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '_';
}

bool IsNumber(std::string_view text) {
    if (text.empty()) return false;
    for (const char c : text) {
        if (c < '0' || c > '9') return false;
    }
    return true;
}

bool HasValidLabels(std::string_view key) {
    std::size_t start = 0;
    while (true) {
        const std::size_t dot = key.find('.', start);
        const std::string_view label = key.substr(start, dot == std::string_view::npos ? key.npos : dot - start);
        if (label.empty() || label.size() > kMaxLabelLength) return false;
        for (const char c : label) {
            if (!IsLabelChar(c)) return false;
        }
        if (dot == std::string_view::npos) return true;
        start = dot + 1;
    }
}

}  // namespace

std::optional<std::string> HstsHostKey(std::string_view host) {
    // An IP literal never passes: an IPv6 address has colons, which no label
    // holds, and an IPv4 address ends with a number.
    if (!host.empty() && host.back() == '.') host.remove_suffix(1);
    if (host.empty() || host.size() > kMaxNameLength) return std::nullopt;
    std::string key = ToLowerAscii(host);
    if (!HasValidLabels(key)) return std::nullopt;
    // Neither do "1.2.3" or "0x7f.1", which reach an address in some
    // resolvers: no top-level domain is a number.
    const std::size_t lastDot = key.rfind('.');
    const std::string_view last = lastDot == std::string::npos ? std::string_view(key) : std::string_view(key).substr(lastDot + 1);
    if (IsNumber(last)) return std::nullopt;
    return key;
}

std::string_view ParentDomain(std::string_view key) {
    const std::size_t dot = key.find('.');
    return dot == std::string_view::npos ? std::string_view() : key.substr(dot + 1);
}

std::string PromiseExpiryText(int64_t seconds) {
    const std::time_t time = static_cast<std::time_t>(seconds);
    std::tm utc{};
    gmtime_r(&time, &utc);
    char text[40];
    std::strftime(text, sizeof(text), "%Y-%m-%d %H:%M:%S UTC", &utc);
    return text;
}

}  // namespace hbt
