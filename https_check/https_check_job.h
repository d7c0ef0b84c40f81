#pragma once
// The state one check shares between its caller and its worker.
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>

#include "engine_protocol/socket_address_slot.h"
#include "https_check/https_check_result.h"

namespace hbt {

// Milliseconds of a monotonic clock.
uint64_t TickCount();

struct HttpsCheckJob {
    bool waiting = false;                 // a caller waits for this job
    std::atomic<uint64_t> deadline{0};    // end of the current step's time limit
    uint64_t stepTimeout = 0;
    std::mutex lock;                      // guards the fields below
    std::condition_variable wakeUp;       // signalled when the worker is done
    bool done = false;
    HttpsCheckResult* callerResult = nullptr;  // where interim results go
    std::string checkedHost;
    std::string requestedHost;
    bool resolveByName = false;
    SocketAddressSlot destination;
    std::wstring applicationPath;
    uint64_t processId = 0;
    bool viaProxy = false;
};

}  // namespace hbt
