// Accepting redirected connections and handing each to CHttpTraffic on its
// own thread.
#include <chrono>
#include <thread>

#include "core/hbt_core.h"
#include "core/hbt_core_bindings.h"
#include "platform/safe_socket.h"
#include "http/http_traffic.h"
#include "log/log.h"
#include "log/log_settings.h"
#include "platform/socket_address.h"
#include "platform/thread_start.h"

namespace hbt {
namespace {

// After a failed accept: a pending connection that cannot be taken (out of
// descriptors) would otherwise make the loop spin and flood the log.
constexpr auto kAcceptFailurePause = std::chrono::milliseconds(50);

}  // namespace

void CHbtCore::AcceptConnections(std::shared_ptr<CSafeSocket> listener) {
    if (!listener) {
        CLog(kLogError) << "Main socket is not exists.";
        return;
    }
    while (!listener->IsClosed() && running.load()) {
        const SocketHandle handle = AcceptSocket(listener->Handle());
        if (handle == kInvalidSocket) {
            // Closing the listener is how shutdown wakes this loop; that is no failure.
            if (listener->IsClosed() || !running.load()) break;
            CLog(kLogError) << "\"accept\" failed";
            std::this_thread::sleep_for(kAcceptFailurePause);
            continue;
        }
        auto socket = std::make_shared<CSafeSocket>(handle);
        if (listener->IsClosed() || !running.load()) break;
        ++unresolvedConnections;
        ++statistics.connectionsAccepted;
        ++connectionThreads;
        if (!StartDetachedThread([this, socket] { RunConnectionThread(socket); }, kConnectionThreadStackSize)) {
            --connectionThreads;
            --unresolvedConnections;
            CLog(kLogError) << "Could not create connection thread";
        }
    }
}

void CHbtCore::RunConnectionThread(const std::shared_ptr<CSafeSocket>& socket) {
    {
        std::lock_guard lock(coreLock);
        activeConnections[socket.get()] = socket;
    }
    ProcessConnection(socket);
    {
        std::lock_guard lock(coreLock);
        activeConnections.erase(socket.get());
    }
    // The last touch of the core: the destructor waits for this count.
    --connectionThreads;
}

void CHbtCore::ProcessConnection(std::shared_ptr<CSafeSocket> socket) {
    ++statistics.connectionsProcessed;
    const auto peer = socket->Usable() ? PeerAddress(socket->Handle()) : std::nullopt;
    if (!peer) {
        --unresolvedConnections;
        CLog("CHbtCore::ProcessConnection") << "Could not retrieve socket peername.";
        return;
    }
    RedirectRecord record;
    FindRedirectTarget(*peer, record);
    --unresolvedConnections;
    if (record.destination.Family() == 0) {
        ++statistics.targetsNotFound;
        CLog(kLogNormal, 0, L"") << "Connection from " << SocketAddressText(*peer) << " - target not found.";
        return;
    }
    HandleResolvedConnection(socket, record, *peer);
}

void CHbtCore::HandleResolvedConnection(const std::shared_ptr<CSafeSocket>& socket, const RedirectRecord& record,
                                        const SocketAddressSlot& peer) {
    const wchar_t* application = record.applicationPath.c_str();
    {
        CLog line(kLogNormal, record.processId, application);
        if (FileLogLevel() == kLogVerbose || ScreenLogLevel() == kLogVerbose) {
            line << "Connection from " << SocketAddressText(peer) << " to " << SocketAddressText(record.destination);
        } else {
            line << "Connection to " << SocketAddressText(record.destination);
        }
    }
    const DestinationKey key = MakeDestinationKey(record.destination);
    const bool limitHit = EnterConnection(record.processId, key) > connectionLimit;

    CHbtIpExcluder excluder(this);
    CHbtPreferencesGetter preferencesGetter(this);
    CHttpTraffic traffic(socket, &excluder);
    const ConnectionDescription description{record.destination, record.processId, key};
    if (!traffic.Process(description, record.applicationPath, &preferencesGetter, limitHit, ControlPortHostOrder(),
                         &statistics.http)) {
        ++statistics.connectionsFailed;
        if (traffic.errorText == "empty connection") {
            CLog(kLogVerbose, record.processId, application) << "Could not process connection: empty connection";
        } else {
            CLog(kLogError, record.processId, application) << "Could not process connection: " << traffic.errorText;
        }
    }
    LeaveConnection(record.processId, key);
}

void CHbtCore::FindRedirectTarget(const SocketAddressSlot& peer, RedirectRecord& result) {
    std::lock_guard lock(coreLock);
    for (auto record = redirectRecords.begin(); record != redirectRecords.end(); ++record) {
        if (RedirectRecordMatches(*record, peer)) {
            result.destination = record->destination;
            result.processId = record->processId;
            result.applicationPath = std::move(record->applicationPath);
            redirectRecords.erase(record);
            return;
        }
    }
}

void CHbtCore::AddRedirectRecord(RedirectRecord record) {
    std::lock_guard lock(coreLock);
    redirectRecords.push_back(std::move(record));
}

void CHbtCore::ClearRedirectRecords() {
    std::lock_guard lock(coreLock);
    redirectRecords.clear();
}

uint64_t CHbtCore::EnterConnection(uint64_t processId, const DestinationKey& key) {
    std::lock_guard lock(coreLock);
    return ++connectionCounts[processId][key];
}

void CHbtCore::LeaveConnection(uint64_t processId, const DestinationKey& key) {
    std::lock_guard lock(coreLock);
    const auto process = connectionCounts.find(processId);
    if (process == connectionCounts.end()) return;
    const auto entry = process->second.find(key);
    if (entry != process->second.end() && --entry->second == 0) process->second.erase(entry);
    if (process->second.empty()) connectionCounts.erase(process);
}

uint64_t CHbtCore::ConnectionsInProgress(uint64_t processId, const DestinationKey& key) const {
    std::lock_guard lock(coreLock);
    const auto process = connectionCounts.find(processId);
    if (process == connectionCounts.end()) return 0;
    const auto entry = process->second.find(key);
    return entry == process->second.end() ? 0 : entry->second;
}

}  // namespace hbt
