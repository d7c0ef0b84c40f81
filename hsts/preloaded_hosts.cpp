#include "hsts/preloaded_hosts.h"

#include <algorithm>
#include <bit>

namespace hbt {
namespace {

// FNV-1a: quick for short names, and spreads them well enough for a table
// kept at most half full.
uint64_t NameHash(std::string_view name) {
    uint64_t hash = 14695981039346656037ULL;
    for (const char c : name) {
        hash ^= static_cast<unsigned char>(c);
        hash *= 1099511628211ULL;
    }
    return hash;
}

// Sorted by name, one entry per name.
std::vector<PreloadedHost> Deduplicated(std::vector<PreloadedHost> hosts) {
    std::sort(hosts.begin(), hosts.end(), [](const auto& a, const auto& b) { return a.name < b.name; });
    std::vector<PreloadedHost> unique;
    unique.reserve(hosts.size());
    for (auto& host : hosts) {
        if (!unique.empty() && unique.back().name == host.name) {
            unique.back().includeSubDomains = unique.back().includeSubDomains || host.includeSubDomains;
        } else {
            unique.push_back(std::move(host));
        }
    }
    return unique;
}

}  // namespace

PreloadedHosts::PreloadedHosts(std::vector<PreloadedHost> hosts) {
    hosts = Deduplicated(std::move(hosts));
    std::size_t total = 0;
    for (const auto& host : hosts) total += host.name.size();
    names_.reserve(total);
    starts_.reserve(hosts.size() + 1);
    subdomains_.reserve(hosts.size());
    for (const auto& host : hosts) {
        starts_.push_back(static_cast<uint32_t>(names_.size()));
        names_ += host.name;
        subdomains_.push_back(host.includeSubDomains);
    }
    starts_.push_back(static_cast<uint32_t>(names_.size()));
    if (hosts.empty()) return;
    slots_.assign(std::bit_ceil(hosts.size() * 2), 0);
    for (uint32_t i = 0; i < hosts.size(); ++i) slots_[SlotOf(Name(i))] = i + 1;
}

std::string_view PreloadedHosts::Name(uint32_t index) const {
    return std::string_view(names_).substr(starts_[index], starts_[index + 1] - starts_[index]);
}

// The slot holding the name, or the free slot where it would go.
std::size_t PreloadedHosts::SlotOf(std::string_view name) const {
    const std::size_t mask = slots_.size() - 1;
    std::size_t slot = NameHash(name) & mask;
    while (slots_[slot] != 0 && Name(slots_[slot] - 1) != name) slot = (slot + 1) & mask;
    return slot;
}

std::optional<bool> PreloadedHosts::Find(std::string_view name) const {
    if (slots_.empty()) return std::nullopt;
    const uint32_t entry = slots_[SlotOf(name)];
    if (entry == 0) return std::nullopt;
    return static_cast<bool>(subdomains_[entry - 1]);
}

std::vector<PreloadedHost> PreloadedHosts::Hosts() const {
    std::vector<PreloadedHost> hosts;
    hosts.reserve(Size());
    for (uint32_t i = 0; i < Size(); ++i) hosts.push_back({std::string(Name(i)), subdomains_[i]});
    return hosts;
}

std::size_t PreloadedHosts::MemoryBytes() const {
    return names_.capacity() + starts_.capacity() * sizeof(uint32_t) + subdomains_.capacity() / 8 +
           slots_.capacity() * sizeof(uint32_t);
}

}  // namespace hbt
