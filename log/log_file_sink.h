#pragma once
// The log file: one UTF-8 line per record, opened for appending per line, and
// rotated once it reaches 32 MiB, keeping nine older files (.1 newest to .9).
#include <cstdint>
#include <functional>
#include <string>

#include "log/log_sink.h"

namespace hbt {

class LogFileSink : public LogSink {
public:
    static constexpr int64_t kRotateAbove = 33554431;  // rotate once the file holds 32 MiB
    static constexpr int kKeptFiles = 9;

    // The path is asked for each line, so that a changed setting applies at once.
    explicit LogFileSink(std::function<std::string()> path);
    LogFileSink();  // uses LogFilePath()

    bool Admits(const LogRecord& record) const override { return record.toFile; }
    void Write(const LogRecord& record) override;

    static void Rotate(const std::string& path);

private:
    std::function<std::string()> path_;
};

}  // namespace hbt
