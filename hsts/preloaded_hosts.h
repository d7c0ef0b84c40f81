#pragma once
// The read-only set of preloaded HTTPS hosts, built to hold a whole browser
// preload list (some 200 000 names) in little memory and to answer in a few
// cache misses at most (host_table.h).
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "hsts/host_table.h"

namespace hbt {

struct PreloadedHost {
    std::string name;  // an HstsHostKey
    bool includeSubDomains = false;
    bool operator==(const PreloadedHost&) const = default;
};

class PreloadedHosts {
public:
    PreloadedHosts() = default;
    // A name given twice is kept once, covering its subdomains if either does.
    explicit PreloadedHosts(std::vector<PreloadedHost> hosts);

    // nullopt when the name is not preloaded, else whether it covers its
    // subdomains; hash is HostHash(name).
    std::optional<bool> Find(std::string_view name, uint64_t hash) const;
    std::optional<bool> Find(std::string_view name) const { return Find(name, HostHash(name)); }
    void Prefetch(uint64_t hash) const { table_.Prefetch(hash); }

    std::size_t Size() const { return table_.Size(); }
    // Every host, ordered by name.
    std::vector<PreloadedHost> Hosts() const;
    // The heap memory the set holds.
    std::size_t MemoryBytes() const { return table_.MemoryBytes(); }

private:
    HostTable table_;
};

}  // namespace hbt
