#include "update/update_checker.h"

#include <cstdlib>
#include <ctime>

#include "log/log.h"
#include "platform/settings_store.h"
#include "platform/small_download.h"
#include "rules/preferences_storage.h"
#include "update/update_answer.h"
#include "update/version.h"

namespace hbt {
namespace {

void LogAndReport(bool found, bool silent, const UpdateAnswer& answer, const std::string& error,
                  const UpdateChecker::VerdictReporter& reporter) {
    if (!found) {
        if (!silent) CLog(kLogVerbose) << "(Harbinet Update Checker) - Could not check for updates. " << error;
        return;
    }
    if (answer.outOfDate) {
        CLog(kLogError) << "This version is out of date and no longer supported. Please update at "
                        << answer.downloadAddress;
        reporter(UpdateVerdict{true, answer.downloadAddress});
    } else if (silent) {
        return;
    } else if (!answer.updateAvailable) {
        CLog(kLogVerbose) << "(Harbinet Update Checker) - Your version is up to date.";
    } else {
        CLog(kLogNormal) << "(Harbinet Update Checker) - Update is available at " << answer.downloadAddress;
        reporter(UpdateVerdict{false, answer.downloadAddress});
    }
}

}  // namespace

std::string UpdateBaseAddress() {
    const char* mirror = std::getenv("HBT_UPDATE_URL");
    return mirror != nullptr && *mirror != '\0' ? mirror : kUpdateBaseAddress;
}

std::string UpdateRequestAddress(const std::string& base, uint32_t versionNumber) {
    const bool slash = !base.empty() && base.back() == '/';
    return base + (slash ? "" : "/") + std::to_string(versionNumber) + "/";
}

std::optional<bool> StartUpCheck(bool updatesCheck, uint32_t lastUpdateCheck, int64_t now) {
    if (updatesCheck) return false;
    if (now - static_cast<int64_t>(lastUpdateCheck) > kSilentCheckInterval) return true;
    return std::nullopt;
}

bool UpdateChecker::Start(bool silent, SettingsStore& store, VerdictReporter reporter) {
    std::lock_guard lock(workerLock_);
    if (stopping_.load() || busy_.exchange(true)) return false;
    if (worker_.joinable()) worker_.join();  // the last check has cleared the flag and is leaving
    worker_ = std::thread([this, silent, address = UpdateRequestAddress(UpdateBaseAddress(), VersionNumber()), &store,
                           reporter = std::move(reporter)] { Run(silent, address, store, reporter); });
    return true;
}

void UpdateChecker::Stop() {
    std::thread worker;
    {
        std::lock_guard lock(workerLock_);
        stopping_ = true;
        worker.swap(worker_);
    }
    if (worker.joinable()) worker.join();
}

void UpdateChecker::Run(bool silent, const std::string& address, SettingsStore& store,
                        const VerdictReporter& reporter) {
    SmallDownloadOptions options;
    options.cancelled = [this] { return stopping_.load(); };
    std::string body;
    std::string error;
    UpdateAnswer answer;
    const bool found = DownloadSmallFile(address, body, error, options) &&
                       ParseUpdateAnswer(body, VersionNumber(), answer, error);
    // A check cut short by the program's end has no outcome: it is due again at the next start.
    if (!stopping_.load()) {
        store.SetInt(kSectionSettings, "lastUpdateCheck", static_cast<int32_t>(static_cast<uint32_t>(std::time(nullptr))));
        store.Save();
        LogAndReport(found, silent, answer, error, reporter);
    }
    busy_.store(false, std::memory_order_release);
}

}  // namespace hbt
