#include "HbtEngineDrv/netfilter/sock_diag.h"

#include <errno.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

namespace hbt {
namespace {

constexpr int kReceiveTimeoutMs = 1000;

}  // namespace

SockDiag::SockDiag() {
    fd_ = socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG);
    if (fd_ >= 0) {
        timeval timeout{0, kReceiveTimeoutMs * 1000};
        setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    }
}

SockDiag::~SockDiag() {
    if (fd_ >= 0) close(fd_);
}

std::optional<SocketOwner> SockDiag::Lookup(const TcpFourTuple& tuple) {
    SocketOwner owner;
    if (Request(SOCK_DIAG_BY_FAMILY, tuple, &owner) != 0) return std::nullopt;
    return owner;
}

int SockDiag::Destroy(const TcpFourTuple& tuple) { return Request(SOCK_DESTROY, tuple, nullptr); }

int SockDiag::Request(uint16_t type, const TcpFourTuple& tuple, SocketOwner* owner) {
    if (fd_ < 0) return EBADF;
    struct {
        nlmsghdr header;
        inet_diag_req_v2 request;
    } message{};
    std::lock_guard lock(mutex_);
    message.header.nlmsg_len = sizeof message;
    message.header.nlmsg_type = type;
    message.header.nlmsg_flags = NLM_F_REQUEST | (owner == nullptr ? NLM_F_ACK : 0);
    message.header.nlmsg_seq = ++sequence_;
    message.request.sdiag_family = tuple.ipv6 ? AF_INET6 : AF_INET;
    message.request.sdiag_protocol = IPPROTO_TCP;
    message.request.idiag_states = ~0u;
    message.request.id.idiag_sport = htons(tuple.localPort);
    message.request.id.idiag_dport = htons(tuple.remotePort);
    memcpy(message.request.id.idiag_src, tuple.local.data(), tuple.ipv6 ? 16 : 4);
    memcpy(message.request.id.idiag_dst, tuple.remote.data(), tuple.ipv6 ? 16 : 4);
    message.request.id.idiag_cookie[0] = INET_DIAG_NOCOOKIE;
    message.request.id.idiag_cookie[1] = INET_DIAG_NOCOOKIE;
    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    if (sendto(fd_, &message, sizeof message, 0, reinterpret_cast<sockaddr*>(&kernel), sizeof kernel) < 0) {
        return errno;
    }

    alignas(nlmsghdr) char buffer[8192];
    for (;;) {
        const ssize_t n = recv(fd_, buffer, sizeof buffer, 0);
        if (n < 0) return errno == EAGAIN ? ETIMEDOUT : errno;
        int remaining = static_cast<int>(n);
        for (auto* h = reinterpret_cast<nlmsghdr*>(buffer); NLMSG_OK(h, remaining); h = NLMSG_NEXT(h, remaining)) {
            if (h->nlmsg_seq != sequence_) continue;  // a late answer to an earlier, timed-out request
            if (h->nlmsg_type == NLMSG_ERROR) {
                return -static_cast<const nlmsgerr*>(NLMSG_DATA(h))->error;
            }
            if (h->nlmsg_type == SOCK_DIAG_BY_FAMILY && owner != nullptr) {
                const auto* diag = static_cast<const inet_diag_msg*>(NLMSG_DATA(h));
                owner->inode = diag->idiag_inode;
                owner->uid = diag->idiag_uid;
                return 0;
            }
        }
    }
}

}  // namespace hbt
