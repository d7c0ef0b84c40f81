#pragma once
// Catches every log line of a test: screen level verbose, no file, and a
// receiver registered so that lines are queued; restores the defaults after.
#include <string>
#include <vector>

#include "log/log_queue.h"
#include "log/log_settings.h"

namespace hbt {

class LogCapture {
public:
    LogCapture() {
        SetScreenLogLevel(3);
        SetFileLogLevel(0);
        LogQueue::Instance().TakeAll();
        LogQueue::Instance().RegisterReceiver([] {});
    }
    ~LogCapture() {
        LogQueue::Instance().ClearReceiver();
        LogQueue::Instance().TakeAll();
        SetScreenLogLevel(2);
        SetFileLogLevel(2);
    }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    // The messages queued since the last call, in order.
    std::vector<std::wstring> Lines() {
        std::vector<std::wstring> lines;
        for (auto& record : LogQueue::Instance().TakeAll()) lines.push_back(record.message);
        return lines;
    }
};

}  // namespace hbt
