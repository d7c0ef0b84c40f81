#include "platform/ready_threads.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace hbt {
namespace {

using namespace std::chrono_literals;

// A latch the tasks count down and the test waits on.
class Counter {
public:
    void Add() {
        std::lock_guard lock(mutex_);
        ++count_;
        changed_.notify_all();
    }
    bool WaitFor(int count) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, 60s, [&] { return count_ >= count; });
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    int count_ = 0;
};

template <typename Predicate>
bool Eventually(Predicate done) {
    for (int i = 0; i < 6000 && !done(); ++i) std::this_thread::sleep_for(10ms);
    return done();
}

TEST(ReadyThreadsTest, ATaskAfterAnotherRunsOnTheThreadThatWaits) {
    ReadyThreads pool(256 * 1024, 4, 60s);
    Counter done;
    for (int i = 1; i <= 20; ++i) {
        if (i > 1) ASSERT_TRUE(Eventually([&] { return pool.IdleCount() == 1; }));
        ASSERT_TRUE(pool.Run([&] { done.Add(); }));
        ASSERT_TRUE(done.WaitFor(i));
    }
    EXPECT_EQ(pool.ThreadsStarted(), 1u);
}

TEST(ReadyThreadsTest, GrowsUnderLoadAndLetsTheSurplusGoWhenIdle) {
    Counter started;
    std::mutex gate;
    std::unique_lock closed(gate);
    {
        ReadyThreads pool(256 * 1024, 2, 1ms);
        for (int i = 0; i < 8; ++i) {
            ASSERT_TRUE(pool.Run([&] {
                started.Add();
                std::lock_guard wait(gate);
            }));
        }
        ASSERT_TRUE(started.WaitFor(8)) << "every busy task got a thread of its own";
        EXPECT_EQ(pool.ThreadsStarted(), 8u);
        closed.unlock();
        EXPECT_TRUE(Eventually([&] { return pool.ThreadCount() == 2; })) << pool.ThreadCount();
    }
}

TEST(ReadyThreadsTest, DestructionRunsWhatWasHandedInAndWaitsForEveryThread) {
    Counter done;
    {
        ReadyThreads pool(256 * 1024, 4, 60s);
        for (int i = 0; i < 50; ++i) ASSERT_TRUE(pool.Run([&] { done.Add(); }));
    }
    EXPECT_TRUE(done.WaitFor(50));
}

}  // namespace
}  // namespace hbt
