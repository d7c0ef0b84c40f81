#pragma once
// Connect redirection: every outgoing connect is held while the program
// decides; unanswered ones are let go after 10 s (checked on every connect and
// by the daemon's ticker), and too many rounds of unanswered connects stop the
// engine so that a hung program cannot hold the machine's connections.
#include <cstddef>
#include <cstdint>
#include <list>
#include <mutex>
#include <vector>

#include "HbtEngineDrv/platform/filter_platform.h"
#include "engine_protocol/nfe_event.h"

namespace hbt {

class NfeEngine;

inline constexpr uint64_t kAbandonTimeout = 100000000;   // 10 s in 100 ns units
inline constexpr uint64_t kInspectionTimeout = 600000000;  // 60 s

class ConnectRedirector {
public:
    ConnectRedirector(NfeEngine& engine, FilterPlatform& platform);

    ConnectAction Classify(const ClassifyInfo& info);
    // The program's answer; returns an NTSTATUS.
    uint32_t Answer(const NfeRedirectAnswer& answer);
    // Lets go of requests past their timeout, counting abandoned rounds.
    void ExpireTimed();
    // Lets go of every request, silently (engine stop).
    void ExpireAll();
    // Takes out the request answered for inspection with this endpoint handle.
    bool TakeInspected(uint64_t endpointHandle);

    std::size_t PendingCount() const;

private:
    struct PendingRedirect {
        uint64_t connectHandle = 0;  // also the request id of the event
        uint64_t endpointHandle = 0;
        bool answered = false;
        uint16_t remoteFamily = 0;
        uint64_t created = 0;
    };

    std::vector<PendingRedirect> TakeExpired(bool all, uint64_t now);
    bool TakeUnanswered(uint64_t connectHandle);
    ConnectCompletion RedirectCompletion(const PendingRedirect& request, const SocketAddressSlot& newDestination);

    NfeEngine& engine_;
    FilterPlatform& platform_;
    mutable std::mutex mutex_;
    std::list<PendingRedirect> pending_;
    uint32_t consecutiveAbandonments_ = 0;  // under mutex_
};

}  // namespace hbt
