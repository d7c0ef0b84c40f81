#pragma once
#include <gtest/gtest.h>

#include "log/log_queue.h"
#include "log/log_settings.h"

namespace hbt {

// Gives each test a registered receiver that counts notifications, and
// restores the process-wide log state afterwards.
class LogTest : public ::testing::Test {
protected:
    void SetUp() override {
        LogQueue::Instance().TakeAll();
        SetScreenLogLevel(2);
        SetFileLogLevel(2);
        LogQueue::Instance().RegisterReceiver([this] { ++notifications_; });
    }
    void TearDown() override {
        LogQueue::Instance().ClearReceiver();
        LogQueue::Instance().TakeAll();
        SetScreenLogLevel(2);
        SetFileLogLevel(2);
    }
    int notifications_ = 0;
};

}  // namespace hbt
