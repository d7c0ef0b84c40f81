// Accepting redirected connections and handing each to CHttpTraffic on a
// connection thread of its own.
#include <chrono>
#include <condition_variable>
#include <mutex>

#include "core/accept_loop.h"
#include "core/hbt_core.h"
#include "core/hbt_core_bindings.h"
#include "http/http_traffic.h"
#include "log/log.h"
#include "log/log_settings.h"
#include "platform/safe_socket.h"
#include "platform/socket_address.h"

namespace hbt {
namespace {
constexpr auto kAcceptFailurePause = std::chrono::milliseconds(50);
constexpr AcceptLoopSettings kAcceptSettings{"\"accept\" failed", kAcceptFailurePause};
}  // namespace

// The accepting over one listener, passed from thread to thread; one thread
// accepts at a time.
struct AcceptTurns {
    explicit AcceptTurns(std::shared_ptr<CSafeSocket> socket) : listener(std::move(socket)) {}

    void End() {
        {
            std::lock_guard lock(mutex);
            ended = true;
        }
        endedSignal.notify_all();
    }
    void WaitUntilEnded() {
        std::unique_lock lock(mutex);
        endedSignal.wait(lock, [this] { return ended; });
    }

    const std::shared_ptr<CSafeSocket> listener;
    std::mutex mutex;
    std::condition_variable endedSignal;
    bool ended = false;
};

void CHbtCore::AcceptConnections(std::shared_ptr<CSafeSocket> listener) {
    if (!listener) {
        CLog(kLogError) << "Main socket is not exists.";
        return;
    }
    activeConnections_.AcceptLoopStarted();
    auto turns = std::make_shared<AcceptTurns>(listener);
    // The calling thread is joined at stop, so it only waits and serves no connection.
    if (connectionThreads_.Run([this, turns] { LeadAccepting(turns); })) {
        turns->WaitUntilEnded();
        return;
    }
    // No ready thread now: accepted here, each connection on a thread of its own as one can be started.
    RunAcceptLoop(*listener, running, kAcceptSettings,
                  [this](std::shared_ptr<CSafeSocket> socket) { StartConnectionThread(std::move(socket)); });
    activeConnections_.AcceptLoopEnded();
}

void CHbtCore::LeadAccepting(const std::shared_ptr<AcceptTurns>& turns) {
    while (std::shared_ptr<CSafeSocket> socket = AcceptNext(*turns->listener, running, kAcceptSettings)) {
        ++statistics.connectionsAccepted;
        activeConnections_.Register(socket);
        if (connectionThreads_.Run([this, turns] { LeadAccepting(turns); })) {
            RunConnectionThread(socket);
            return;
        }
        // No thread to take the accepting over: this one keeps it.
        activeConnections_.Unregister(socket.get());
        CLog(kLogError) << "Could not create connection thread";
    }
    activeConnections_.AcceptLoopEnded();
    turns->End();
}

void CHbtCore::StartConnectionThread(std::shared_ptr<CSafeSocket> socket) {
    ++statistics.connectionsAccepted;
    activeConnections_.Register(socket);
    const CSafeSocket* raw = socket.get();
    if (!connectionThreads_.Run([this, socket] { RunConnectionThread(socket); })) {
        activeConnections_.Unregister(raw);
        CLog(kLogError) << "Could not create connection thread";
    }
}

void CHbtCore::RunConnectionThread(const std::shared_ptr<CSafeSocket>& socket) {
    ProcessConnection(socket);
    // The last touch of the core: the destructor waits for this.
    activeConnections_.Unregister(socket.get());
}

void CHbtCore::ProcessConnection(std::shared_ptr<CSafeSocket> socket) {
    ++statistics.connectionsProcessed;
    const auto peer = socket->Usable() ? PeerAddress(socket->Handle()) : std::nullopt;
    if (!peer) {
        activeConnections_.MarkResolved(socket.get());
        CLog("CHbtCore::ProcessConnection") << "Could not retrieve socket peername.";
        return;
    }
    const std::optional<SocketAddressSlot> destination = RedirectedDestination(*socket);
    if (!destination) {
        // Counted before it is resolved: Stop's callers read the figures as final.
        ++statistics.targetsNotFound;
        CLog(kLogNormal, 0, L"") << "Connection from " << SocketAddressText(*peer) << " - target not found.";
        activeConnections_.MarkResolved(socket.get());
        return;
    }
    RedirectRecord record;
    FindRedirectTarget(*peer, *destination, record);
    activeConnections_.MarkResolved(socket.get());
    // The destination is the kernel's, never a record's: a connection whose
    // record expired still reaches its own server, only without its
    // application's name.
    const ConnectionDescription connection =
        DescribeConnection(*destination, record.processId, std::move(record.applicationPath));
    HandleResolvedConnection(socket, connection, *peer);
}

void CHbtCore::HandleResolvedConnection(const std::shared_ptr<CSafeSocket>& socket,
                                        const ConnectionDescription& connection, const SocketAddressSlot& peer) {
    const wchar_t* application = connection.applicationPath.c_str();
    {
        CLog line(kLogNormal, connection.processId, application);
        if (FileLogLevel() == kLogVerbose || ScreenLogLevel() == kLogVerbose) {
            line << "Connection from " << SocketAddressText(peer) << " to " << SocketAddressText(connection.destination);
        } else {
            line << "Connection to " << SocketAddressText(connection.destination);
        }
    }
    const bool limitHit = connectionCounts_.Enter(connection.processId, connection.destinationKey) > connectionLimit;

    CHbtIpExcluder excluder(this);
    CHbtPreferencesGetter preferencesGetter(this);
    CHttpTraffic traffic(socket, &excluder);
    traffic.SetHeadIdleLimit(headIdleLimit_.load());
    traffic.SetHttpsChecker(httpsChecker_.get());
    const ProcessResult result =
        traffic.Process(connection, &preferencesGetter, limitHit, ControlPortHostOrder(), &statistics.http);
    if (result != ProcessResult::kHandled) {
        ++statistics.connectionsFailed;
        if (result == ProcessResult::kEmptyConnection) {
            CLog(kLogVerbose, connection.processId, application) << "Could not process connection: empty connection";
        } else if (result == ProcessResult::kHeadTimedOut) {
            // A preconnected socket the browser never used: as quiet as an empty connection.
            CLog(kLogVerbose, connection.processId, application) << "Could not process connection: " << traffic.errorText;
        } else {
            CLog(kLogError, connection.processId, application) << "Could not process connection: " << traffic.errorText;
        }
    }
    connectionCounts_.Leave(connection.processId, connection.destinationKey);
}

std::optional<SocketAddressSlot> CHbtCore::RedirectedDestination(const CSafeSocket& socket) const {
    const std::optional<SocketAddressSlot> original = originalDestination_(socket.Handle());
    if (!original) return std::nullopt;
    // Without translation the kernel names the proxy itself.
    if (SameEndpoint(*original, ipv4ProxyAddress) || SameEndpoint(*original, ipv6ProxyAddress)) return std::nullopt;
    return original;
}

void CHbtCore::FindRedirectTarget(const SocketAddressSlot& peer, const SocketAddressSlot& destination,
                                  RedirectRecord& result) {
    if (std::optional<RedirectRecord> claimed =
            redirectRecords_.Claim(peer, destination, RedirectTable::Clock::now())) {
        result = std::move(*claimed);
    }
}

RedirectRecordId CHbtCore::AddRedirectRecord(RedirectRecord record) {
    return redirectRecords_.Add(std::move(record), RedirectTable::Clock::now());
}

void CHbtCore::ClearRedirectRecords() { redirectRecords_.Clear(); }

}  // namespace hbt
