#include "HbtEngineDrv/netfilter/rule_monitor.h"

namespace hbt {

RuleMonitor::RuleMonitor(NetfilterRules& rules, std::chrono::milliseconds interval,
                         std::function<void(const std::string&)> log)
    : rules_(rules), interval_(interval), log_(std::move(log)) {}

void RuleMonitor::Start() {
    stopping_ = false;
    thread_ = std::thread([this] { Run(); });
}

void RuleMonitor::Stop() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    if (thread_.joinable()) thread_.join();
}

void RuleMonitor::Run() {
    std::unique_lock lock(mutex_);
    while (!wake_.wait_for(lock, interval_, [this] { return stopping_; })) {
        std::string error;
        if (!rules_.Verify(&error)) {
            log_(error.empty() ? "Rules of the engine were missing and have been restored"
                               : "Restoring the engine's rules failed: " + error);
        }
    }
}

}  // namespace hbt
