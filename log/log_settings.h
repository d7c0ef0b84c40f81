#pragma once
// The process-wide log settings: which levels reach the screen and the file,
// and where the file is.
#include <cstdint>
#include <string>

namespace hbt {

int32_t ScreenLogLevel();
int32_t FileLogLevel();
std::string LogFilePath();  // empty until file logging has been set up

void SetScreenLogLevel(int32_t level);
void SetFileLogLevel(int32_t level);
void SetLogFilePath(const std::string& path);

// Applies the log preferences. When file logging is on and `logPath` is
// empty, `logPath` becomes the documents folder + "/Harbinet" (the caller's
// working copy keeps it); the folder is created (one level) and the file is
// `logPath` + "/Log.txt". With file logging off the file path keeps its old value.
void UpdateLogSettings(int32_t logLevel, int32_t logFileLevel, std::wstring& logPath);

}  // namespace hbt
