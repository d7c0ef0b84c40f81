#include "platform/crash_handler.h"

#include <string_view>
#include <utility>

namespace hbt {
namespace {

bool ReadError(std::string_view digits, int& error) {
    if (digits.empty() || digits.size() > 6) return false;
    error = 0;
    for (const char c : digits) {
        if (c < '0' || c > '9') return false;
        error = error * 10 + (c - '0');
    }
    return true;
}

}  // namespace

bool ParseCrashDumpStatus(const std::string& word, CrashDumpStatus& status) {
    const std::string_view text = word;
    if (text == kCrashStatusSaved) {
        status = {CrashDumpOutcome::kSaved, 0};
        return true;
    }
    for (const auto& [prefix, outcome] : {std::pair{std::string_view(kCrashStatusNotCreated), CrashDumpOutcome::kNotCreated},
                                          std::pair{std::string_view(kCrashStatusNotSaved), CrashDumpOutcome::kNotSaved}}) {
        if (text.substr(0, prefix.size()) == prefix) {
            status.outcome = outcome;
            return ReadError(text.substr(prefix.size()), status.error);
        }
    }
    return false;
}

}  // namespace hbt
