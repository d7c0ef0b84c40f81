#pragma once
// The redirect records waiting for their connections to reach the proxy. The
// engine event loop adds one just before it tells the engine to redirect a
// connect; the connection thread of the accepted connection claims it.
//
// A connection is joined with its record by where it was going (the kernel
// tells the proxy) and by its client: the client's port first, then the
// client's address alone, because the kernel's address translation gives a
// connection another source port when its own one would collide with an
// earlier connection to the proxy. Records that no connection claimed in
// time expire, so that a later connection can never pick up a stale one.
#include <chrono>
#include <cstdint>
#include <list>
#include <mutex>
#include <optional>

#include "core/redirect_record.h"

namespace hbt {

// Names one added record, so that the adder can take back exactly that one.
using RedirectRecordId = uint64_t;

// A redirected connect reaches the proxy within milliseconds; a client whose
// SYN waits for a full accept queue retries after 1, 3, 7 and 15 s.
inline constexpr std::chrono::seconds kRedirectRecordLifetime{30};

class RedirectTable {
public:
    using Clock = std::chrono::steady_clock;

    RedirectRecordId Add(RedirectRecord record, Clock::time_point now);
    // Removes and returns the oldest live record for a connection from `peer`
    // that was going to `originalDestination`.
    std::optional<RedirectRecord> Claim(const SocketAddressSlot& peer, const SocketAddressSlot& originalDestination,
                                        Clock::time_point now);
    // Removes the record if it is still waiting; false when it was claimed or cleared already.
    bool Withdraw(RedirectRecordId id);
    void Clear();

private:
    struct Entry {
        RedirectRecordId id;
        RedirectRecord record;
        Clock::time_point added;
    };

    void DropExpiredLocked(Clock::time_point now);
    std::optional<RedirectRecord> TakeFirstLocked(bool samePort, const SocketAddressSlot& peer,
                                                  const SocketAddressSlot& originalDestination);

    std::mutex lock_;
    std::list<Entry> entries_;  // oldest first
    RedirectRecordId nextId_ = 1;
};

}  // namespace hbt
