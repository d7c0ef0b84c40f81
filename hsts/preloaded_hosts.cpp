#include "hsts/preloaded_hosts.h"

#include <algorithm>

namespace hbt {
namespace {

// Sorted by name, one record per name.
std::vector<HostRecord> Deduplicated(std::vector<PreloadedHost> hosts) {
    const auto byName = [](const auto& a, const auto& b) { return a.name < b.name; };
    // The file is written in order; an imported list seldom is.
    if (!std::is_sorted(hosts.begin(), hosts.end(), byName)) std::sort(hosts.begin(), hosts.end(), byName);
    std::vector<HostRecord> records;
    records.reserve(hosts.size());
    for (auto& host : hosts) {
        if (!records.empty() && records.back().name == host.name) {
            records.back().includeSubDomains = records.back().includeSubDomains || host.includeSubDomains;
        } else {
            records.push_back({std::move(host.name), host.includeSubDomains, 0});
        }
    }
    return records;
}

}  // namespace

PreloadedHosts::PreloadedHosts(std::vector<PreloadedHost> hosts) : table_(Deduplicated(std::move(hosts)), false) {}

std::optional<bool> PreloadedHosts::Find(std::string_view name, uint64_t hash) const {
    const auto found = table_.Find(name, hash);
    if (!found) return std::nullopt;
    return found->includeSubDomains;
}

std::vector<PreloadedHost> PreloadedHosts::Hosts() const {
    std::vector<PreloadedHost> hosts;
    hosts.reserve(Size());
    for (auto& record : table_.Records()) hosts.push_back({std::move(record.name), record.includeSubDomains});
    return hosts;
}

}  // namespace hbt
