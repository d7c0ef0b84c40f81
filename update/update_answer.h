#pragma once
// The update server's answer: a format number, a blank, a value, a blank and
// the download address ("2 15500 https://…"). The value is the newest
// version's number, or 1 when the asking version is no longer supported.
#include <cstdint>
#include <string>
#include <string_view>

namespace hbt {

struct UpdateAnswer {
    bool updateAvailable = false;
    bool outOfDate = false;
    std::string downloadAddress;
};

// False with the reason in `error` when the answer is not of format 2.
bool ParseUpdateAnswer(std::string_view answer, uint32_t versionNumber, UpdateAnswer& result, std::string& error);

}  // namespace hbt
