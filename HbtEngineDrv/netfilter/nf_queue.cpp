#include "HbtEngineDrv/netfilter/nf_queue.h"

#include <arpa/inet.h>
#include <errno.h>
#include <libmnl/libmnl.h>
#include <linux/netfilter.h>
#include <linux/netfilter/nfnetlink_queue.h>
#include <libnetfilter_queue/libnetfilter_queue.h>
#include <string.h>
#include <sys/socket.h>

namespace hbt {
namespace {

constexpr uint32_t kCopyRange = 0xFFFF;
constexpr int kReceiveBufferBytes = 8 * 1024 * 1024;

std::string Errno(const char* what) { return std::string(what) + ": " + strerror(errno); }

// Room for one verdict message without a replacement packet.
constexpr std::size_t kVerdictRoom = 256;
// A batch is sent early once it holds this much.
constexpr std::size_t kBatchSendBytes = 32 * 1024;

// The verdicts this thread keeps back for one queue.
struct BatchedVerdicts {
    NfQueue* queue = nullptr;
    std::vector<char> bytes;  // whole netlink messages, one after the other
};

thread_local int t_batchDepth = 0;
thread_local std::vector<BatchedVerdicts> t_batched;  // kept with its capacity between batches

std::vector<char>& BatchOf(NfQueue* queue) {
    for (BatchedVerdicts& batch : t_batched) {
        if (batch.queue == queue) return batch.bytes;
    }
    t_batched.push_back(BatchedVerdicts{queue, {}});
    return t_batched.back().bytes;
}

nlmsghdr* PutVerdict(char* buffer, uint16_t queueNumber, uint32_t packetId, Verdict verdict, uint32_t mark) {
    nlmsghdr* message = nfq_nlmsg_put(buffer, NFQNL_MSG_VERDICT, queueNumber);
    nfq_nlmsg_verdict_put(message, static_cast<int>(packetId), verdict == Verdict::kAccept ? NF_ACCEPT : NF_DROP);
    if (mark != 0) nfq_nlmsg_verdict_put_mark(message, mark);
    return message;
}

struct ParseContext {
    const std::function<void(QueuedPacket&&)>* onPacket;
    QueuedPacket* packet;  // filled in anew for each message
};

int OnMessage(const nlmsghdr* message, void* data) {
    nlattr* attributes[NFQA_MAX + 1] = {};
    if (nfq_nlmsg_parse(message, attributes) < 0 || attributes[NFQA_PACKET_HDR] == nullptr) {
        return MNL_CB_OK;
    }
    auto* header = static_cast<nfqnl_msg_packet_hdr*>(mnl_attr_get_payload(attributes[NFQA_PACKET_HDR]));
    const auto& context = *static_cast<ParseContext*>(data);
    QueuedPacket& packet = *context.packet;
    packet.id = ntohl(header->packet_id);
    packet.hook = header->hook;
    packet.mark = attributes[NFQA_MARK] != nullptr ? ntohl(mnl_attr_get_u32(attributes[NFQA_MARK])) : 0;
    packet.payload.clear();
    if (attributes[NFQA_PAYLOAD] != nullptr) {
        auto* bytes = static_cast<const uint8_t*>(mnl_attr_get_payload(attributes[NFQA_PAYLOAD]));
        packet.payload.assign(bytes, bytes + mnl_attr_get_payload_len(attributes[NFQA_PAYLOAD]));
    }
    (*context.onPacket)(std::move(packet));
    return MNL_CB_OK;
}

}  // namespace

NfQueue::~NfQueue() { Close(); }

bool NfQueue::SendConfig(nlmsghdr* message, std::string* error) {
    if (mnl_socket_sendto(socket_, message, message->nlmsg_len) < 0) {
        *error = Errno("sending the queue configuration failed");
        return false;
    }
    // The request asked for an acknowledgement; a refusal (queue taken, no
    // kernel support) comes back as an error message.
    char reply[MNL_SOCKET_BUFFER_SIZE];
    const ssize_t n = mnl_socket_recvfrom(socket_, reply, sizeof reply);
    if (n < 0 || mnl_cb_run(reply, static_cast<size_t>(n), message->nlmsg_seq, portId_, nullptr, nullptr) < 0) {
        *error = errno == EPERM ? "permission denied: intercepting needs root (CAP_NET_ADMIN)"
                                : Errno("the kernel refused the queue configuration (is nfnetlink_queue available?)");
        return false;
    }
    return true;
}

bool NfQueue::Open(uint16_t queueNumber, uint32_t maxLength, std::string* error) {
    queueNumber_ = queueNumber;
    socket_ = mnl_socket_open(NETLINK_NETFILTER);
    if (socket_ == nullptr) {
        *error = Errno("opening a netfilter netlink socket failed");
        return false;
    }
    if (mnl_socket_bind(socket_, 0, MNL_SOCKET_AUTOPID) < 0) {
        *error = Errno("binding the netfilter netlink socket failed");
        Close();
        return false;
    }
    portId_ = mnl_socket_get_portid(socket_);
    buffer_.resize(kCopyRange + MNL_SOCKET_BUFFER_SIZE);

    char buffer[MNL_SOCKET_BUFFER_SIZE];
    nlmsghdr* message = nfq_nlmsg_put(buffer, NFQNL_MSG_CONFIG, queueNumber);
    message->nlmsg_flags |= NLM_F_ACK;
    message->nlmsg_seq = 1;
    nfq_nlmsg_cfg_put_cmd(message, AF_INET, NFQNL_CFG_CMD_BIND);
    if (!SendConfig(message, error)) {
        *error = "binding queue " + std::to_string(queueNumber) + " failed (" + *error + ")";
        Close();
        return false;
    }

    message = nfq_nlmsg_put(buffer, NFQNL_MSG_CONFIG, queueNumber);
    message->nlmsg_flags |= NLM_F_ACK;
    message->nlmsg_seq = 2;
    nfq_nlmsg_cfg_put_params(message, NFQNL_COPY_PACKET, kCopyRange);
    mnl_attr_put_u32(message, NFQA_CFG_QUEUE_MAXLEN, htonl(maxLength));
    mnl_attr_put_u32(message, NFQA_CFG_FLAGS, htonl(NFQA_CFG_F_FAIL_OPEN));
    mnl_attr_put_u32(message, NFQA_CFG_MASK, htonl(NFQA_CFG_F_FAIL_OPEN));
    if (!SendConfig(message, error)) {
        Close();
        return false;
    }

    // A burst that overflows the socket buffer loses packets (the kernel's
    // fail-open lets them pass); the next receive must not fail for it.
    int on = 1;
    mnl_socket_setsockopt(socket_, NETLINK_NO_ENOBUFS, &on, sizeof on);
    int size = kReceiveBufferBytes;
    setsockopt(mnl_socket_get_fd(socket_), SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size);
    return true;
}

void NfQueue::Close() {
    if (socket_ != nullptr) {
        mnl_socket_close(socket_);
        socket_ = nullptr;
    }
}

int NfQueue::Fd() const { return socket_ == nullptr ? -1 : mnl_socket_get_fd(socket_); }

bool NfQueue::Receive(const std::function<void(QueuedPacket&&)>& onPacket) {
    ParseContext context{&onPacket, &received_};
    for (;;) {
        const ssize_t n = recv(Fd(), buffer_.data(), buffer_.size(), MSG_DONTWAIT);
        if (n < 0) {
            if (errno == EAGAIN || errno == EINTR || errno == ENOBUFS) return true;
            return false;
        }
        mnl_cb_run(buffer_.data(), static_cast<size_t>(n), 0, portId_, OnMessage, &context);
    }
}

bool NfQueue::SetVerdict(uint32_t packetId, Verdict verdict, uint32_t mark,
                         const std::vector<uint8_t>& replacement) {
    if (socket_ == nullptr) return false;
    if (t_batchDepth > 0 && replacement.empty()) {
        std::vector<char>& batch = BatchOf(this);
        const std::size_t used = batch.size();
        batch.resize(used + kVerdictRoom);
        const nlmsghdr* message = PutVerdict(batch.data() + used, queueNumber_, packetId, verdict, mark);
        batch.resize(used + message->nlmsg_len);
        if (batch.size() >= kBatchSendBytes) SendBatched();
        return true;
    }
    if (t_batchDepth > 0) SendBatched();
    // A verdict alone fits on the stack; one with a new packet needs room for it.
    alignas(nlmsghdr) char small[kVerdictRoom];
    std::vector<char> large;
    char* buffer = small;
    if (!replacement.empty()) {
        large.resize(MNL_SOCKET_BUFFER_SIZE + replacement.size());
        buffer = large.data();
    }
    nlmsghdr* message = PutVerdict(buffer, queueNumber_, packetId, verdict, mark);
    if (!replacement.empty()) nfq_nlmsg_verdict_put_pkt(message, replacement.data(), replacement.size());
    return mnl_socket_sendto(socket_, message, message->nlmsg_len) >= 0;
}

void NfQueue::SendBatched() {
    std::vector<char>& batch = BatchOf(this);
    // The kernel reads every message of one write in turn.
    if (!batch.empty() && socket_ != nullptr) mnl_socket_sendto(socket_, batch.data(), batch.size());
    batch.clear();
}

void NfQueue::BeginVerdictBatch() { ++t_batchDepth; }

void NfQueue::EndVerdictBatch() {
    if (--t_batchDepth > 0) return;
    for (BatchedVerdicts& batch : t_batched) {
        if (batch.bytes.empty()) continue;
        // The queue lives as long as any batch that gave it verdicts.
        batch.queue->SendBatched();
    }
}

}  // namespace hbt
