#pragma once
// An immutable table of host keys built for lookups that mostly miss: each
// name is found through an open-addressing table at most half full whose
// slots carry part of the name's hash, behind a bit filter small enough to
// stay in the processor's cache. A miss usually costs one filter bit; a hit
// a slot and the name's record. The records (name, subdomains flag and, in a
// table with expiries, the expiry) lie back to back in one buffer.
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace hbt {

struct HostRecord {
    std::string name;  // an HstsHostKey, at most 255 bytes
    bool includeSubDomains = false;
    int64_t expiry = 0;  // kept only in a table with expiries
    bool operator==(const HostRecord&) const = default;
};

// The hash the table files a name under, computed from its last byte to its
// first, so that one pass over a name gives the hashes of all its parents.
uint64_t HostHash(std::string_view name);

// A key and every parent domain of it with their hashes, the key first.
class DomainChain {
public:
    explicit DomainChain(std::string_view key);
    std::size_t Size() const { return count_; }
    std::string_view Name(std::size_t i) const { return key_.substr(starts_[count_ - 1 - i]); }
    uint64_t Hash(std::size_t i) const { return hashes_[count_ - 1 - i]; }

private:
    static constexpr std::size_t kMaxLabels = 128;  // a name of 255 bytes has no more
    std::string_view key_;
    std::size_t count_ = 0;
    // Shortest suffix first; left unset beyond count_, as a lookup makes one each time.
    std::array<uint16_t, kMaxLabels> starts_;
    std::array<uint64_t, kMaxLabels> hashes_;
};

class HostTable {
public:
    struct Found {
        bool includeSubDomains = false;
        int64_t expiry = 0;
    };

    HostTable() = default;
    // Records sorted by name, each name once; names longer than 255 bytes are left out.
    HostTable(const std::vector<HostRecord>& records, bool withExpiries);

    std::optional<Found> Find(std::string_view name, uint64_t hash) const;
    std::optional<Found> Find(std::string_view name) const { return Find(name, HostHash(name)); }
    // Starts loading what a Find of this hash reads first, so that the
    // lookups of a name and its parents wait for memory together.
    void Prefetch(uint64_t hash) const;

    std::size_t Size() const { return size_; }
    // Every record, ordered by name.
    std::vector<HostRecord> Records() const;
    // The heap memory the table holds.
    std::size_t MemoryBytes() const;

private:
    struct Slot {
        uint32_t record = 0;  // offset of the record + 1; 0 when free
        uint32_t tag = 0;     // the hash's high half
    };
    std::size_t FilterBit(uint64_t hash) const;
    std::size_t RecordSize(std::size_t offset) const;
    void Add(std::size_t offset, uint64_t hash);

    bool withExpiries_ = false;
    std::size_t size_ = 0;
    std::string records_;  // per record: length, flag, the expiry's 8 bytes (with expiries), the name
    std::vector<Slot> slots_;
    std::vector<uint64_t> filter_;
    unsigned filterShift_ = 64;
};

}  // namespace hbt
