#include "log/log.h"

#include <ctime>

#include "log/log_queue.h"
#include "log/log_settings.h"
#include "text/application_name.h"
#include "text/text_conversion.h"

namespace hbt {

CLog::CLog(int32_t level) : level_(level) {
    record_.time = static_cast<int64_t>(std::time(nullptr));
    record_.level = level;
    record_.toScreen = level <= ScreenLogLevel();
    const int32_t fileLevel = FileLogLevel();
    record_.toFile = fileLevel != 0 && level <= fileLevel;
    enabled_ = record_.toScreen || record_.toFile;
}

CLog::CLog(const char* context) : CLog(kLogError) {
    if (!enabled_) return;
    if (context) *this << context;
    *this << ": ";
}

CLog::CLog(int32_t level, uint64_t processId, const wchar_t* applicationPath) : CLog(level) {
    if (enabled_) BuildApplicationPrefix(processId, applicationPath);
}

void CLog::BuildApplicationPrefix(uint64_t processId, const wchar_t* applicationPath) {
    std::wstring name;
    if (!applicationPath) {
        name = L"<null name>";
    } else if (*applicationPath == L'\0') {
        name = L"<empty name>";
    } else {
        name = ApplicationFileName(applicationPath);
        record_.appLink = LogLink{0, static_cast<uint32_t>(name.size()), "hbtapp", WideToUtf8(name)};
    }
    const std::wstring withPid = name + L" (" + std::to_wstring(processId) + L")";
    const int32_t screenLevel = ScreenLogLevel();
    const int32_t fileLevel = FileLogLevel();
    if (screenLevel >= 3 || fileLevel >= 3) {
        record_.screenPrefix = screenLevel >= 3 ? withPid : name;
        record_.filePrefix = fileLevel >= 3 ? withPid : name;
    } else {
        record_.screenPrefix = name;
        record_.filePrefix = name;
    }
}

CLog::~CLog() { End(); }

void CLog::End() {
    if (!enabled_ || ended_) return;
    record_.message = std::move(text_);
    ended_ = true;
    LogQueue::Instance().Push(record_);
}

CLog& CLog::operator<<(const char* text) {
    if (enabled_ && text) text_ += WidenBytes(text);
    return *this;
}

CLog& CLog::operator<<(const std::string& text) { return *this << std::string_view(text); }

CLog& CLog::operator<<(std::string_view text) {
    if (enabled_) text_ += WidenBytes(text);
    return *this;
}

CLog& CLog::operator<<(const wchar_t* text) {
    if (enabled_ && text) text_ += text;
    return *this;
}

CLog& CLog::operator<<(const std::wstring& text) {
    if (enabled_) text_ += text;
    return *this;
}

CLog& CLog::operator<<(char c) {
    if (enabled_) text_ += static_cast<wchar_t>(static_cast<unsigned char>(c));
    return *this;
}

CLog& CLog::operator<<(wchar_t c) {
    if (enabled_) text_ += c;
    return *this;
}

#define HBT_LOG_INTEGER(Type)                          \
    CLog& CLog::operator<<(Type value) {               \
        if (enabled_) text_ += std::to_wstring(value); \
        return *this;                                  \
    }
HBT_LOG_INTEGER(int)
HBT_LOG_INTEGER(unsigned)
HBT_LOG_INTEGER(long)
HBT_LOG_INTEGER(unsigned long)
HBT_LOG_INTEGER(long long)
HBT_LOG_INTEGER(unsigned long long)
#undef HBT_LOG_INTEGER

CLog& CLog::operator<<(const LogUrl& url) {
    if (!enabled_ || url.kind == 1) return *this;
    *this << url.prefix;
    record_.links.push_back(LogLink{static_cast<uint32_t>(text_.size()), static_cast<uint32_t>(url.text.size()),
                                    url.scheme, url.text});
    *this << url.text;
    *this << url.suffix;
    return *this;
}

}  // namespace hbt
