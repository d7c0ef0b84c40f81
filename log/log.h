#pragma once
// CLog builds one log line on any thread and hands it to the log queue when it
// is destroyed. A line that no sink admits costs only its time stamp: every
// insertion checks the enabled flag first.
#include <cstdint>
#include <string>
#include <string_view>

#include "log/log_record.h"

namespace hbt {

class CLog {
public:
    explicit CLog(int32_t level);
    // Level 1, starting with the context text and ": " (only ": " for null).
    explicit CLog(const char* context);
    // As CLog(level), then the application prefixes and the link on the
    // application name (the part of the path after the last '/'; null and
    // empty paths show as "<null name>" and "<empty name>").
    CLog(int32_t level, uint64_t processId, const wchar_t* applicationPath);
    CLog(const CLog&) = delete;
    CLog& operator=(const CLog&) = delete;
    virtual ~CLog();

    bool Enabled() const { return enabled_; }

    CLog& operator<<(const char* text);
    CLog& operator<<(const std::string& text);
    CLog& operator<<(std::string_view text);
    CLog& operator<<(const wchar_t* text);
    CLog& operator<<(const std::wstring& text);
    CLog& operator<<(char c);     // one character, not its code
    CLog& operator<<(wchar_t c);
    CLog& operator<<(int value);
    CLog& operator<<(unsigned value);
    CLog& operator<<(long value);
    CLog& operator<<(unsigned long value);
    CLog& operator<<(long long value);
    CLog& operator<<(unsigned long long value);
    CLog& operator<<(const LogUrl& url);

private:
    void BuildApplicationPrefix(uint64_t processId, const wchar_t* applicationPath);
    void End();

    int32_t level_;
    bool enabled_;
    bool ended_ = false;
    LogRecord record_;
    std::wstring text_;
};

}  // namespace hbt
