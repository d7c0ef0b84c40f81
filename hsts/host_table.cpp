#include "hsts/host_table.h"

#include <algorithm>
#include <bit>
#include <cstring>

namespace hbt {
namespace {

constexpr std::size_t kHeader = 2;  // length and flag bytes
constexpr std::size_t kExpiryBytes = sizeof(int64_t);
constexpr std::size_t kMaxName = 255;
// Filter bits per name: a miss passes the filter about once in this many lookups.
constexpr std::size_t kFilterBitsPerName = 16;

constexpr uint64_t kFnvOffset = 14695981039346656037ULL;
constexpr uint64_t kFnvPrime = 1099511628211ULL;

uint64_t Step(uint64_t hash, char c) { return (hash ^ static_cast<unsigned char>(c)) * kFnvPrime; }

}  // namespace

uint64_t HostHash(std::string_view name) {
    uint64_t hash = kFnvOffset;
    for (auto c = name.rbegin(); c != name.rend(); ++c) hash = Step(hash, *c);
    return hash;
}

DomainChain::DomainChain(std::string_view key) : key_(key) {
    // From the end: the hash of every suffix that starts a label is the hash
    // of that parent. They come out shortest first.
    uint64_t hash = kFnvOffset;
    for (std::size_t i = key.size(); i > 0 && count_ < kMaxLabels; --i) {
        hash = Step(hash, key[i - 1]);
        if (i == 1 || key[i - 2] == '.') {
            starts_[count_] = static_cast<uint16_t>(i - 1);
            hashes_[count_++] = hash;
        }
    }
}

HostTable::HostTable(const std::vector<HostRecord>& records, bool withExpiries) : withExpiries_(withExpiries) {
    std::size_t bytes = 0;
    for (const auto& record : records) bytes += kHeader + (withExpiries ? kExpiryBytes : 0) + record.name.size();
    records_.reserve(bytes);
    std::vector<std::pair<std::size_t, uint64_t>> filed;
    filed.reserve(records.size());
    for (const auto& record : records) {
        // Slots hold 32-bit offsets; no real list comes near that.
        if (record.name.size() > kMaxName || records_.size() + kMaxName + kHeader + kExpiryBytes >= UINT32_MAX) continue;
        filed.emplace_back(records_.size(), HostHash(record.name));
        records_ += static_cast<char>(record.name.size());
        records_ += static_cast<char>(record.includeSubDomains ? 1 : 0);
        if (withExpiries) records_.append(reinterpret_cast<const char*>(&record.expiry), kExpiryBytes);
        records_ += record.name;
    }
    size_ = filed.size();
    if (size_ == 0) return;
    slots_.resize(std::bit_ceil(size_ * 2));
    const std::size_t filterBits = std::bit_ceil(std::max<std::size_t>(size_ * kFilterBitsPerName, 64));
    filter_.resize(filterBits / 64);
    filterShift_ = 64 - static_cast<unsigned>(std::countr_zero(filterBits));
    for (const auto& [offset, hash] : filed) Add(offset, hash);
}

std::size_t HostTable::FilterBit(uint64_t hash) const {
    // Other bits of the hash than the slot's index and tag.
    return static_cast<std::size_t>((hash * 0x9E3779B97F4A7C15ULL) >> filterShift_);
}

std::size_t HostTable::RecordSize(std::size_t offset) const {
    return kHeader + (withExpiries_ ? kExpiryBytes : 0) + static_cast<unsigned char>(records_[offset]);
}

void HostTable::Add(std::size_t offset, uint64_t hash) {
    const std::size_t bit = FilterBit(hash);
    filter_[bit / 64] |= uint64_t{1} << (bit % 64);
    const std::size_t mask = slots_.size() - 1;
    std::size_t slot = hash & mask;
    while (slots_[slot].record != 0) slot = (slot + 1) & mask;
    slots_[slot] = {static_cast<uint32_t>(offset + 1), static_cast<uint32_t>(hash >> 32)};
}

void HostTable::Prefetch(uint64_t hash) const {
    if (size_ == 0) return;
    __builtin_prefetch(&filter_[FilterBit(hash) / 64]);
    __builtin_prefetch(&slots_[hash & (slots_.size() - 1)]);
}

std::optional<HostTable::Found> HostTable::Find(std::string_view name, uint64_t hash) const {
    if (size_ == 0) return std::nullopt;
    const std::size_t bit = FilterBit(hash);
    if ((filter_[bit / 64] >> (bit % 64) & 1) == 0) return std::nullopt;
    const std::size_t mask = slots_.size() - 1;
    const auto tag = static_cast<uint32_t>(hash >> 32);
    for (std::size_t slot = hash & mask; slots_[slot].record != 0; slot = (slot + 1) & mask) {
        if (slots_[slot].tag != tag) continue;
        const char* record = records_.data() + slots_[slot].record - 1;
        const std::size_t nameAt = kHeader + (withExpiries_ ? kExpiryBytes : 0);
        if (static_cast<unsigned char>(record[0]) != name.size() ||
            std::memcmp(record + nameAt, name.data(), name.size()) != 0) {
            continue;
        }
        Found found{record[1] != 0, 0};
        if (withExpiries_) std::memcpy(&found.expiry, record + kHeader, kExpiryBytes);
        return found;
    }
    return std::nullopt;
}

std::vector<HostRecord> HostTable::Records() const {
    std::vector<HostRecord> records;
    records.reserve(size_);
    for (std::size_t offset = 0; offset < records_.size(); offset += RecordSize(offset)) {
        HostRecord record;
        const std::size_t nameAt = offset + kHeader + (withExpiries_ ? kExpiryBytes : 0);
        record.name = records_.substr(nameAt, static_cast<unsigned char>(records_[offset]));
        record.includeSubDomains = records_[offset + 1] != 0;
        if (withExpiries_) std::memcpy(&record.expiry, records_.data() + offset + kHeader, kExpiryBytes);
        records.push_back(std::move(record));
    }
    return records;
}

std::size_t HostTable::MemoryBytes() const {
    return records_.capacity() + slots_.capacity() * sizeof(Slot) + filter_.capacity() * sizeof(uint64_t);
}

}  // namespace hbt
