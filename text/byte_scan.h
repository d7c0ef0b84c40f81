#pragma once
// What a reader of a message makes of the bytes received so far: the message
// is complete (and takes `length` of them), more bytes are needed, or the bytes
// can never become a message. Socket code reads, asks a scan function, and acts
// on the answer; the scan functions themselves touch no socket.
#include <cstddef>

namespace hbt {

enum class ScanOutcome { kComplete, kNeedMore, kMalformed };

struct ByteScan {
    ScanOutcome outcome = ScanOutcome::kNeedMore;
    std::size_t length = 0;      // kComplete: the bytes the message takes
    const char* fault = nullptr;  // kMalformed: why, as the log says it

    static ByteScan Complete(std::size_t length) { return {ScanOutcome::kComplete, length, nullptr}; }
    static ByteScan NeedMore() { return {}; }
    static ByteScan Malformed(const char* fault) { return {ScanOutcome::kMalformed, 0, fault}; }

    bool IsComplete() const { return outcome == ScanOutcome::kComplete; }
    bool NeedsMore() const { return outcome == ScanOutcome::kNeedMore; }
    bool IsMalformed() const { return outcome == ScanOutcome::kMalformed; }
};

}  // namespace hbt
