#include "rules/host_address.h"

#include <vector>

namespace hbt {
namespace {

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

}  // namespace

std::optional<std::array<uint8_t, 4>> ParseIpv4Text(std::string_view text) {
    std::array<uint8_t, 4> out{};
    int octets = 0;
    bool sawDigit = false;
    unsigned value = 0;
    for (char c : text) {
        if (c >= '0' && c <= '9') {
            if (sawDigit && value == 0) return std::nullopt;  // leading zero
            value = value * 10 + static_cast<unsigned>(c - '0');
            if (value > 255) return std::nullopt;
            if (!sawDigit) {
                if (++octets > 4) return std::nullopt;
                sawDigit = true;
            }
            out[octets - 1] = static_cast<uint8_t>(value);
        } else if (c == '.' && sawDigit) {
            if (octets == 4) return std::nullopt;
            sawDigit = false;
            value = 0;
        } else {
            return std::nullopt;
        }
    }
    if (octets < 4 || !sawDigit) return std::nullopt;
    return out;
}

std::optional<std::array<uint8_t, 16>> ParseIpv6Text(std::string_view text) {
    std::vector<uint16_t> head, tail;
    std::vector<uint16_t>* groups = &head;
    bool sawGap = false;
    std::size_t i = 0;
    const std::size_t n = text.size();
    if (n == 0) return std::nullopt;
    if (text.substr(0, 2) == "::") {
        sawGap = true;
        groups = &tail;
        i = 2;
    } else if (text[0] == ':') {
        return std::nullopt;
    }
    while (i < n) {
        std::size_t j = i;
        while (j < n && HexValue(text[j]) >= 0) ++j;
        if (j < n && text[j] == '.') {
            // A dotted IPv4 tail fills the last two groups and ends the text.
            auto v4 = ParseIpv4Text(text.substr(i));
            if (!v4) return std::nullopt;
            groups->push_back(static_cast<uint16_t>((*v4)[0] << 8 | (*v4)[1]));
            groups->push_back(static_cast<uint16_t>((*v4)[2] << 8 | (*v4)[3]));
            i = n;
            break;
        }
        if (j == i || j - i > 4) return std::nullopt;
        uint16_t group = 0;
        for (std::size_t k = i; k < j; ++k) group = static_cast<uint16_t>(group << 4 | HexValue(text[k]));
        groups->push_back(group);
        i = j;
        if (i == n) break;
        if (text[i] != ':') return std::nullopt;
        ++i;
        if (i < n && text[i] == ':') {
            if (sawGap) return std::nullopt;
            sawGap = true;
            groups = &tail;
            ++i;
            continue;
        }
        if (i == n) return std::nullopt;  // a single trailing colon
    }
    const std::size_t total = head.size() + tail.size();
    if (sawGap ? total > 7 : total != 8) return std::nullopt;
    std::array<uint8_t, 16> out{};
    auto put = [&out](std::size_t index, uint16_t group) {
        out[index * 2] = static_cast<uint8_t>(group >> 8);
        out[index * 2 + 1] = static_cast<uint8_t>(group & 0xff);
    };
    for (std::size_t k = 0; k < head.size(); ++k) put(k, head[k]);
    for (std::size_t k = 0; k < tail.size(); ++k) put(8 - tail.size() + k, tail[k]);
    return out;
}

}  // namespace hbt
