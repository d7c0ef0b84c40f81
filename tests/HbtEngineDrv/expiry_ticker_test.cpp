#include "HbtEngineDrv/engine/expiry_ticker.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace hbt {
namespace {

using namespace std::chrono_literals;

TEST(ExpiryTickerTest, RunsThePassAgainAndAgain) {
    std::mutex mutex;
    std::condition_variable passed;
    int passes = 0;
    {
        ExpiryTicker ticker(
            [&] {
                std::lock_guard lock(mutex);
                ++passes;
                passed.notify_all();
            },
            1ms);
        std::unique_lock lock(mutex);
        ASSERT_TRUE(passed.wait_for(lock, 60s, [&] { return passes >= 3; }));
    }
}

TEST(ExpiryTickerTest, StopsAtOnceWithoutWaitingForTheNextPass) {
    bool ran = false;
    { ExpiryTicker ticker([&] { ran = true; }, 24h); }  // a ticker that slept out its period would hang here
    EXPECT_FALSE(ran);
}

}  // namespace
}  // namespace hbt
