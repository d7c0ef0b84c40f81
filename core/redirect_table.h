#pragma once
// The redirect records waiting for their connections to reach the proxy. The
// engine event loop adds one just before it tells the engine to redirect a
// connect; the connection thread of the accepted connection claims it.
#include <cstdint>
#include <list>
#include <mutex>
#include <optional>

#include "core/redirect_record.h"

namespace hbt {

// Names one added record, so that the adder can take back exactly that one.
using RedirectRecordId = uint64_t;

class RedirectTable {
public:
    RedirectRecordId Add(RedirectRecord record);
    // Removes and returns the oldest record matching the peer.
    std::optional<RedirectRecord> TakeOldestMatch(const SocketAddressSlot& peer);
    // Removes the record if it is still waiting; false when it was claimed or cleared already.
    bool Withdraw(RedirectRecordId id);
    void Clear();

private:
    struct Entry {
        RedirectRecordId id;
        RedirectRecord record;
    };

    std::mutex lock_;
    std::list<Entry> entries_;  // oldest first
    RedirectRecordId nextId_ = 1;
};

}  // namespace hbt
