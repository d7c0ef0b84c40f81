#pragma once
// ExpiryTicker: runs a pass at a fixed period on a thread of its own, so that
// time-outs fire even when nothing else happens. Destruction stops the thread
// at once, without waiting for the period to run out.
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

namespace hbt {

class ExpiryTicker {
public:
    ExpiryTicker(std::function<void()> pass, std::chrono::milliseconds period);
    ~ExpiryTicker();
    ExpiryTicker(const ExpiryTicker&) = delete;
    ExpiryTicker& operator=(const ExpiryTicker&) = delete;

private:
    void Run();

    std::function<void()> pass_;
    std::chrono::milliseconds period_;
    std::mutex mutex_;
    std::condition_variable stopRequested_;
    bool stopping_ = false;  // under mutex_
    std::thread thread_;
};

}  // namespace hbt
