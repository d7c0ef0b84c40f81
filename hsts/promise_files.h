#pragma once
// The two files beside the HTTPS cache file:
//   hsts_promises.txt  the promises sites made, one line each:
//                      host TAB expiry (seconds since 1970, UTC) TAB "subdomains" or "-"
//   hsts_preload.txt   the imported preload list: host TAB "subdomains" or "-"
// Lines starting with '#' are comments. A file with any other line is
// damaged and read as nothing.
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "hsts/preloaded_hosts.h"

namespace hbt {

struct LearnedPromise {
    int64_t expiry = 0;  // seconds since 1970, UTC
    bool includeSubDomains = false;
    bool operator==(const LearnedPromise&) const = default;
};

// Looked up by string_view without making a string.
struct HostKeyHash {
    using is_transparent = void;
    std::size_t operator()(std::string_view key) const { return std::hash<std::string_view>{}(key); }
};
using LearnedPromises = std::unordered_map<std::string, LearnedPromise, HostKeyHash, std::equal_to<>>;

struct HstsFiles {
    std::string learned;
    std::string preloaded;
};
// The files in the folder of the HTTPS cache file.
HstsFiles HstsFilesBeside(const std::string& httpsCachePath);

// Ordered by host, so the file reads the same for the same promises.
std::string SerializeLearnedPromises(const LearnedPromises& promises);
std::optional<LearnedPromises> ParseLearnedPromises(std::string_view text);

std::string SerializePreloadedHosts(const std::vector<PreloadedHost>& hosts);
std::optional<std::vector<PreloadedHost>> ParsePreloadedHosts(std::string_view text);

}  // namespace hbt
