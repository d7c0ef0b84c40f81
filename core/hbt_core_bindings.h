#pragma once
// The core's side of the two interfaces through which request handling
// reaches it: temporary exclusions and the current preferences. Both are made
// on the stack of the thread that needs them.
#include "core/hbt_core.h"
#include "http/http_traffic.h"
#include "rules/ip_excluder.h"

namespace hbt {

class CHbtIpExcluder : public CIpExcluder {
public:
    explicit CHbtIpExcluder(CHbtCore* core) : core_(core) {}
    bool AddAddress(const SocketAddressSlot& address) override { return core_->AddTemporaryExclusion(address); }
    bool RemoveAddress(const SocketAddressSlot& address) override {
        return core_->RemoveTemporaryExclusion(address);
    }

private:
    CHbtCore* core_;
};

class CHbtPreferencesGetter : public CHttpTraffic::CPreferencesGetter {
public:
    explicit CHbtPreferencesGetter(CHbtCore* core) : core_(core) {}
    void GetPreferences(Preferences& preferences) override { core_->CopyPreferences(preferences); }

private:
    CHbtCore* core_;
};

}  // namespace hbt
