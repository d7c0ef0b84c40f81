#include "update/update_answer.h"

#include <cstdlib>

namespace hbt {
namespace {

// A decimal integer as the C library reads one: leading blanks and a sign
// allowed, reading stops at the first other character, none reads as 0.
long long DecimalOf(std::string_view text) {
    return std::strtoll(std::string(text).c_str(), nullptr, 10);
}

std::string_view Trimmed(std::string_view text) {
    constexpr std::string_view kCut = "\r\n ";
    const auto first = text.find_first_not_of(kCut);
    if (first == std::string_view::npos) return {};
    return text.substr(first, text.find_last_not_of(kCut) - first + 1);
}

}  // namespace

bool ParseUpdateAnswer(std::string_view answer, uint32_t versionNumber, UpdateAnswer& result, std::string& error) {
    const auto firstBlank = answer.find(' ');
    if (answer.empty() || firstBlank == std::string_view::npos) {
        error = "Unexpected version format.";
        return false;
    }
    if (DecimalOf(answer.substr(0, firstBlank)) != 2) {
        error = "Unsupported version format.";
        return false;
    }
    const std::string_view rest = answer.substr(firstBlank + 1);
    const auto secondBlank = rest.find(' ');
    const long long value = secondBlank == std::string_view::npos ? 0 : DecimalOf(rest.substr(0, secondBlank));
    if (value <= 0) {
        error = "Incorrect version format.";
        return false;
    }
    result.updateAvailable = static_cast<unsigned long long>(value) > versionNumber;
    result.outOfDate = value == 1;
    result.downloadAddress = std::string(Trimmed(rest.substr(secondBlank + 1)));
    return true;
}

}  // namespace hbt
