#include "log/log_file_sink.h"

#include <cstdio>
#include <ctime>

#include "log/log_settings.h"

namespace hbt {

LogFileSink::LogFileSink(std::function<std::string()> path) : path_(std::move(path)) {}

LogFileSink::LogFileSink() : LogFileSink(&LogFilePath) {}

void LogFileSink::Write(const LogRecord& record) {
    const std::string path = path_();
    if (path.empty()) return;
    std::FILE* file = std::fopen(path.c_str(), "a");
    if (!file) return;  // the line is lost; the next one tries again
    const std::string line =
        FormatFileLine(record, record.filePrefix, static_cast<int64_t>(std::time(nullptr))) + "\n";
    std::fwrite(line.data(), 1, line.size(), file);
    long position = std::ftell(file);
    std::fclose(file);
    if (position > kRotateAbove) Rotate(path);
}

void LogFileSink::Rotate(const std::string& path) {
    std::remove((path + "." + std::to_string(kKeptFiles)).c_str());
    for (int i = kKeptFiles - 1; i >= 1; --i) {
        std::rename((path + "." + std::to_string(i)).c_str(), (path + "." + std::to_string(i + 1)).c_str());
    }
    std::rename(path.c_str(), (path + ".1").c_str());
}

}  // namespace hbt
