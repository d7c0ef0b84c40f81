#pragma once
// A client whose connection is refused often takes the cut for a network
// fault and tries again at once. The refusals of one application's
// connections to one host and address, for the same reason, within a few
// seconds make one log line with a count (" (3 times)") and count once.
// The line of such a burst is written when its window has passed.
#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>
#include <tuple>

#include "tls_inspect/intercepted_traffic_processor.h"

namespace hbt {

class CRefusalFolding {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr std::chrono::seconds kWindow{3};

    // True when the refusal starts a burst of its own (it is to be counted);
    // false when it joins one whose window is still open. destination tells
    // connections of the same host to different addresses apart.
    bool Add(const RefusalLine& refusal, const std::string& destination, Clock::time_point now);
    // Writes the line of every burst whose window has passed by now.
    void WriteDue(Clock::time_point now);
    // Writes every line still open (the loop is stopping).
    void WriteAll();
    // Writes lines as their windows pass, until stop is requested; then the rest.
    void WriteUntilStopped(std::stop_token stop);

private:
    using Key = std::tuple<std::wstring, std::string, std::string, std::string>;
    struct Burst {
        RefusalLine line;
        unsigned times = 0;
        Clock::time_point due;
    };
    void WriteDueLocked(Clock::time_point now);

    std::mutex mutex_;
    std::condition_variable_any added_;
    std::map<Key, Burst> bursts_;
};

}  // namespace hbt
