#pragma once
// CHbtCore: the one core object of the program. It owns the proxy's listening
// sockets, the working preferences and the statistics counters, and the
// owners of the redirect records (which tie accepted connections to where
// their clients were going), the connection counts, the temporary exclusions
// and the active connections; its methods of those names forward to them.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <ctime>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "core/active_connections.h"
#include "core/connection_counts.h"
#include "core/core_user_interface.h"
#include "core/hbt_statistics.h"
#include "core/proxy_capacity.h"
#include "core/redirect_table.h"
#include "core/temporary_exclusion.h"
#include "engine_protocol/socket_address_slot.h"
#include "engine_client/nfe_device_client.h"
#include "http/connection_description.h"
#include "http/http_request.h"
#include "platform/ready_threads.h"
#include "platform/socket_calls.h"
#include "rules/preferences.h"
#include "update/update_checker.h"

namespace hbt {

class CSafeSocket;
struct AcceptTurns;
class CEngineEventLoop;
class CHttpsChecker;
class CoreEngineEventHost;
class SettingsStore;

// Connection threads only read a request head and relay through a 20000-byte
// buffer; a small stack keeps thousands of open relays cheap.
inline constexpr std::size_t kConnectionThreadStackSize = 256 * 1024;
// Connection threads kept waiting between bursts, and how long the others
// linger once idle: a connection starts on a ready thread.
inline constexpr std::size_t kKeptIdleConnectionThreads = 16;
inline constexpr std::chrono::seconds kIdleConnectionThreadLinger{10};
inline constexpr uint64_t connectionLimit = 50;
inline constexpr int kListenBacklog = 100;

class CHbtCore {
public:
    // Modes of ApplyPreferences.
    static constexpr int kApplyOnly = 0;
    static constexpr int kApplyAndSave = 1;

    CHbtCore();
    CHbtCore(const CHbtCore&) = delete;
    CHbtCore& operator=(const CHbtCore&) = delete;
    ~CHbtCore();

    // Where an accepted proxy connection was going before the kernel's
    // address translation redirected it; nullopt when it was not redirected.
    using OriginalDestinationLookup = std::function<std::optional<SocketAddressSlot>(SocketHandle)>;

    // Set before Start: the front end, where preferences are stored (the
    // user's settings file unless set), how the engine's device is opened
    // (its Unix socket unless set) and how a redirected connection's
    // destination is found (the kernel's translation record unless set).
    void SetUserInterface(CoreUserInterface* userInterface) { userInterface_ = userInterface; }
    void SetSettingsStore(std::shared_ptr<SettingsStore> store) { settingsStore_ = std::move(store); }
    void SetEngineDeviceOpener(NfeDeviceClient::DeviceOpener opener) { deviceOpener_ = std::move(opener); }
    void SetOriginalDestinationLookup(OriginalDestinationLookup lookup) { originalDestination_ = std::move(lookup); }
    // Also set before Start, for tests: how many client connections the proxy
    // holds before new connects go direct (from the descriptor limit unless
    // set), and how long a client may stay silent while its request head is read.
    void SetProxyCapacity(uint64_t connections) { proxyCapacity_.SetCapacity(connections); }
    void SetHeadIdleLimit(std::chrono::milliseconds limit) { headIdleLimit_.store(limit); }
    // Also before Start, for tests and benchmarks: the HTTPS checker the
    // proxy's connections ask and Stop stops (the process-wide one unless
    // set). A set checker keeps the cache file it was made with.
    void SetHttpsChecker(std::shared_ptr<CHttpsChecker> checker) { httpsChecker_ = std::move(checker); }

    // Raises the descriptor limit as far as allowed and starts the start-up
    // sequence on its own thread.
    void Start();
    // Replaces the working preferences; mode kApplyAndSave also configures
    // the engine, logs the ON/OFF state and saves. May clear `enabled` of the
    // given record while start-up is in progress.
    bool ApplyPreferences(Preferences& changed, int mode);
    // Takes up a change of the stored preferences made outside the program
    // (hbtctl, an editor): reads the store again and applies what changed as
    // a change from the interface would, logging the names of the changed
    // values. Nothing happens when nothing changed, or before start-up has
    // read the store (it reads the change then).
    void TakeUpStoredPreferences();
    // Puts the host at the top of the excluded hosts unless it is covered
    // already; false with the list syntax's message when it is refused.
    bool AddHostToExclusions(const std::string& host, std::wstring& message);
    // A host or application link of the log was clicked: asks whether to add
    // the name (UTF-8) to its exclusion list, or to remove it when it is
    // covered, and applies and saves a Yes. False when the list refused the
    // change (the error box has said why). Interface thread only.
    bool PromptHostExclusion(const std::string& host);
    bool PromptApplicationExclusion(const std::string& name);

    bool PreferencesLoaded() const { return preferencesLoaded.load(); }
    bool Halted() const { return halted.load(); }
    void SetDisplayOff(bool off) { displayOff_ = off; }
    bool DisplayOff() const { return displayOff_.load(); }

    // Listening sockets. On failure `fatalMessage` says why.
    bool OpenProxyListeners(std::wstring& fatalMessage);
    bool OpenControlListener(std::wstring& fatalMessage);

    // Accepts over one listener until it is closed or the core stops. The
    // connection thread that accepts a connection serves it itself, having
    // handed the accepting on to another ready one: no connection waits for a
    // thread to wake. Returns once the accepting has ended.
    void AcceptConnections(std::shared_ptr<CSafeSocket> listener);
    // Body of each connection thread.
    void ProcessConnection(std::shared_ptr<CSafeSocket> socket);
    // Claims the record of a connection from `peer` that was going to
    // `destination` into `result`; leaves `result` as it was when none is left.
    void FindRedirectTarget(const SocketAddressSlot& peer, const SocketAddressSlot& destination, RedirectRecord& result);
    // Appended by the engine event loop before it redirects a connect.
    RedirectRecordId AddRedirectRecord(RedirectRecord record);
    // Taken back by the engine event loop when the engine was not told to redirect.
    void WithdrawRedirectRecord(RedirectRecordId id) { redirectRecords_.Withdraw(id); }
    // When the engine restarts after stopping on its own, or dies, no record can be claimed any more.
    void ClearRedirectRecords();

    // Temporary exclusions, each change followed by PushRulesToEngine.
    bool AddTemporaryExclusion(const SocketAddressSlot& address);
    bool RemoveTemporaryExclusion(const SocketAddressSlot& address);
    TemporaryExclusions TemporaryExclusionsCopy() const { return temporaryExclusions_.Copy(); }
    // Same family and address as an address being connected to by the proxy.
    bool IsTemporarilyExcluded(const SocketAddressSlot& address) const {
        return temporaryExclusions_.IsExcluded(address);
    }

    // Starts an update check on its own thread; false when one runs already.
    bool StartUpdateCheck(bool silent);

    // Sends the engine its configuration (this process and the stream
    // patterns) and the ports whose connects it is to hold for us; true when
    // it was accepted or no engine is open.
    bool PushRulesToEngine();
    bool PushPortRulesToEngine();

    // The engine event loop lost the engine: the product is OFF (halted)
    // until ReopenEngine succeeds, which switches it back as it was.
    void HaltForLostEngine();
    // Start-up's sequence on a device opened again; false (with the device
    // closed) while no engine takes it.
    bool ReopenEngine();
    // Waits as long as given, or less when the core stops meanwhile.
    void WaitUnlessStopped(std::chrono::milliseconds duration);

    // The working preferences: shared, never changed, never null.
    std::shared_ptr<const Preferences> PreferencesSnapshot() const;
    // The one place the working record changes, as a whole, so that readers
    // never see half of an old and half of a new record. Returns the record it replaced.
    std::shared_ptr<const Preferences> ReplacePreferences(Preferences replacement);

    // Orderly shutdown; called once, on the interface thread.
    void Stop();

    bool Running() const { return running.load(); }
    HbtStatistics& Statistics() { return statistics; }
    std::shared_ptr<CSafeSocket> Ipv4Listener() const;
    std::shared_ptr<CSafeSocket> Ipv6Listener() const;
    std::shared_ptr<CSafeSocket> ControlListener() const;
    SocketAddressSlot Ipv4ProxyAddress() const { return ipv4ProxyAddress; }
    SocketAddressSlot Ipv6ProxyAddress() const { return ipv6ProxyAddress; }
    uint16_t ControlPortHostOrder() const;
    // Connections of one process to one destination in progress now.
    uint64_t ConnectionsInProgress(uint64_t processId, const DestinationKey& key) const {
        return connectionCounts_.InProgress(processId, key);
    }
    uint64_t UnresolvedConnections() const { return activeConnections_.Unresolved(); }
    uint64_t OpenConnections() const { return activeConnections_.Open(); }
    // Asked by the engine event loop for each connect it would redirect; false while the proxy is full.
    bool AdmitToProxy() { return proxyCapacity_.Admit(activeConnections_.Open()); }

    // The control endpoint's thread body and one request.
    void AcceptControlConnections();
    void ProcessControlConnection(std::shared_ptr<CSafeSocket> socket);

private:
    void RunMainThread();
    void WriteBanner();
    // The start-up's decision on the update check.
    void DecideUpdateCheck(const Preferences& local);
    void ReportFatalError(const std::wstring& message);
    // Sends the configuration and starts the engine; on failure `fatalMessage` says why.
    bool ConfigureAndStartEngine(std::wstring& fatalMessage);
    // The product goes ON once start-up is done, unless the engine was lost meanwhile.
    void SwitchOnAfterStartUp();
    void RefreshUserInterface();
    CHttpsChecker& HttpsChecker() const;
    SettingsStore& SettingsStoreForCore();
    // One turn of accepting over a listener: accepts until it has a
    // connection it can serve with the accepting handed on, or the end.
    void LeadAccepting(const std::shared_ptr<AcceptTurns>& turns);
    void StartConnectionThread(std::shared_ptr<CSafeSocket> socket);
    void RunConnectionThread(const std::shared_ptr<CSafeSocket>& socket);
    // The destination a proxy connection was redirected from; nullopt for a
    // connection made to the proxy directly.
    std::optional<SocketAddressSlot> RedirectedDestination(const CSafeSocket& socket) const;
    void HandleResolvedConnection(const std::shared_ptr<CSafeSocket>& socket, const ConnectionDescription& connection,
                                  const SocketAddressSlot& peer);

    HbtStatistics statistics;
    RedirectTable redirectRecords_;
    ConnectionCounts connectionCounts_;
    TemporaryExclusionTable temporaryExclusions_;
    ActiveConnections activeConnections_;
    ProxyCapacity proxyCapacity_;
    // Set while connections are served.
    std::atomic<std::chrono::milliseconds> headIdleLimit_{HttpRequest::kHeadIdleLimit};
    std::shared_ptr<CHttpsChecker> httpsChecker_;  // null: the process-wide one

    // Guards the three listener pointers; never held across socket calls. The
    // proxy addresses are set once, before the engine can redirect to them.
    mutable std::mutex listenersLock_;
    std::shared_ptr<CSafeSocket> ipv4Listener;
    std::shared_ptr<CSafeSocket> ipv6Listener;
    SocketAddressSlot ipv4ProxyAddress;
    SocketAddressSlot ipv6ProxyAddress;
    std::shared_ptr<CSafeSocket> controlListener;
    std::atomic<uint16_t> controlPort{0};  // network byte order; read by connection threads

    mutable std::mutex preferencesLock_;  // guards the pointer only
    // Held by the core's own changes from copying the working record until
    // the changed copy is applied, so that none undoes another's change;
    // taken before engineStateLock_.
    std::mutex preferencesEditLock_;
    std::mutex portRulesLock_;  // the last snapshot's ports reach the engine last
    std::shared_ptr<const Preferences> preferences_ = std::make_shared<const Preferences>();

    std::atomic<bool> running{true};
    std::mutex stopLock_;  // with stopSignal_, ends WaitUnlessStopped
    std::condition_variable stopSignal_;
    std::thread engineEventThread;
    std::thread mainThread;

    std::atomic<bool> preferencesLoaded{false};
    std::atomic<bool> halted{false};
    // Guards the switch between start-up, a lost engine and its return.
    std::mutex engineStateLock_;
    bool engineLost_ = false;
    bool enabledBeforeHalt_ = false;
    std::atomic<bool> displayOff_{false};
    CoreUserInterface* userInterface_ = nullptr;
    std::shared_ptr<SettingsStore> settingsStore_;
    NfeDeviceClient::DeviceOpener deviceOpener_;
    OriginalDestinationLookup originalDestination_ = OriginalDestination;
    std::unique_ptr<NfeDeviceClient> engineClient_;
    std::unique_ptr<CoreEngineEventHost> engineHost_;
    std::unique_ptr<CEngineEventLoop> engineEventLoop_;
    std::thread controlThread_;
    UpdateChecker updateChecker_;  // its check uses the settings store and the interface
    // Last, so that it goes first: its threads run connections of this core.
    ReadyThreads connectionThreads_{kConnectionThreadStackSize, kKeptIdleConnectionThreads,
                                    kIdleConnectionThreadLinger};
};

// The control endpoint's answers; `now` is the time their footers show.
std::string BuildControlResultPage(const std::string& host, bool covered, const std::wstring& message,
                                   const std::string& originalUrl, std::time_t now);
std::string BuildControlBadRequestPage(std::time_t now);

}  // namespace hbt
