#include "tls_inspect/tls_version_names.h"

#include <cstdio>

namespace hbt {
namespace {

std::string UnknownVersionName(uint16_t code) {
    char text[8];
    std::snprintf(text, sizeof text, "0x%04x", static_cast<unsigned>(code));
    return text;
}

}  // namespace

std::string TlsVersionName(uint16_t code) {
    const unsigned high = code >> 8;
    const unsigned low = code & 0xFF;
    if (high == 0x02 && low == 0) return "SSL 2";
    if (high == 0x03) return low == 0 ? "SSL 3" : "TLS 1." + std::to_string(low - 1);
    if (high == 0x7F) return "TLS 1.3 Draft " + std::to_string(low);
    return UnknownVersionName(code);
}

std::string TlsVersionListText(std::span<const uint16_t> versions) {
    if (versions.empty()) return "NULL";
    std::string text = TlsVersionName(versions.front());
    if (versions.size() == 1) return text;
    text += " (";
    for (std::size_t i = 1; i < versions.size(); ++i) {
        if (i > 1) text += ", ";
        text += TlsVersionName(versions[i]);
    }
    text += ")";
    return text;
}

}  // namespace hbt
