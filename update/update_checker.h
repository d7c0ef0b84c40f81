#pragma once
// The update check: one at a time, on a thread of its own, it asks the update
// server about the running version, writes "lastUpdateCheck", logs what it
// found and hands a verdict worth showing to the interface.
#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

namespace hbt {

class SettingsStore;

// What the interface shows: the out-of-date box, or the update notice.
struct UpdateVerdict {
    bool outOfDate = false;
    std::string downloadAddress;
};

// The update server's base address ends in the path the server serves;
// HBT_UPDATE_URL, when set, replaces it (a mirror, a test server).
inline constexpr char kUpdateBaseAddress[] = "https://corvant.example/last_versions/windows/";
std::string UpdateBaseAddress();
// The base, a "/" unless it ends in one, the version number and "/".
std::string UpdateRequestAddress(const std::string& base, uint32_t versionNumber);

// At start-up: a normal check when `updatesCheck` is on; otherwise a silent
// one once the last check is more than ten days old (a stamp in the future
// never is). nullopt for none, else whether the check is silent.
inline constexpr int64_t kSilentCheckInterval = 864000;
std::optional<bool> StartUpCheck(bool updatesCheck, uint32_t lastUpdateCheck, int64_t now);

class UpdateChecker {
public:
    // Shows the verdict and returns once the user has dealt with it.
    using VerdictReporter = std::function<void(const UpdateVerdict&)>;

    UpdateChecker() = default;
    UpdateChecker(const UpdateChecker&) = delete;
    UpdateChecker& operator=(const UpdateChecker&) = delete;
    ~UpdateChecker() { Stop(); }

    // Starts a check of the running version; false at once when one runs
    // already or the checker has stopped. `store` takes "lastUpdateCheck" and
    // must outlive the checker. A silent check logs and reports only an
    // out-of-date answer.
    bool Start(bool silent, SettingsStore& store, VerdictReporter reporter);
    bool Running() const { return busy_.load(std::memory_order_acquire); }
    // Ends a running check without a verdict, waits for its thread and starts no more.
    void Stop();

private:
    void Run(bool silent, const std::string& address, SettingsStore& store, const VerdictReporter& reporter);

    std::atomic<bool> busy_{false};
    std::atomic<bool> stopping_{false};
    std::mutex workerLock_;  // guards worker_
    std::thread worker_;
};

}  // namespace hbt
