#include "https_check/https_checker.h"

#include <chrono>
#include <ctime>
#include <new>
#include <system_error>
#include <thread>

#include "hsts/hsts_host.h"
#include "https_check/host_resolver.h"
#include "https_check/https_cache_file.h"
#include "https_check/https_check_job.h"
#include "https_check/ssl_socket.h"
#include "log/log.h"
#include "rules/preferences.h"
#include "tls_inspect/cipher_policy.h"
#include "tls_inspect/tls_version_names.h"

namespace hbt {
namespace {

constexpr int64_t kFreshSeconds = 300;

// An answer of the current second is fresh too, or requests coming faster
// than one a second would each start a check.
bool IsFresh(const HttpsCheckResult& answer, int64_t now) {
    const int64_t age = now - answer.checkTime;
    return age >= 0 && age < kFreshSeconds;
}

// An answer from an older file knows no handshake, so Strict Mode cannot
// judge it and checks the host again.
bool UsableInMode(const HttpsCheckResult& answer, bool bestEffort) {
    return bestEffort || !answer.available || answer.tlsVersion != 0;
}

std::string CacheKey(const std::string& checkedHost, const std::string& requestedHost) {
    return checkedHost + "/" + requestedHost;
}

// The check's last step in Strict Mode. It runs whenever an answer is handed
// out, fresh or cached, so that a change of the policy or of the mode counts
// at once; the cache itself keeps the answer without it.
void AddTlsPolicyStep(HttpsCheckResult& result, const Preferences& preferences) {
    if (preferences.allowInsecureIfNoHttps || !result.available) return;
    std::string refused;
    switch (JudgeNegotiatedTls(preferences, result.tlsVersion, result.cipherSuite)) {
        case TlsPolicyVerdict::kAllowed: result.messages.push_back({true, true, "TLS policy check succeeded"}); return;
        case TlsPolicyVerdict::kVersionRefused: refused = TlsVersionName(result.tlsVersion); break;
        case TlsPolicyVerdict::kCipherSuiteRefused: refused = CipherSuiteText(result.cipherSuite); break;
    }
    result.available = false;
    result.messages.push_back({true, false, "TLS policy check failed (" + refused + " is not allowed)"});
}

// What a job checks, and for whom.
void DescribeJob(HttpsCheckJob& job, const std::string& checkedHost, const std::string& requestedHost,
                 const SocketAddressSlot& destination, const std::wstring& applicationPath, uint64_t processId,
                 bool viaProxy, bool resolveByName) {
    job.checkedHost = checkedHost;
    job.requestedHost = requestedHost;
    job.resolveByName = resolveByName;
    job.destination = destination;
    job.applicationPath = applicationPath;
    job.processId = processId;
    job.viaProxy = viaProxy;
}

}  // namespace

uint64_t TickCount() {
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                     std::chrono::steady_clock::now().time_since_epoch())
                                     .count());
}

bool CHttpsChecker::IsRandomPathHost(const std::string& host) {
    return host == "corvant.example" || host == "www.corvant.example";
}

std::shared_ptr<CHttpsChecker> CHttpsChecker::Create(HttpsCheckerOptions options) {
    return std::shared_ptr<CHttpsChecker>(new CHttpsChecker(std::move(options)));
}

CHttpsChecker& CHttpsChecker::Instance() {
    // Workers keep the checker alive through their own references; the
    // process's reference ends at exit.
    static const std::shared_ptr<CHttpsChecker> instance = Create();
    return *instance;
}

CHttpsChecker::CHttpsChecker(HttpsCheckerOptions options) : options_(std::move(options)) {
    if (options_.cachePath.empty() && options_.useCache) options_.cachePath = DefaultHttpsCachePath();
    if (options_.useCache) promises_.SetFiles(HstsFilesBeside(options_.cachePath));
}

CHttpsChecker::~CHttpsChecker() { checksStopping_ = true; }

int64_t CHttpsChecker::Now() const {
    return options_.clock ? options_.clock() : static_cast<int64_t>(std::time(nullptr));
}

void CHttpsChecker::SetCacheFilePath(const std::string& path) {
    {
        std::lock_guard guard(lock_);
        options_.cachePath = path;
    }
    if (options_.useCache) promises_.SetFiles(HstsFilesBeside(path));
}

std::optional<HstsPromise> CHttpsChecker::FindPromise(const std::string& host) { return promises_.Find(host, Now()); }

void CHttpsChecker::KeepPromise(const HttpsCheckJob& job, const StsDirectives& promise) {
    if (!options_.useCache || checksStopping_) return;
    const int64_t now = Now();
    CLog line(kLogVerbose, job.processId, job.applicationPath.c_str());
    line << LogUrl{"hbturl", job.checkedHost, "", "", 0};
    if (promise.maxAge == 0) {
        if (promises_.Forget(job.checkedHost, now) == HstsChange::kDone) line << " - HTTPS promise withdrawn by the site";
        return;
    }
    const int64_t expiry = now + static_cast<int64_t>(promise.maxAge);
    promises_.Keep(job.checkedHost, expiry, promise.includeSubDomains, now);
    line << " - HTTPS promised by the site until " << PromiseExpiryText(expiry)
         << (promise.includeSubDomains ? " with subdomains" : "");
}

bool CHttpsChecker::Check(HttpsCheckResult& result, const std::string& checkedHost, const std::string& requestedHost,
                          const SocketAddressSlot& destination, const std::wstring& applicationPath,
                          uint64_t processId, bool viaProxy, const Preferences& preferences, bool resolveByName) {
    const bool bestEffort = preferences.allowInsecureIfNoHttps;
    result.available = false;
    bool found = LookupCache(result, checkedHost, requestedHost);
    if (found && !UsableInMode(result, bestEffort)) found = false;
    if (found) {
        if (IsFresh(result, Now())) {
            AddTlsPolicyStep(result, preferences);
            return true;
        }
    } else {
        result = HttpsCheckResult{};
    }
    auto addError = [&](const char* text) {
        if (!found) {
            result.available = false;
            result.checkTime = Now();
        }
        result.messages.push_back({true, false, text});
        return found;
    };

    std::shared_ptr<HttpsCheckJob> job;
    try {
        job = std::make_shared<HttpsCheckJob>();
    } catch (const std::bad_alloc&) {
        return addError("Could not allocate memory (TA) while update.");
    }
    std::unique_lock<std::mutex> jobLock;
    try {
        DescribeJob(*job, checkedHost, requestedHost, destination, applicationPath, processId, viaProxy, resolveByName);
        job->stepTimeout = bestEffort ? options_.bestEffortStepTimeoutMs : options_.strictStepTimeoutMs;
        job->deadline = TickCount() + job->stepTimeout;
        if (!found) {
            job->waiting = true;
            jobLock = std::unique_lock(job->lock);
            job->callerResult = &result;
        }
    } catch (const std::bad_alloc&) {
        return addError("Could not allocate memory (m) while update.");
    }
    std::shared_ptr<HttpsCheckJob> running;
    std::optional<HttpsCheckResult> stored;
    try {
        running = JoinOrRegisterCheck(CacheKey(checkedHost, requestedHost), job, bestEffort, stored);
    } catch (const std::bad_alloc&) {
        job->callerResult = nullptr;
        return addError("Could not allocate memory (m) while update.");
    }
    if (stored) {
        if (jobLock.owns_lock()) jobLock.unlock();
        job->callerResult = nullptr;
        result = std::move(*stored);
        AddTlsPolicyStep(result, preferences);
        return true;
    }
    if (running) {
        if (jobLock.owns_lock()) jobLock.unlock();
        job->callerResult = nullptr;
        if (!found) return WaitForOtherCheck(*running, result, preferences);
        AddTlsPolicyStep(result, preferences);  // the running check refreshes the entry
        return true;
    }
    try {
        StartWorker(job);
    } catch (const std::system_error&) {
        job->callerResult = nullptr;
        EndCheckInFlight(*job);
        return addError("Could not allocate thread while update.");
    }
    if (found) {
        AddTlsPolicyStep(result, preferences);
        return true;
    }

    // The worker moves the deadline at every step, so it is read anew.
    const auto slice = std::chrono::milliseconds(job->stepTimeout / 10);
    while (!job->done && TickCount() < job->deadline) job->wakeUp.wait_for(jobLock, slice);
    job->callerResult = nullptr;

    if (job->done) {
        if (!result.messages.empty() && result.messages.back().final) {
            result.available = result.messages.back().ok;
            AddTlsPolicyStep(result, preferences);
        } else {
            result.available = false;
            result.messages.push_back(
                {true, false, result.messages.empty() ? "Check timeout" : "Check failed with unknown error"});
            result.checkTime = Now();
        }
    } else {
        result.available = false;
        result.messages.push_back({true, false, "Check failed with timeout"});
        result.checkTime = Now();
        StoreResult(result, checkedHost, requestedHost);
        CLog(kLogVerbose) << "Check failed with timeout";
    }
    return false;
}

void CHttpsChecker::StartWorker(const std::shared_ptr<HttpsCheckJob>& job) {
    std::thread([self = shared_from_this(), job] { self->RunCheck(job); }).detach();
}

void CHttpsChecker::CheckInBackground(const std::string& checkedHost, const std::string& requestedHost,
                                      const SocketAddressSlot& destination, const std::wstring& applicationPath,
                                      uint64_t processId, bool viaProxy, const Preferences& preferences,
                                      bool resolveByName) {
    if (checksStopping_) return;
    try {
        auto job = std::make_shared<HttpsCheckJob>();
        DescribeJob(*job, checkedHost, requestedHost, destination, applicationPath, processId, viaProxy, resolveByName);
        job->stepTimeout = preferences.allowInsecureIfNoHttps ? options_.bestEffortStepTimeoutMs
                                                              : options_.strictStepTimeoutMs;
        job->deadline = TickCount() + job->stepTimeout;
        // A check running, or one of the last five minutes, has renewed the promise already.
        std::optional<HttpsCheckResult> stored;
        if (JoinOrRegisterCheck(CacheKey(checkedHost, requestedHost), job, preferences.allowInsecureIfNoHttps, stored) ||
            stored) {
            return;
        }
        try {
            StartWorker(job);
        } catch (const std::system_error&) {
            EndCheckInFlight(*job);
        }
    } catch (const std::bad_alloc&) {
        // No refresh this time; the next request asks again.
    }
}

std::shared_ptr<HttpsCheckJob> CHttpsChecker::JoinOrRegisterCheck(const std::string& key,
                                                                 const std::shared_ptr<HttpsCheckJob>& job,
                                                                 bool bestEffort,
                                                                 std::optional<HttpsCheckResult>& stored) {
    if (!options_.useCache) return nullptr;  // no cache to hand the answer over
    std::lock_guard guard(lock_);
    if (const auto inFlight = checksInFlight_.find(key); inFlight != checksInFlight_.end()) return inFlight->second;
    if (const auto cached = checkCache_.find(key); cached != checkCache_.end() && IsFresh(cached->second, Now()) &&
                                                   UsableInMode(cached->second, bestEffort)) {
        stored = cached->second;
        return nullptr;
    }
    checksInFlight_.emplace(key, job);
    return nullptr;
}

void CHttpsChecker::EndCheckInFlight(const HttpsCheckJob& job) {
    std::lock_guard guard(lock_);
    const auto entry = checksInFlight_.find(CacheKey(job.checkedHost, job.requestedHost));
    if (entry != checksInFlight_.end() && entry->second.get() == &job) checksInFlight_.erase(entry);
}

// The running check stores its answer before it counts as done, so the
// cache holds it then.
bool CHttpsChecker::WaitForOtherCheck(HttpsCheckJob& running, HttpsCheckResult& result,
                                      const Preferences& preferences) {
    {
        std::unique_lock jobLock(running.lock);
        const auto slice = std::chrono::milliseconds(running.stepTimeout / 10 + 1);
        while (!running.done && TickCount() < running.deadline) running.wakeUp.wait_for(jobLock, slice);
    }
    const bool found = LookupCache(result, running.checkedHost, running.requestedHost);
    if (found && (preferences.allowInsecureIfNoHttps || !result.available || result.tlsVersion != 0)) {
        AddTlsPolicyStep(result, preferences);
        return false;
    }
    result = HttpsCheckResult{};
    result.messages.push_back({true, false, "Check failed with timeout"});
    result.checkTime = Now();
    return false;
}

void CHttpsChecker::UpdateThreadResult(HttpsCheckJob& job, const HttpsCheckResult& result,
                                       const std::optional<CheckMessage>& message) {
    if (!job.waiting) return;
    std::lock_guard guard(job.lock);
    if (job.callerResult == nullptr) return;
    *job.callerResult = result;
    if (message) job.callerResult->messages.push_back(*message);
}

std::shared_ptr<int> CHttpsChecker::RegisterRunningCheck(const std::shared_ptr<CSslSocket>& socket) {
    if (checksStopping_) return nullptr;
    std::lock_guard guard(lock_);
    if (checksStopping_) return nullptr;
    std::shared_ptr<int> token = aliveToken_.lock();
    if (!token) {
        token = std::make_shared<int>(0);
        aliveToken_ = token;
    }
    runningChecks_[socket.get()] = socket;
    return token;
}

void CHttpsChecker::UnregisterRunningCheck(const CSslSocket* socket) {
    std::lock_guard guard(lock_);
    if (!checksStopping_) runningChecks_.erase(socket);
}

void CHttpsChecker::StopChecks() {
    std::lock_guard guard(lock_);
    checksStopping_ = true;
    for (auto& [address, socket] : runningChecks_) socket->Shutdown();
    runningChecks_.clear();
}

bool CHttpsChecker::WaitForRunningChecks() {
    auto noneLeft = [this] {
        std::lock_guard guard(lock_);
        return aliveToken_.expired();
    };
    for (int turn = 0; turn < 10; ++turn) {
        if (noneLeft()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return noneLeft();
}

bool CHttpsChecker::LookupCache(HttpsCheckResult& result, const std::string& checkedHost,
                                const std::string& requestedHost) {
    if (!options_.useCache) return false;
    const std::string key = CacheKey(checkedHost, requestedHost);
    std::lock_guard guard(lock_);
    if (!cacheFileLoaded_) {
        cacheFileLoaded_ = true;
        LoadCacheFile();
    }
    if (checksStopping_) return false;
    const auto entry = checkCache_.find(key);
    if (entry == checkCache_.end()) return false;
    result = entry->second;
    return true;
}

void CHttpsChecker::StoreResult(HttpsCheckResult& result, const std::string& checkedHost,
                                const std::string& requestedHost) {
    if (checksStopping_ || !options_.useCache) return;
    const std::string key = CacheKey(checkedHost, requestedHost);
    std::lock_guard guard(lock_);
    const auto entry = checkCache_.find(key);
    const bool unchanged = entry != checkCache_.end() && entry->second.available == result.available &&
                           entry->second.tlsVersion == result.tlsVersion &&
                           entry->second.cipherSuite == result.cipherSuite;
    result.checkTime = Now();
    if (checksStopping_) return;
    checkCache_[key] = result;
    if (!unchanged) SaveCacheFile();
}

bool CHttpsChecker::LoadCacheFile() {
    if (checksStopping_) return false;
    HttpsCacheAnswers answers;
    if (!LoadHttpsCacheFile(options_.cachePath, answers)) return false;
    for (const auto& [key, answer] : answers) {
        if (checksStopping_) return false;
        checkCache_[key] = HttpsCheckResult{
            answer.available, 0, {{true, true, "Result from file cache"}}, answer.tlsVersion, answer.cipherSuite};
    }
    return true;
}

bool CHttpsChecker::SaveCacheFile() {
    if (checksStopping_) return false;
    HttpsCacheAnswers answers;
    for (const auto& [key, result] : checkCache_) answers[key] = {result.available, result.tlsVersion, result.cipherSuite};
    return SaveHttpsCacheFile(options_.cachePath, answers);
}

bool CHttpsChecker::Resolve(const std::string& host, int family, SocketAddressSlot& address, int& error) const {
    return options_.resolver ? options_.resolver(host, family, address, error)
                             : ResolveHostName(host, family, address, error);
}

}  // namespace hbt
