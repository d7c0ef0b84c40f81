#include "log/log_settings.h"

#include <atomic>
#include <mutex>

#include "platform/known_folders.h"
#include "text/text_conversion.h"

namespace hbt {

namespace {
std::atomic<int32_t> screenLogLevel{2};
std::atomic<int32_t> fileLogLevel{2};
std::mutex pathMutex;
std::string logFilePath;
}  // namespace

int32_t ScreenLogLevel() { return screenLogLevel.load(std::memory_order_relaxed); }
int32_t FileLogLevel() { return fileLogLevel.load(std::memory_order_relaxed); }

std::string LogFilePath() {
    std::lock_guard lock(pathMutex);
    return logFilePath;
}

void SetScreenLogLevel(int32_t level) { screenLogLevel.store(level, std::memory_order_relaxed); }
void SetFileLogLevel(int32_t level) { fileLogLevel.store(level, std::memory_order_relaxed); }

void SetLogFilePath(const std::string& path) {
    std::lock_guard lock(pathMutex);
    logFilePath = path;
}

void UpdateLogSettings(int32_t logLevel, int32_t logFileLevel, std::wstring& logPath) {
    SetScreenLogLevel(logLevel);
    SetFileLogLevel(logFileLevel);
    if (logFileLevel == 0) return;
    if (logPath.empty()) {
        std::string documents = DocumentsFolder();
        // The documents folder may not exist yet on a fresh account.
        CreateFolders(documents);
        logPath = Utf8ToWide(documents + "/Harbinet");
    }
    std::string folder = WideToUtf8(logPath);
    CreateFolder(folder);
    SetLogFilePath(folder + "/Log.txt");
}

}  // namespace hbt
