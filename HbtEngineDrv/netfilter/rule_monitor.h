#pragma once
// RuleMonitor: a thread that checks now and then that the engine's rules are
// still in place and reinstalls them when something removed them.
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "HbtEngineDrv/netfilter/netfilter_rules.h"

namespace hbt {

class RuleMonitor {
public:
    RuleMonitor(NetfilterRules& rules, std::chrono::milliseconds interval,
                std::function<void(const std::string&)> log);
    ~RuleMonitor() { Stop(); }
    RuleMonitor(const RuleMonitor&) = delete;
    RuleMonitor& operator=(const RuleMonitor&) = delete;

    void Start();
    // Returns once the thread has ended; a check under way finishes first.
    void Stop();

private:
    void Run();

    NetfilterRules& rules_;
    const std::chrono::milliseconds interval_;
    const std::function<void(const std::string&)> log_;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool stopping_ = false;
    std::thread thread_;
};

}  // namespace hbt
