#pragma once
// The HTTPS promises this computer keeps: those sites made with their
// Strict-Transport-Security header or that were added by hand (learned, at
// most kMaxLearned, each until its expiry), and the read-only preloaded set
// imported from a browser's list. Both live in files beside the HTTPS cache
// file (promise_files.h), read at the first use.
//
// Several writers share the files (the program, hbtctl): a change reads the
// learned file again under its writer lock, makes itself on what it found
// and replaces the file, so no writer drops what another stored meanwhile.
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "hsts/host_table.h"
#include "hsts/preloaded_hosts.h"
#include "hsts/promise_files.h"
#include "platform/file_replace.h"

namespace hbt {

// The promise that covers a host.
struct HstsPromise {
    std::string host;    // the name holding it: the host itself or a parent domain
    int64_t expiry = 0;  // seconds since 1970, UTC; 0 for a preloaded name
    bool includeSubDomains = false;
    bool preloaded = false;
    bool operator==(const HstsPromise&) const = default;
};

enum class HstsChange {
    kDone,
    kNothingToDo,  // nothing was there to forget
    kNotAHost,     // the name cannot hold a promise (hsts_host.h)
    kNotSaved,     // the file could not be written; memory holds the change
};

class HstsStore {
public:
    static constexpr std::size_t kMaxLearned = 10000;

    // Empty paths keep the promises in memory only.
    explicit HstsStore(HstsFiles files = {});
    HstsStore(const HstsStore&) = delete;
    HstsStore& operator=(const HstsStore&) = delete;

    // Other files: read at once (the constructor's at the first use).
    void SetFiles(const HstsFiles& files);
    // Takes up what other writers changed in the files (the preloaded one
    // only when it is another file than the one read).
    void Reload();

    // The live promise for the host itself, or for the nearest parent domain
    // whose promise includes its subdomains.
    std::optional<HstsPromise> Find(std::string_view host, int64_t now);

    HstsChange Keep(std::string_view host, int64_t expiry, bool includeSubDomains, int64_t now);
    HstsChange Forget(std::string_view host, int64_t now);
    // The live learned promises, ordered by host.
    std::vector<HstsPromise> Learned(int64_t now);
    std::shared_ptr<const PreloadedHosts> Preloaded();
    // Replaces the preloaded set and its file.
    bool ReplacePreloaded(std::vector<PreloadedHost> hosts);

private:
    // What lookups read: replaced whole by every change, never changed.
    struct Snapshot {
        HostTable learned{{}, true};
        std::shared_ptr<const PreloadedHosts> preloaded = std::make_shared<PreloadedHosts>();
    };

    void EnsureLoaded();
    void LoadFiles();
    LearnedPromises ReadLearnedFile();
    void ReadPreloadedFileIfNew();
    // Reads the learned file again, lets change() alter what it holds and
    // writes it back unless change() says there is nothing to do.
    template <typename Change>
    HstsChange ChangeLearned(int64_t now, Change change);
    // What the learned file holds now; the memory's copy when it is damaged
    // (then `damaged` is set) or unreadable.
    LearnedPromises CurrentLearned(bool& damaged);
    bool WriteLearned(const LearnedPromises& promises);
    // Makes what learned_ and preloaded_ hold the snapshot lookups read.
    void Publish();
    // This thread's copy of the snapshot, taken anew only after a change, so
    // that lookups on many threads share no cache line that is written.
    const Snapshot& Current();

    // The writers' side: one loader or writer at a time.
    std::mutex writeMutex_;
    HstsFiles files_;
    std::optional<FileStamp> preloadedStamp_;
    LearnedPromises learned_;
    std::shared_ptr<const PreloadedHosts> preloaded_ = std::make_shared<PreloadedHosts>();
    std::atomic<bool> loaded_{false};

    // The readers' side.
    std::mutex snapshotMutex_;  // guards snapshot_ and the generation's change with it
    std::shared_ptr<const Snapshot> snapshot_ = std::make_shared<Snapshot>();
    std::atomic<uint64_t> generation_;
};

// Drops expired promises, then the soonest expiring ones beyond `limit`.
void PruneLearned(LearnedPromises& promises, int64_t now, std::size_t limit);

}  // namespace hbt
