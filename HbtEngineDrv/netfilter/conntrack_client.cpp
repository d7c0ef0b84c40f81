#include "HbtEngineDrv/netfilter/conntrack_client.h"

#include <arpa/inet.h>
#include <errno.h>
#include <libmnl/libmnl.h>
#include <linux/netfilter/nfnetlink.h>
#include <linux/netfilter/nfnetlink_conntrack.h>
#include <netinet/in.h>
#include <string.h>
#include <sys/socket.h>

#include <vector>

namespace hbt {
namespace {

constexpr int kReceiveTimeoutMs = 1000;

nlmsghdr* PutHeader(char* buffer, uint16_t type, uint16_t flags, uint8_t family, uint32_t sequence) {
    nlmsghdr* message = mnl_nlmsg_put_header(buffer);
    message->nlmsg_type = (NFNL_SUBSYS_CTNETLINK << 8) | type;
    message->nlmsg_flags = NLM_F_REQUEST | NLM_F_ACK | flags;
    message->nlmsg_seq = sequence;
    auto* generic = static_cast<nfgenmsg*>(mnl_nlmsg_put_extra_header(message, sizeof(nfgenmsg)));
    generic->nfgen_family = family;
    generic->version = NFNETLINK_V0;
    generic->res_id = 0;
    return message;
}

void PutTuple(nlmsghdr* message, const TcpFourTuple& t) {
    nlattr* tuple = mnl_attr_nest_start(message, CTA_TUPLE_ORIG);
    nlattr* ip = mnl_attr_nest_start(message, CTA_TUPLE_IP);
    if (t.ipv6) {
        mnl_attr_put(message, CTA_IP_V6_SRC, 16, t.local.data());
        mnl_attr_put(message, CTA_IP_V6_DST, 16, t.remote.data());
    } else {
        mnl_attr_put(message, CTA_IP_V4_SRC, 4, t.local.data());
        mnl_attr_put(message, CTA_IP_V4_DST, 4, t.remote.data());
    }
    mnl_attr_nest_end(message, ip);
    nlattr* proto = mnl_attr_nest_start(message, CTA_TUPLE_PROTO);
    mnl_attr_put_u8(message, CTA_PROTO_NUM, IPPROTO_TCP);
    mnl_attr_put_u16(message, CTA_PROTO_SRC_PORT, htons(t.localPort));
    mnl_attr_put_u16(message, CTA_PROTO_DST_PORT, htons(t.remotePort));
    mnl_attr_nest_end(message, proto);
    mnl_attr_nest_end(message, tuple);
}

struct Attributes {
    static constexpr int kMax = 32;
    const nlattr* at[kMax + 1] = {};
};

int CollectAttribute(const nlattr* attribute, void* data) {
    auto* a = static_cast<Attributes*>(data);
    const int type = mnl_attr_get_type(attribute);
    if (type <= Attributes::kMax) a->at[type] = attribute;
    return MNL_CB_OK;
}

Attributes Nested(const nlattr* parent) {
    Attributes a;
    if (parent != nullptr) mnl_attr_parse_nested(parent, CollectAttribute, &a);
    return a;
}

struct EndContext {
    const std::function<void(const TcpFourTuple&, uint32_t)>* onEnd;
};

int OnEvent(const nlmsghdr* message, void* data) {
    Attributes top;
    mnl_attr_parse(message, sizeof(nfgenmsg), CollectAttribute, &top);
    const Attributes tuple = Nested(top.at[CTA_TUPLE_ORIG]);
    const Attributes ip = Nested(tuple.at[CTA_TUPLE_IP]);
    const Attributes proto = Nested(tuple.at[CTA_TUPLE_PROTO]);
    if (proto.at[CTA_PROTO_NUM] == nullptr || mnl_attr_get_u8(proto.at[CTA_PROTO_NUM]) != IPPROTO_TCP ||
        proto.at[CTA_PROTO_SRC_PORT] == nullptr || proto.at[CTA_PROTO_DST_PORT] == nullptr) {
        return MNL_CB_OK;
    }
    TcpFourTuple t;
    if (ip.at[CTA_IP_V4_SRC] != nullptr && ip.at[CTA_IP_V4_DST] != nullptr) {
        memcpy(t.local.data(), mnl_attr_get_payload(ip.at[CTA_IP_V4_SRC]), 4);
        memcpy(t.remote.data(), mnl_attr_get_payload(ip.at[CTA_IP_V4_DST]), 4);
    } else if (ip.at[CTA_IP_V6_SRC] != nullptr && ip.at[CTA_IP_V6_DST] != nullptr) {
        t.ipv6 = true;
        memcpy(t.local.data(), mnl_attr_get_payload(ip.at[CTA_IP_V6_SRC]), 16);
        memcpy(t.remote.data(), mnl_attr_get_payload(ip.at[CTA_IP_V6_DST]), 16);
    } else {
        return MNL_CB_OK;
    }
    t.localPort = ntohs(mnl_attr_get_u16(proto.at[CTA_PROTO_SRC_PORT]));
    t.remotePort = ntohs(mnl_attr_get_u16(proto.at[CTA_PROTO_DST_PORT]));
    const uint32_t mark = top.at[CTA_MARK] != nullptr ? ntohl(mnl_attr_get_u32(top.at[CTA_MARK])) : 0;
    (*static_cast<EndContext*>(data)->onEnd)(t, mark);
    return MNL_CB_OK;
}

}  // namespace

ConntrackClient::~ConntrackClient() {
    if (socket_ != nullptr) mnl_socket_close(socket_);
    if (events_ != nullptr) mnl_socket_close(events_);
}

bool ConntrackClient::Open(std::string* error) {
    socket_ = mnl_socket_open(NETLINK_NETFILTER);
    if (socket_ == nullptr || mnl_socket_bind(socket_, 0, MNL_SOCKET_AUTOPID) < 0) {
        *error = std::string("opening the connection-tracking socket failed: ") + strerror(errno);
        return false;
    }
    portId_ = mnl_socket_get_portid(socket_);
    timeval timeout{0, kReceiveTimeoutMs * 1000};
    setsockopt(mnl_socket_get_fd(socket_), SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    return true;
}

bool ConntrackClient::Transact(nlmsghdr* message) {
    if (mnl_socket_sendto(socket_, message, message->nlmsg_len) < 0) return false;
    char reply[MNL_SOCKET_BUFFER_SIZE];
    for (;;) {
        const ssize_t n = mnl_socket_recvfrom(socket_, reply, sizeof reply);
        if (n < 0) return false;
        const int rc = mnl_cb_run(reply, static_cast<size_t>(n), message->nlmsg_seq, portId_, nullptr, nullptr);
        if (rc <= MNL_CB_STOP) return rc == MNL_CB_STOP;
    }
}

bool ConntrackClient::SetMark(const TcpFourTuple& tuple, uint32_t mark) {
    if (socket_ == nullptr) return false;
    std::lock_guard lock(mutex_);
    char buffer[MNL_SOCKET_BUFFER_SIZE];
    nlmsghdr* message = PutHeader(buffer, IPCTNL_MSG_CT_NEW, 0, tuple.ipv6 ? AF_INET6 : AF_INET, ++sequence_);
    PutTuple(message, tuple);
    mnl_attr_put_u32(message, CTA_MARK, htonl(mark));
    return Transact(message);
}

bool ConntrackClient::DeleteMarked(uint32_t mark, uint32_t mask) {
    if (socket_ == nullptr) return false;
    std::lock_guard lock(mutex_);
    bool ok = true;
    for (uint8_t family : {uint8_t{AF_INET}, uint8_t{AF_INET6}}) {
        char buffer[MNL_SOCKET_BUFFER_SIZE];
        nlmsghdr* message = PutHeader(buffer, IPCTNL_MSG_CT_DELETE, 0, family, ++sequence_);
        mnl_attr_put_u32(message, CTA_MARK, htonl(mark));
        mnl_attr_put_u32(message, CTA_MARK_MASK, htonl(mask));
        // ENOENT only says that nothing matched.
        if (!Transact(message) && errno != ENOENT) ok = false;
    }
    return ok;
}

bool ConntrackClient::ListenForEnds(std::string* error) {
    events_ = mnl_socket_open(NETLINK_NETFILTER);
    if (events_ == nullptr || mnl_socket_bind(events_, 1u << (NFNLGRP_CONNTRACK_DESTROY - 1), MNL_SOCKET_AUTOPID) < 0) {
        *error = std::string("listening for connection-tracking events failed: ") + strerror(errno);
        return false;
    }
    int on = 1;
    mnl_socket_setsockopt(events_, NETLINK_NO_ENOBUFS, &on, sizeof on);
    return true;
}

int ConntrackClient::EventFd() const { return events_ == nullptr ? -1 : mnl_socket_get_fd(events_); }

void ConntrackClient::ReadEnds(const std::function<void(const TcpFourTuple&, uint32_t mark)>& onEnd) {
    if (events_ == nullptr) return;
    EndContext context{&onEnd};
    std::vector<char> buffer(MNL_SOCKET_BUFFER_SIZE * 4);
    for (;;) {
        const ssize_t n = recv(mnl_socket_get_fd(events_), buffer.data(), buffer.size(), MSG_DONTWAIT);
        if (n <= 0) return;
        mnl_cb_run(buffer.data(), static_cast<size_t>(n), 0, 0, OnEvent, &context);
    }
}

}  // namespace hbt
