#pragma once
// CHbtCore: the one core object of the program. It owns the proxy's listening
// sockets, the redirect records that tie accepted connections to where their
// clients were going, the connection counts, the temporary exclusions, the
// working preferences and the statistics counters.
#include <atomic>
#include <cstdint>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/hbt_statistics.h"
#include "core/redirect_record.h"
#include "core/temporary_exclusion.h"
#include "engine_protocol/socket_address_slot.h"
#include "http/connection_description.h"
#include "rules/preferences.h"

namespace hbt {

class CSafeSocket;

// Connection threads only read a request head and relay through a 20000-byte
// buffer; a small stack keeps thousands of open relays cheap.
inline constexpr std::size_t kConnectionThreadStackSize = 256 * 1024;
inline constexpr uint64_t connectionLimit = 50;
inline constexpr int kListenBacklog = 100;

class CHbtCore {
public:
    CHbtCore() = default;
    CHbtCore(const CHbtCore&) = delete;
    CHbtCore& operator=(const CHbtCore&) = delete;
    ~CHbtCore();

    // Listening sockets. On failure `fatalMessage` says why.
    bool OpenProxyListeners(std::wstring& fatalMessage);
    bool OpenControlListener(std::wstring& fatalMessage);

    // Accept loop over one listener; ends when the listener is closed or the core stops.
    void AcceptConnections(std::shared_ptr<CSafeSocket> listener);
    // Body of each connection thread.
    void ProcessConnection(std::shared_ptr<CSafeSocket> socket);
    // Finds, copies and removes the oldest record matching the peer; the
    // result's destination keeps family 0 when none matched.
    void FindRedirectTarget(const SocketAddressSlot& peer, RedirectRecord& result);
    // Appended by the engine event loop before it redirects a connect.
    void AddRedirectRecord(RedirectRecord record);
    // When the engine restarts after stopping on its own, no record can be claimed any more.
    void ClearRedirectRecords();

    // Temporary exclusions, each change followed by PushRulesToEngine.
    bool AddTemporaryExclusion(const SocketAddressSlot& address);
    bool RemoveTemporaryExclusion(const SocketAddressSlot& address);
    TemporaryExclusions TemporaryExclusionsCopy() const;
    // Same family and address as an address being connected to by the proxy.
    bool IsTemporarilyExcluded(const SocketAddressSlot& address) const;

    // Sends the engine its configuration. Nothing to send to until the engine
    // client is wired in; reports success.
    bool PushRulesToEngine();

    // A copy of the working preferences, lists included.
    void CopyPreferences(Preferences& preferences) const;
    // The one place the working record changes: connection threads copying
    // it never see half of an old and half of a new record.
    void ReplacePreferences(Preferences replacement) {
        std::lock_guard lock(coreLock);
        preferences = std::move(replacement);
    }

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
    uint64_t ConnectionsInProgress(uint64_t processId, const DestinationKey& key) const;
    uint64_t UnresolvedConnections() const { return unresolvedConnections.load(); }

private:
    void RunConnectionThread(const std::shared_ptr<CSafeSocket>& socket);
    // Counts the connection in and returns the new count.
    uint64_t EnterConnection(uint64_t processId, const DestinationKey& key);
    void LeaveConnection(uint64_t processId, const DestinationKey& key);
    void HandleResolvedConnection(const std::shared_ptr<CSafeSocket>& socket, const RedirectRecord& record,
                                  const SocketAddressSlot& peer);

    HbtStatistics statistics;
    std::list<RedirectRecord> redirectRecords;
    std::shared_ptr<CSafeSocket> ipv4Listener;
    std::shared_ptr<CSafeSocket> ipv6Listener;
    SocketAddressSlot ipv4ProxyAddress;
    SocketAddressSlot ipv6ProxyAddress;
    std::shared_ptr<CSafeSocket> controlListener;
    uint16_t controlPort = 0;  // network byte order
    // Guards redirectRecords, connectionCounts, temporaryExclusions,
    // activeConnections, the listener fields and the preferences; held only
    // for short copies and list or map changes, never across socket, engine
    // or log calls.
    mutable std::mutex coreLock;
    std::atomic<bool> running{true};
    std::thread engineEventThread;
    std::thread mainThread;
    std::atomic<uint64_t> unresolvedConnections{0};
    Preferences preferences;
    std::map<uint64_t, std::map<DestinationKey, uint64_t>> connectionCounts;
    TemporaryExclusions temporaryExclusions;
    // Client connections of running connection threads, so that destruction
    // can end them; and the number of those threads.
    std::map<const CSafeSocket*, std::weak_ptr<CSafeSocket>> activeConnections;
    std::atomic<uint64_t> connectionThreads{0};
};

}  // namespace hbt
