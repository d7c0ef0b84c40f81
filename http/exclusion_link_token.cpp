#include "http/exclusion_link_token.h"

#include <random>

#include "http/page_parts.h"

namespace hbt {

const std::string& ExclusionLinkToken() {
    static const std::string token = [] {
        std::random_device entropy;  // the kernel's random source
        std::string bytes;
        for (int i = 0; i < 4; ++i) {
            const uint32_t word = entropy();
            for (int b = 0; b < 4; ++b) bytes += static_cast<char>((word >> (8 * b)) & 0xFF);
        }
        return Base64UrlEncode(bytes);
    }();
    return token;
}

bool IsExclusionLinkToken(const std::string& candidate) {
    const std::string& token = ExclusionLinkToken();
    if (candidate.size() != token.size()) return false;
    unsigned char difference = 0;
    for (std::size_t i = 0; i < token.size(); ++i) difference |= static_cast<unsigned char>(candidate[i] ^ token[i]);
    return difference == 0;
}

}  // namespace hbt
