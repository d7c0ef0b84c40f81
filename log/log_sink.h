#pragma once
// Sinks run on the one thread that drains the log queue.
#include <string>
#include <vector>

#include "log/log_record.h"

namespace hbt {

class LogSink {
public:
    virtual ~LogSink() = default;
    // Whether the record is meant for this sink (its toScreen or toFile flag).
    virtual bool Admits(const LogRecord& record) const = 0;
    virtual void Write(const LogRecord& record) = 0;
    // Called once after a drained batch has been written.
    virtual void EndBatch() {}
};

// Moves every queued record out of the log queue and hands each, in order, to
// every sink that admits it. Returns the number of records drained.
std::size_t DrainLogQueue(const std::vector<LogSink*>& sinks);

// "[YYYY.MM.DD HH:MM:SS] " + FormatLineText; `time` is formatted in local time.
std::string FormatFileLine(const LogRecord& record, const std::wstring& prefix, int64_t time);
// (prefix + " - " when the prefix is not empty) + message, in UTF-8, without
// the line end: a line for a log that stamps its lines itself (the journal).
std::string FormatLineText(const LogRecord& record, const std::wstring& prefix);

}  // namespace hbt
