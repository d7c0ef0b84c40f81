#pragma once
// CHttpsChecker answers whether a host serves HTTPS that works: connect to
// port 443 (directly or through the client's proxy), TLS handshake, the
// certificate, and a GET / that does not redirect straight back to plain
// http:// on the same host, and in Strict Mode the TLS policy for what the
// handshake negotiated. Each check runs on a worker thread of its own;
// the caller waits with a time limit per step. Answers are cached for five
// minutes and their yes/no (with the negotiated version and suite) kept in
// https_cache.xml. The HTTPS promises sites make in their answers are kept in
// the promise store beside that file.
#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "engine_protocol/socket_address_slot.h"
#include "hsts/hsts_store.h"
#include "https_check/https_check_result.h"

namespace hbt {

class CSslSocket;
struct HttpsCheckJob;
struct Preferences;

// Looks a host name up for the address step. On success fills address (port
// left to the caller); on failure fills error with the WinSock number.
using HostResolver = std::function<bool(const std::string& host, int family, SocketAddressSlot& address, int& error)>;

struct HttpsCheckerOptions {
    std::string cachePath;  // empty: the documents folder's Harbinet/https_cache.xml
    bool useCache = true;   // false: no lookups, no stores, no file, and no promises kept
    uint64_t bestEffortStepTimeoutMs = 3000;
    uint64_t strictStepTimeoutMs = 9000;
    // Limit of every single socket wait of a worker, so that a worker whose
    // caller has given up does not wait on a silent server for ever.
    unsigned workerIoTimeoutMs = 60000;
    uint16_t httpsPort = 443;
    std::function<int64_t()> clock;  // seconds since 1970; empty: the C library clock
    HostResolver resolver;           // empty: getaddrinfo
};

class CHttpsChecker : public std::enable_shared_from_this<CHttpsChecker> {
public:
    // Hosts whose response check asks for a random path.
    static bool IsRandomPathHost(const std::string& host);

    static std::shared_ptr<CHttpsChecker> Create(HttpsCheckerOptions options = {});
    // The process-wide checker, made on first use.
    static CHttpsChecker& Instance();
    ~CHttpsChecker();

    // True when the answer came from the cache (fresh, or old while a fresh
    // check runs in the background). At most one check per host runs at a
    // time: a caller without a cached answer that finds one running waits
    // for its result. Best-Effort Mode (allowInsecureIfNoHttps)
    // shortens the step limits; in Strict Mode an answer that passed every
    // step is judged by the TLS policy of the preferences as a last step.
    bool Check(HttpsCheckResult& result, const std::string& checkedHost, const std::string& requestedHost,
               const SocketAddressSlot& destination, const std::wstring& applicationPath, uint64_t processId,
               bool viaProxy, const Preferences& preferences, bool resolveByName);

    bool LookupCache(HttpsCheckResult& result, const std::string& checkedHost, const std::string& requestedHost);
    // Stamps the result with the current time and keeps it; the file is
    // rewritten when the key is new or the answer flipped.
    void StoreResult(HttpsCheckResult& result, const std::string& checkedHost, const std::string& requestedHost);

    // Shutdown, first half: from now on the cache is neither read nor
    // written, no worker starts a check, and running checks have their
    // sockets shut down.
    void StopChecks();
    // Shutdown, second half: true once no worker is left (up to 1 s).
    bool WaitForRunningChecks();
    bool ChecksStopping() const { return checksStopping_; }

    void SetCacheFilePath(const std::string& path);

    // The promises kept beside the cache file.
    HstsStore& Promises() { return promises_; }
    // The live promise that covers the host, as of the checker's clock.
    std::optional<HstsPromise> FindPromise(const std::string& host);
    int64_t PromiseClock() const { return Now(); }
    // Starts a check whose answer only refreshes the cache and the promises,
    // unless one for the same hosts runs already; nobody waits for it.
    void CheckInBackground(const std::string& checkedHost, const std::string& requestedHost,
                           const SocketAddressSlot& destination, const std::wstring& applicationPath,
                           uint64_t processId, bool viaProxy, const Preferences& preferences, bool resolveByName);

private:
    explicit CHttpsChecker(HttpsCheckerOptions options);

    int64_t Now() const;
    void RunCheck(const std::shared_ptr<HttpsCheckJob>& job);
    // The check running for key, or null after registering job as it. A check
    // that ended after the caller's lookup has stored its answer by then: when
    // that answer is fresh and usable in this mode it lands in `stored`, and
    // nothing is registered.
    std::shared_ptr<HttpsCheckJob> JoinOrRegisterCheck(const std::string& key,
                                                       const std::shared_ptr<HttpsCheckJob>& job, bool bestEffort,
                                                       std::optional<HttpsCheckResult>& stored);
    void EndCheckInFlight(const HttpsCheckJob& job);
    bool WaitForOtherCheck(HttpsCheckJob& running, HttpsCheckResult& result, const Preferences& preferences);
    void UpdateThreadResult(HttpsCheckJob& job, const HttpsCheckResult& result,
                            const std::optional<CheckMessage>& message);
    std::shared_ptr<int> RegisterRunningCheck(const std::shared_ptr<CSslSocket>& socket);
    void UnregisterRunningCheck(const CSslSocket* socket);
    bool LoadCacheFile();
    bool SaveCacheFile();
    bool Resolve(const std::string& host, int family, SocketAddressSlot& address, int& error) const;
    // Keeps the promise (or its withdrawal) a checked host's answer made.
    void KeepPromise(const HttpsCheckJob& job, const StsDirectives& promise);
    void StartWorker(const std::shared_ptr<HttpsCheckJob>& job);

    friend class HttpsCheckRun;

    HttpsCheckerOptions options_;
    std::mutex lock_;
    std::map<std::string, HttpsCheckResult> checkCache_;
    std::map<std::string, std::shared_ptr<HttpsCheckJob>> checksInFlight_;  // by cache key
    bool cacheFileLoaded_ = false;
    std::weak_ptr<int> aliveToken_;
    std::map<const CSslSocket*, std::shared_ptr<CSslSocket>> runningChecks_;
    std::atomic<bool> checksStopping_{false};
    HstsStore promises_;
};

}  // namespace hbt
