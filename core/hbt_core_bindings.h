#pragma once
// The core's side of the two interfaces through which request handling
// reaches it: temporary exclusions and the current preferences. Both are made
// on the stack of the thread that needs them.
#include "core/hbt_core.h"
#include "http/ip_excluder.h"
#include "http/preferences_getter.h"

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

class CHbtPreferencesGetter : public CPreferencesGetter {
public:
    explicit CHbtPreferencesGetter(CHbtCore* core) : core_(core) {}
    std::shared_ptr<const Preferences> GetPreferences() override { return core_->PreferencesSnapshot(); }

private:
    CHbtCore* core_;
};

}  // namespace hbt
