#include "hsts/hsts_store.h"

#include <algorithm>

#include "hsts/hsts_host.h"
#include "log/log.h"

namespace hbt {

void PruneLearned(LearnedPromises& promises, int64_t now, std::size_t limit) {
    std::erase_if(promises, [now](const auto& entry) { return entry.second.expiry <= now; });
    if (promises.size() <= limit) return;
    std::vector<std::pair<int64_t, std::string>> byExpiry;
    byExpiry.reserve(promises.size());
    for (const auto& [host, promise] : promises) byExpiry.emplace_back(promise.expiry, host);
    const auto dropped = static_cast<std::ptrdiff_t>(promises.size() - limit);
    std::nth_element(byExpiry.begin(), byExpiry.begin() + dropped, byExpiry.end());
    for (auto it = byExpiry.begin(); it != byExpiry.begin() + dropped; ++it) promises.erase(it->second);
}

namespace {

// Generations count across every store, so that a store made where another
// was is never taken for it by a thread's copy.
std::atomic<uint64_t> lastGeneration{0};

}  // namespace

HstsStore::HstsStore(HstsFiles files) : files_(std::move(files)), generation_(++lastGeneration) {}

void HstsStore::Publish() {
    std::vector<HostRecord> records;
    records.reserve(learned_.size());
    for (const auto& [host, promise] : learned_) records.push_back({host, promise.includeSubDomains, promise.expiry});
    std::sort(records.begin(), records.end(), [](const auto& a, const auto& b) { return a.name < b.name; });
    auto snapshot = std::make_shared<Snapshot>(Snapshot{HostTable(records, true), preloaded_});
    std::lock_guard lock(snapshotMutex_);
    snapshot_ = std::move(snapshot);
    generation_ = ++lastGeneration;
}

const HstsStore::Snapshot& HstsStore::Current() {
    struct Copy {
        uint64_t generation = 0;
        std::shared_ptr<const Snapshot> snapshot;
    };
    thread_local Copy copy;
    if (copy.generation != generation_.load(std::memory_order_acquire)) {
        std::lock_guard lock(snapshotMutex_);
        copy = {generation_.load(), snapshot_};
    }
    return *copy.snapshot;
}

void HstsStore::SetFiles(const HstsFiles& files) {
    std::lock_guard write(writeMutex_);
    if (files.learned == files_.learned && files.preloaded == files_.preloaded) return;
    files_ = files;
    preloadedStamp_.reset();
    loaded_ = false;
    // At once rather than at the first lookup, which a waiting request would make.
    LoadFiles();
}

void HstsStore::Reload() {
    std::lock_guard write(writeMutex_);
    LoadFiles();
}

void HstsStore::EnsureLoaded() {
    if (loaded_.load(std::memory_order_acquire)) return;
    std::lock_guard write(writeMutex_);
    if (!loaded_) LoadFiles();
}

void HstsStore::LoadFiles() {
    learned_ = ReadLearnedFile();
    ReadPreloadedFileIfNew();
    Publish();
    loaded_.store(true, std::memory_order_release);
}

LearnedPromises HstsStore::ReadLearnedFile() {
    if (files_.learned.empty()) return {};
    if (auto text = ReadFileContents(files_.learned, true)) {
        if (auto promises = ParseLearnedPromises(*text)) return std::move(*promises);
    } else {
        return {};  // unreadable: nothing to replace it with that would be better
    }
    // Another writer may have replaced it meanwhile; only a file still damaged is replaced.
    const FileWriterLock writers(files_.learned);
    const auto text = ReadFileContents(files_.learned, true);
    auto promises = text ? ParseLearnedPromises(*text) : std::nullopt;
    if (promises) return std::move(*promises);
    CLog(kLogError) << "HTTPS promises file " << files_.learned << " is damaged; it was ignored and replaced";
    WriteLearned({});
    return {};
}

void HstsStore::ReadPreloadedFileIfNew() {
    if (files_.preloaded.empty()) return;
    const std::optional<FileStamp> stamp = StampOf(files_.preloaded);
    if (stamp == preloadedStamp_ && loaded_) return;
    preloadedStamp_ = stamp;
    std::vector<PreloadedHost> hosts;
    if (stamp) {
        const auto text = ReadFileContents(files_.preloaded, true);
        auto parsed = text ? ParsePreloadedHosts(*text) : std::nullopt;
        if (parsed) {
            hosts = std::move(*parsed);
        } else {
            CLog(kLogError) << "Preloaded HTTPS hosts file " << files_.preloaded << " is damaged; it was ignored";
        }
    }
    preloaded_ = std::make_shared<const PreloadedHosts>(std::move(hosts));
}

std::optional<HstsPromise> HstsStore::Find(std::string_view host, int64_t now) {
    EnsureLoaded();
    const std::optional<std::string> key = HstsHostKey(host);
    if (!key) return std::nullopt;
    const Snapshot& snapshot = Current();
    const DomainChain chain(*key);
    for (std::size_t i = 0; i < chain.Size(); ++i) snapshot.preloaded->Prefetch(chain.Hash(i));
    for (std::size_t i = 0; i < chain.Size(); ++i) {
        const bool itself = i == 0;
        const auto learned = snapshot.learned.Find(chain.Name(i), chain.Hash(i));
        if (learned && learned->expiry > now && (itself || learned->includeSubDomains)) {
            return HstsPromise{std::string(chain.Name(i)), learned->expiry, learned->includeSubDomains, false};
        }
        const std::optional<bool> subdomains = snapshot.preloaded->Find(chain.Name(i), chain.Hash(i));
        if (subdomains && (itself || *subdomains)) return HstsPromise{std::string(chain.Name(i)), 0, *subdomains, true};
    }
    return std::nullopt;
}

LearnedPromises HstsStore::CurrentLearned(bool& damaged) {
    damaged = false;
    if (!files_.learned.empty()) {
        const auto text = ReadFileContents(files_.learned, true);
        if (auto promises = text ? ParseLearnedPromises(*text) : std::nullopt) return std::move(*promises);
        damaged = text.has_value();
    }
    return learned_;
}

bool HstsStore::WriteLearned(const LearnedPromises& promises) {
    return files_.learned.empty() || ReplaceFileContents(files_.learned, SerializeLearnedPromises(promises));
}

template <typename Change>
HstsChange HstsStore::ChangeLearned(int64_t now, Change change) {
    EnsureLoaded();
    std::lock_guard write(writeMutex_);
    std::optional<FileWriterLock> writers;
    if (!files_.learned.empty()) writers.emplace(files_.learned);
    bool damaged = false;
    LearnedPromises promises = CurrentLearned(damaged);
    const bool changed = change(promises);
    PruneLearned(promises, now, kMaxLearned);
    const bool saved = !(changed || damaged) || WriteLearned(promises);
    if (damaged) CLog(kLogError) << "HTTPS promises file " << files_.learned << " is damaged; it was ignored and replaced";
    learned_ = std::move(promises);
    Publish();
    if (!changed) return HstsChange::kNothingToDo;
    return saved ? HstsChange::kDone : HstsChange::kNotSaved;
}

HstsChange HstsStore::Keep(std::string_view host, int64_t expiry, bool includeSubDomains, int64_t now) {
    const std::optional<std::string> key = HstsHostKey(host);
    if (!key) return HstsChange::kNotAHost;
    return ChangeLearned(now, [&](LearnedPromises& promises) {
        promises[*key] = {expiry, includeSubDomains};
        return true;
    });
}

HstsChange HstsStore::Forget(std::string_view host, int64_t now) {
    const std::optional<std::string> key = HstsHostKey(host);
    if (!key) return HstsChange::kNotAHost;
    return ChangeLearned(now, [&](LearnedPromises& promises) {
        const auto entry = promises.find(*key);
        if (entry == promises.end() || entry->second.expiry <= now) return false;
        promises.erase(entry);
        return true;
    });
}

std::vector<HstsPromise> HstsStore::Learned(int64_t now) {
    EnsureLoaded();
    std::vector<HstsPromise> live;
    for (const HostRecord& record : Current().learned.Records()) {
        if (record.expiry > now) live.push_back({record.name, record.expiry, record.includeSubDomains, false});
    }
    return live;
}

std::shared_ptr<const PreloadedHosts> HstsStore::Preloaded() {
    EnsureLoaded();
    return Current().preloaded;
}

bool HstsStore::ReplacePreloaded(std::vector<PreloadedHost> hosts) {
    EnsureLoaded();
    std::lock_guard write(writeMutex_);
    preloaded_ = std::make_shared<const PreloadedHosts>(std::move(hosts));
    bool saved = true;
    if (!files_.preloaded.empty()) {
        const FileWriterLock writers(files_.preloaded);
        saved = ReplaceFileContents(files_.preloaded, SerializePreloadedHosts(preloaded_->Hosts()));
        preloadedStamp_ = StampOf(files_.preloaded);
    }
    Publish();
    return saved;
}

}  // namespace hbt
