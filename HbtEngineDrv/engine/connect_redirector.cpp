#include "HbtEngineDrv/engine/connect_redirector.h"

#include <algorithm>

#include "HbtEngineDrv/engine/nfe_engine.h"
#include "engine_protocol/nfe_protocol.h"

namespace hbt {

ConnectRedirector::ConnectRedirector(NfeEngine& engine, FilterPlatform& platform)
    : engine_(engine), platform_(platform) {}

ConnectAction ConnectRedirector::Classify(const ClassifyInfo& info) {
    ExpireTimed();
    if (!engine_.IsActive()) return ConnectAction::kPermit;
    if (info.alreadyRedirected) return ConnectAction::kPermit;

    std::optional<NfeEvent> event = engine_.CreateEvent(NFE_EVENT_CONNECT_REDIRECT, info, nullptr, {});
    if (!event) return ConnectAction::kPermit;
    event->redirectRequestId = info.connectHandle;

    PendingRedirect request;
    request.connectHandle = info.connectHandle;
    request.endpointHandle = event->endpointHandle;
    request.remoteFamily = info.remote.Family();
    request.created = engine_.Now();
    {
        std::lock_guard lock(mutex_);
        pending_.push_back(request);
    }
    // A stop that ran meanwhile may have missed this request: take it back
    // rather than hold the connect on a stopped engine.
    if (!engine_.IsActive() && TakeUnanswered(request.connectHandle)) return ConnectAction::kPermit;
    engine_.QueueEvent(std::move(*event), nullptr);
    return ConnectAction::kPend;
}

bool ConnectRedirector::TakeUnanswered(uint64_t connectHandle) {
    std::lock_guard lock(mutex_);
    for (auto it = pending_.begin(); it != pending_.end(); ++it) {
        if (it->connectHandle == connectHandle && !it->answered) {
            pending_.erase(it);
            return true;
        }
    }
    return false;
}

uint32_t ConnectRedirector::Answer(const NfeRedirectAnswer& answer) {
    const uint64_t id = answer.redirectRequestId;
    const uint32_t flags = answer.answerFlags;
    const auto config = engine_.Config();
    const bool keepForInspection =
        (flags & NFE_ANSWER_INSPECT) != 0 && (config->HasCapturePatterns() || config->InsertionActive());

    PendingRedirect request;
    {
        std::lock_guard lock(mutex_);
        // Only a request still waiting for its answer can be answered: one kept
        // for inspection has already been completed.
        auto it = pending_.begin();
        while (it != pending_.end() && (it->connectHandle != id || it->answered)) ++it;
        if (it == pending_.end()) return kStatusNoSuchRedirect;
        request = *it;
        consecutiveAbandonments_ = 0;
        if (keepForInspection) {
            it->answered = true;
        } else {
            pending_.erase(it);
        }
    }

    ConnectCompletion completion;
    if ((flags & NFE_ANSWER_REDIRECT) != 0) completion = RedirectCompletion(request, answer.newDestination);
    platform_.CompleteConnect(request.connectHandle, completion);
    return kStatusSuccess;
}

ConnectCompletion ConnectRedirector::RedirectCompletion(const PendingRedirect& request,
                                                        const SocketAddressSlot& newDestination) {
    ConnectCompletion completion;
    // The new destination is read in the connection's own address family.
    std::size_t copyLength = 0;
    if (request.remoteFamily == kFamilyIpv4) {
        copyLength = 16;
    } else if (request.remoteFamily == kFamilyIpv6) {
        copyLength = kSocketAddressSlotSize;
    } else {
        engine_.Message("176:Unsupported remote address family", kStatusUnsuccessful, request.remoteFamily);
        return completion;
    }
    completion.redirect = true;
    std::copy_n(newDestination.bytes.begin(), copyLength, completion.newRemote.bytes.begin());
    completion.redirectTargetProcessId = engine_.Config()->processId;
    return completion;
}

std::vector<ConnectRedirector::PendingRedirect> ConnectRedirector::TakeExpired(bool all, uint64_t now) {
    std::vector<PendingRedirect> expired;
    std::lock_guard lock(mutex_);
    for (auto it = pending_.begin(); it != pending_.end();) {
        const uint64_t timeout = it->answered ? kInspectionTimeout : kAbandonTimeout;
        if (all || now - it->created > timeout) {
            expired.push_back(*it);
            it = pending_.erase(it);
        } else {
            ++it;
        }
    }
    return expired;
}

void ConnectRedirector::ExpireTimed() {
    bool abandoned = false;
    for (const PendingRedirect& request : TakeExpired(false, engine_.Now())) {
        if (request.answered) continue;
        engine_.Message("107:Abandoned redirection request detected", kStatusUnsuccessful, request.connectHandle);
        abandoned = true;
        platform_.CompleteConnect(request.connectHandle, ConnectCompletion{});
    }
    if (!abandoned) return;

    uint32_t count = 0;
    {
        std::lock_guard lock(mutex_);
        count = ++consecutiveAbandonments_;
        if (count > 2) consecutiveAbandonments_ = 0;
    }
    if (count > 2) {
        engine_.Message("124:Too many abandoned redirection requests detected. Engine emergency stop",
                        kStatusUnsuccessful, count);
        engine_.Stop(true);
    }
}

void ConnectRedirector::ExpireAll() {
    for (const PendingRedirect& request : TakeExpired(true, 0)) {
        if (!request.answered) platform_.CompleteConnect(request.connectHandle, ConnectCompletion{});
    }
}

bool ConnectRedirector::TakeInspected(uint64_t endpointHandle) {
    std::lock_guard lock(mutex_);
    for (auto it = pending_.begin(); it != pending_.end(); ++it) {
        if (it->answered && it->endpointHandle == endpointHandle) {
            pending_.erase(it);
            return true;
        }
    }
    return false;
}

std::size_t ConnectRedirector::PendingCount() const {
    std::lock_guard lock(mutex_);
    return pending_.size();
}

}  // namespace hbt
