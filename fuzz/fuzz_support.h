#pragma once
// What the fuzz targets share: a check that stops the run with its text, a
// reader that takes the input apart, and the log turned on at its most
// verbose, its lines formatted and dropped after each input.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>
#include <string>
#include <string_view>

#include "log/log_queue.h"
#include "log/log_record.h"
#include "log/log_settings.h"
#include "log/log_sink.h"

#define FUZZ_CHECK(condition)                                                                       \
    do {                                                                                            \
        if (!(condition)) {                                                                         \
            std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition);      \
            std::abort();                                                                           \
        }                                                                                           \
    } while (0)

namespace hbt::fuzz {

// Takes the input apart from the front; past its end every value is zero and
// every run empty, so a target never has to look at the length first.
class InputReader {
public:
    InputReader(const uint8_t* data, std::size_t size) : data_(data), size_(size) {}

    bool Empty() const { return offset_ == size_; }
    uint8_t Byte() { return offset_ < size_ ? data_[offset_++] : 0; }
    uint16_t U16() {
        const uint8_t low = Byte();
        return static_cast<uint16_t>(low | Byte() << 8);
    }
    std::span<const uint8_t> Bytes(std::size_t count) {
        const std::size_t taken = std::min(count, size_ - offset_);
        std::span<const uint8_t> run(data_ + offset_, taken);
        offset_ += taken;
        return run;
    }
    std::span<const uint8_t> Rest() { return Bytes(size_ - offset_); }
    static std::string_view Text(std::span<const uint8_t> run) {
        return {reinterpret_cast<const char*>(run.data()), run.size()};
    }

private:
    const uint8_t* data_;
    std::size_t size_;
    std::size_t offset_ = 0;
};

// Every level reaches the screen and the file, so each line is built in full.
inline void LogEverything() {
    static const bool once = [] {
        SetScreenLogLevel(kLogVerbose);
        SetFileLogLevel(kLogVerbose);
        LogQueue::Instance().RegisterReceiver([] {});
        return true;
    }();
    (void)once;
}

inline void DrainLog() {
    for (const LogRecord& record : LogQueue::Instance().TakeAll()) {
        (void)FormatFileLine(record, record.filePrefix, record.time);
    }
}

}  // namespace hbt::fuzz
