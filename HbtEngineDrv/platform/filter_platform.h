#pragma once
// The seam between the engine's logic and the packet-filtering platform below
// it. The platform calls the engine through FilterCallouts whenever it sees an
// outgoing connect, an established flow, stream data of a flow the engine
// inspects, or the end of such a flow; the engine acts back through
// FilterPlatform. Both directions may be called from any thread.
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "engine_protocol/nfe_port_rules.h"
#include "engine_protocol/socket_address_slot.h"

namespace hbt {

// Run-time layer ids, as the engine's events and flow contexts carry them.
inline constexpr uint16_t kLayerStreamV4 = 20;
inline constexpr uint16_t kLayerStreamV6 = 22;
inline constexpr uint16_t kLayerFlowEstablishedV4 = 52;
inline constexpr uint16_t kLayerFlowEstablishedV6 = 54;
inline constexpr uint16_t kLayerConnectRedirectV4 = 66;
inline constexpr uint16_t kLayerConnectRedirectV6 = 67;

// Ids of the stream callouts through which flow contexts are associated.
inline constexpr uint32_t kStreamCalloutIdV4 = 5;
inline constexpr uint32_t kStreamCalloutIdV6 = 6;

inline constexpr uint8_t kProtocolTcp = 6;

// What a classification knows about the connection (the platform's fixed
// values and metadata). Local is this machine's end.
struct ClassifyInfo {
    uint16_t layerId = kLayerConnectRedirectV4;
    uint8_t protocol = kProtocolTcp;
    std::optional<uint32_t> processId;
    std::u16string applicationId;  // the application's path, without a terminating zero
    std::vector<uint8_t> userSid;  // binary security identifier of the owner, or empty
    SocketAddressSlot local;
    SocketAddressSlot remote;
    bool inbound = false;  // the connection was accepted, not initiated, here
    std::optional<uint64_t> flowHandle;
    std::optional<uint64_t> endpointHandle;
    // Connect layers: the platform's handle of the held connect and whether the
    // connection was already redirected by anyone.
    uint64_t connectHandle = 0;
    bool alreadyRedirected = false;
};

// One indication of stream data (possibly empty: a bare disconnect).
struct StreamSegment {
    uint32_t streamFlags = 0;
    std::vector<uint8_t> data;
};

enum class ConnectAction {
    kPermit,  // the connect goes on unchanged now
    kPend,    // held until CompleteConnect
};

enum class StreamAction {
    kNone,             // the segment passes; the flow stays inspected
    kBlock,            // the segment is taken from the stack (the engine re-injects it later)
    kAllowConnection,  // the segment passes and inspection of the flow has ended
};

// How a held connect goes on.
struct ConnectCompletion {
    bool redirect = false;
    SocketAddressSlot newRemote;       // with redirect: the new remote address and port
    uint32_t redirectTargetProcessId = 0;  // with redirect: the process the connection now belongs to
};

struct StreamInjection {
    uint64_t flowId = 0;
    uint16_t layerId = 0;
    uint32_t calloutId = 0;
    uint32_t streamFlags = 0;
    std::vector<uint8_t> data;  // empty only for a disconnect
};

struct FlowContext;  // the engine's per-flow record; the platform keeps it opaque

class FilterPlatform {
public:
    virtual ~FilterPlatform() = default;

    // Current time, 100 ns units, monotonic.
    virtual uint64_t Now() = 0;

    // Lets a held connect go on, as it was or to a new destination.
    virtual void CompleteConnect(uint64_t connectHandle, const ConnectCompletion& completion) = 0;

    // Between these two calls, on the calling thread, the platform may keep
    // back what completions hand to the network and hand it over in one go at
    // the end. Calls nest; platforms without such a saving keep the defaults.
    virtual void BeginCompletionBatch() {}
    virtual void EndCompletionBatch() {}

    // Puts data into a flow's stream in the given direction; returns an NTSTATUS.
    virtual uint32_t InjectStream(const StreamInjection& injection) = 0;

    // Ties a context to a flow: its stream indications and its end are reported with it.
    virtual bool AssociateFlowContext(uint64_t flowId, uint16_t layerId, uint32_t calloutId,
                                      std::shared_ptr<FlowContext> context) = 0;

    // Ends inspection of a flow: the context is let go and FlowDeleted follows
    // (possibly before this returns). The flow's traffic then passes untouched.
    virtual bool RemoveFlowContext(uint64_t flowId, uint16_t layerId, uint32_t calloutId) = 0;

    // The engine stopped: it redirects nothing until it starts again, so what
    // the platform set up for redirect targets may go. Connections already
    // redirected go on. Platforms that set nothing up keep the default.
    virtual void ReleaseRedirects() {}

    // Only new connects to these destination ports reach ClassifyConnect; the
    // others go on at once. Until the first call every connect does. False
    // when the platform could not apply them.
    virtual bool SetConnectPorts(const NfePortRules& ports) = 0;
};

// The completions made while one of these lives go to the network together.
class CompletionBatch {
public:
    explicit CompletionBatch(FilterPlatform& platform) : platform_(platform) { platform_.BeginCompletionBatch(); }
    ~CompletionBatch() { platform_.EndCompletionBatch(); }
    CompletionBatch(const CompletionBatch&) = delete;
    CompletionBatch& operator=(const CompletionBatch&) = delete;

private:
    FilterPlatform& platform_;
};

class FilterCallouts {
public:
    virtual ~FilterCallouts() = default;

    // An outgoing TCP connect (connect layers).
    virtual ConnectAction ClassifyConnect(const ClassifyInfo& info) = 0;
    // A connection reached the established state (flow-established layers).
    virtual void ClassifyFlowEstablished(const ClassifyInfo& info) = 0;
    // Stream data of a flow with an associated context (stream layers).
    virtual StreamAction ClassifyStream(const ClassifyInfo& info, const StreamSegment& segment,
                                        const std::shared_ptr<FlowContext>& context) = 0;
    // The flow ended or its context was removed.
    virtual void FlowDeleted(uint16_t layerId, uint32_t calloutId,
                             const std::shared_ptr<FlowContext>& context) = 0;
};

}  // namespace hbt
