#pragma once
// ConntrackClient: the few connection-tracking operations the engine needs,
// over ctnetlink: set the connection mark of one connection, delete the
// entries that carry our marks (never anything else), and hear about
// connections whose entries ended.
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>

#include "HbtEngineDrv/netfilter/tcp_four_tuple.h"

struct mnl_socket;
struct nlmsghdr;

namespace hbt {

class ConntrackClient {
public:
    ConntrackClient() = default;
    ~ConntrackClient();
    ConntrackClient(const ConntrackClient&) = delete;
    ConntrackClient& operator=(const ConntrackClient&) = delete;

    bool Open(std::string* error);
    // `tuple` is the connection's original direction (local to remote).
    bool SetMark(const TcpFourTuple& tuple, uint32_t mark);
    // Deletes every entry whose mark has the given value under the mask.
    bool DeleteMarked(uint32_t mark, uint32_t mask);

    // Subscribes to the end of tracked connections; Fd() becomes readable.
    bool ListenForEnds(std::string* error);
    int EventFd() const;
    // Reads what is waiting and reports each ended TCP connection with its mark.
    void ReadEnds(const std::function<void(const TcpFourTuple&, uint32_t mark)>& onEnd);

private:
    bool Transact(nlmsghdr* message);

    mnl_socket* socket_ = nullptr;
    mnl_socket* events_ = nullptr;
    unsigned portId_ = 0;
    uint32_t sequence_ = 0;
    std::mutex mutex_;
};

}  // namespace hbt
