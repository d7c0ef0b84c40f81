#include "log/log_sink.h"

#include <ctime>

#include "log/log_queue.h"
#include "text/text_conversion.h"

namespace hbt {

std::size_t DrainLogQueue(const std::vector<LogSink*>& sinks) {
    std::vector<LogRecord> records = LogQueue::Instance().TakeAll();
    for (const LogRecord& record : records) {
        for (LogSink* sink : sinks) {
            if (sink->Admits(record)) sink->Write(record);
        }
    }
    if (!records.empty()) {
        for (LogSink* sink : sinks) sink->EndBatch();
    }
    return records.size();
}

std::string FormatFileLine(const LogRecord& record, const std::wstring& prefix, int64_t time) {
    std::time_t t = static_cast<std::time_t>(time);
    std::tm local{};
    localtime_r(&t, &local);
    char stamp[64];
    std::strftime(stamp, sizeof(stamp), "[%Y.%m.%d %H:%M:%S] ", &local);
    return stamp + FormatLineText(record, prefix);
}

std::string FormatLineText(const LogRecord& record, const std::wstring& prefix) {
    return WideToUtf8(prefix.empty() ? record.message : prefix + L" - " + record.message);
}

}  // namespace hbt
