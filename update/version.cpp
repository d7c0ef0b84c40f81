#include "update/version.h"

namespace hbt {
namespace {

std::string Limit(std::string text) {
    if (text.size() > kVersionTextLimit) text.resize(kVersionTextLimit);
    return text;
}

// Reads leading decimal digits; 0 when there are none.
uint32_t ReadUnsigned(std::string_view text, std::size_t& pos) {
    uint32_t value = 0;
    while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9') {
        value = value * 10 + static_cast<uint32_t>(text[pos] - '0');
        ++pos;
    }
    return value;
}

std::string After(std::string_view text, std::size_t pos) { return std::string(text.substr(pos)); }

}  // namespace

std::string ShortVersionOf(std::string_view fullVersion) {
    const auto dot = fullVersion.rfind('.');
    return Limit(std::string(dot == std::string_view::npos ? fullVersion : fullVersion.substr(0, dot)));
}

uint32_t VersionNumberOf(std::string_view shortVersion) {
    std::size_t pos = 0;
    const uint32_t major = ReadUnsigned(shortVersion, pos);
    uint32_t minor = 0;
    if (pos < shortVersion.size() && shortVersion[pos] == '.') {
        ++pos;
        minor = ReadUnsigned(shortVersion, pos);
    }
    return major * 10000 + minor * 100;
}

std::string BuildLabelOf(std::string_view v) {
    if (const auto rc = v.find("rc"); rc != std::string_view::npos) return Limit("RC" + After(v, rc + 2));
    if (const auto d = v.find('d'); d != std::string_view::npos) return Limit("Dev " + After(v, d + 1));
    if (const auto a = v.find('a'); a != std::string_view::npos) return Limit("Alpha " + After(v, a + 1));
    if (const auto b = v.find('b'); b != std::string_view::npos) {
        const std::string rest = After(v, b + 1);
        return Limit(rest == "1" ? "Beta" : "Beta " + rest);
    }
    return {};
}

const std::string& ShortVersion() {
    static const std::string value = ShortVersionOf(kFullVersion);
    return value;
}

uint32_t VersionNumber() {
    static const uint32_t value = VersionNumberOf(ShortVersion());
    return value;
}

const std::string& BuildLabel() {
    static const std::string value = BuildLabelOf(kFullVersion);
    return value;
}

std::string VersionBannerText() { return "v" + ShortVersion() + " " + BuildLabel(); }

}  // namespace hbt
