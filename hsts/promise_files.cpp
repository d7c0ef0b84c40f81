#include "hsts/promise_files.h"

#include <algorithm>
#include <charconv>

#include "hsts/hsts_host.h"

namespace hbt {
namespace {

constexpr std::string_view kSubdomains = "subdomains";
constexpr std::string_view kNoSubdomains = "-";

// Calls take(fields) for every line that is no comment; false as soon as take
// refuses a line.
template <typename Take>
bool ForEachRecord(std::string_view text, Take take) {
    while (!text.empty()) {
        const std::size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
        if (line.empty() || line.front() == '#') continue;
        std::vector<std::string_view> fields;
        for (std::size_t start = 0;;) {
            const std::size_t tab = line.find('\t', start);
            fields.push_back(line.substr(start, tab == std::string_view::npos ? line.npos : tab - start));
            if (tab == std::string_view::npos) break;
            start = tab + 1;
        }
        if (!take(fields)) return false;
    }
    return true;
}

// The host field is read back only when it is already a key.
bool IsKey(std::string_view host) {
    const auto key = HstsHostKey(host);
    return key && *key == host;
}

std::optional<bool> SubdomainsField(std::string_view field) {
    if (field == kSubdomains) return true;
    if (field == kNoSubdomains) return false;
    return std::nullopt;
}

std::string_view SubdomainsText(bool includeSubDomains) { return includeSubDomains ? kSubdomains : kNoSubdomains; }

}  // namespace

HstsFiles HstsFilesBeside(const std::string& httpsCachePath) {
    const std::size_t slash = httpsCachePath.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : httpsCachePath.substr(0, slash);
    return {folder + "/hsts_promises.txt", folder + "/hsts_preload.txt"};
}

std::string SerializeLearnedPromises(const LearnedPromises& promises) {
    std::vector<const LearnedPromises::value_type*> ordered;
    for (const auto& entry : promises) ordered.push_back(&entry);
    std::sort(ordered.begin(), ordered.end(), [](auto* a, auto* b) { return a->first < b->first; });
    std::string text = "# Harbinet: HTTPS promises of sites (host, expiry in seconds since 1970 UTC, subdomains)\n";
    for (const auto* entry : ordered) {
        text += entry->first + "\t" + std::to_string(entry->second.expiry) + "\t";
        text += SubdomainsText(entry->second.includeSubDomains);
        text += "\n";
    }
    return text;
}

std::optional<LearnedPromises> ParseLearnedPromises(std::string_view text) {
    LearnedPromises promises;
    const bool intact = ForEachRecord(text, [&](const std::vector<std::string_view>& fields) {
        if (fields.size() != 3 || !IsKey(fields[0])) return false;
        int64_t expiry = 0;
        const auto [end, error] = std::from_chars(fields[1].data(), fields[1].data() + fields[1].size(), expiry);
        const auto subdomains = SubdomainsField(fields[2]);
        if (error != std::errc() || end != fields[1].data() + fields[1].size() || expiry <= 0 || !subdomains) {
            return false;
        }
        return promises.try_emplace(std::string(fields[0]), LearnedPromise{expiry, *subdomains}).second;
    });
    if (!intact) return std::nullopt;
    return promises;
}

std::string SerializePreloadedHosts(const std::vector<PreloadedHost>& hosts) {
    std::string text = "# Harbinet: preloaded HTTPS hosts (host, subdomains), written by hbtctl hsts import\n";
    for (const auto& host : hosts) {
        text += host.name + "\t";
        text += SubdomainsText(host.includeSubDomains);
        text += "\n";
    }
    return text;
}

std::optional<std::vector<PreloadedHost>> ParsePreloadedHosts(std::string_view text) {
    std::vector<PreloadedHost> hosts;
    const bool intact = ForEachRecord(text, [&](const std::vector<std::string_view>& fields) {
        const auto subdomains = fields.size() == 2 ? SubdomainsField(fields[1]) : std::nullopt;
        if (!subdomains || !IsKey(fields[0])) return false;
        hosts.push_back({std::string(fields[0]), *subdomains});
        return true;
    });
    if (!intact) return std::nullopt;
    return hosts;
}

}  // namespace hbt
