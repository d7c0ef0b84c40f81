#pragma once
// What the engine event loop needs of the core that owns it.
#include <cstdint>
#include <memory>
#include <string>

#include "engine_protocol/socket_address_slot.h"

namespace hbt {

struct Preferences;

enum class EngineCounter {
    kEngineEventsRead,
    kEngineEventsHandled,
    kConnectRequests,
    kConnectionsToProxy,
    kFlowsEstablished,
    kFlowsInspected,
    kStreamDataEvents,
    kTlsFlowsBlocked,
    kTlsFlowsReleased,
};

class EngineEventHost {
public:
    virtual ~EngineEventHost() = default;
    virtual bool IsRunning() const = 0;
    // The working preferences; the record never changes once shared, so it is
    // read without a copy.
    virtual std::shared_ptr<const Preferences> PreferencesSnapshot() const = 0;
    // The destination's address is held by a connection that is being forwarded.
    virtual bool IsTemporarilyExcluded(const SocketAddressSlot& destination) const = 0;
    // Stored before the engine is told to redirect; returns the record's id.
    virtual uint64_t AppendRedirectRecord(const SocketAddressSlot& clientAddress, const SocketAddressSlot& destination,
                                          uint32_t processId, const std::wstring& applicationPath) = 0;
    // The engine could not be told to redirect: no connection will claim the
    // record, and left behind it would be claimed by a later connection from
    // the same client port.
    virtual void WithdrawRedirectRecord(uint64_t id) = 0;
    virtual void ClearRedirectRecords() = 0;
    // The bound address of the loopback proxy socket for IPv4 or IPv6.
    virtual SocketAddressSlot ProxyAddress(bool ipv6) const = 0;
    virtual void Count(EngineCounter counter) = 0;
    // True while the console display is reported off.
    virtual bool DisplayOff() const = 0;
    // Asked for each connect that would be redirected: false while the proxy
    // cannot take another connection, and the connect then goes direct (the
    // host counts it for its log lines).
    virtual bool AdmitToProxy() = 0;
    // The engine is gone (its device failed under a waiting read): show the
    // product halted until ReopenEngine succeeds.
    virtual void EngineGone() = 0;
    // Opens the device again, sends the configuration and starts the engine,
    // as start-up does; true when protection is back.
    virtual bool ReopenEngine() = 0;
};

}  // namespace hbt
