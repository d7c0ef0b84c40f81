#pragma once
// The read-only set of preloaded HTTPS hosts, built to hold a whole browser
// preload list (some 200 000 names) in little memory: the names back to back
// in one buffer, and an open-addressing table of their indexes.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

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

    // nullopt when the name is not preloaded, else whether it covers its subdomains.
    std::optional<bool> Find(std::string_view name) const;

    std::size_t Size() const { return subdomains_.size(); }
    // Every host, ordered by name.
    std::vector<PreloadedHost> Hosts() const;
    // The heap memory the set holds.
    std::size_t MemoryBytes() const;

private:
    std::string_view Name(uint32_t index) const;
    std::size_t SlotOf(std::string_view name) const;

    std::string names_;
    std::vector<uint32_t> starts_;  // name i runs from starts_[i] to starts_[i + 1]
    std::vector<bool> subdomains_;
    std::vector<uint32_t> slots_;  // index + 1 of the name hashed there; 0 when free
};

}  // namespace hbt
