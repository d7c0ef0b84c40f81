#pragma once
// NfQueue: one netfilter queue bound over its own netlink socket. Packets are
// copied whole; the kernel accepts packets itself when the queue is full or
// nobody listens (fail-open), so a slow or dead engine never blocks traffic.
// Receive from one thread; verdicts may be sent from any thread.
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

struct mnl_socket;
struct nlmsghdr;

namespace hbt {

struct QueuedPacket {
    uint32_t id = 0;
    uint8_t hook = 0;  // NF_INET_LOCAL_IN (1) or NF_INET_LOCAL_OUT (3) for our rules
    uint32_t mark = 0;
    std::vector<uint8_t> payload;  // the IP packet
};

enum class Verdict : uint32_t { kDrop = 0, kAccept = 1 };

class NfQueue {
public:
    NfQueue() = default;
    ~NfQueue();
    NfQueue(const NfQueue&) = delete;
    NfQueue& operator=(const NfQueue&) = delete;

    bool Open(uint16_t queueNumber, uint32_t maxLength, std::string* error);
    void Close();
    int Fd() const;

    // Reads what is waiting (non-blocking) and hands each packet to `onPacket`.
    // Returns false on a socket failure other than a full buffer.
    bool Receive(const std::function<void(QueuedPacket&&)>& onPacket);

    // `mark` 0 leaves the packet mark unchanged; `replacement` (if not empty) is the new packet.
    // Inside a verdict batch of this thread the verdict is only queued (and true).
    bool SetVerdict(uint32_t packetId, Verdict verdict, uint32_t mark = 0,
                    const std::vector<uint8_t>& replacement = {});

    // Verdicts given on this thread between these calls, for any queue, go to
    // the kernel in one write per queue when the outermost batch ends. A
    // verdict with a replacement packet sends the queued ones first, so the
    // order of verdicts stays as given.
    static void BeginVerdictBatch();
    static void EndVerdictBatch();

private:
    bool SendConfig(nlmsghdr* message, std::string* error);
    // Sends this thread's queued verdicts for this queue.
    void SendBatched();

    mnl_socket* socket_ = nullptr;
    uint16_t queueNumber_ = 0;
    unsigned portId_ = 0;
    std::vector<char> buffer_;
    // The packet handed to Receive's callback; its payload's room serves the
    // next packet unless the callback took the payload.
    QueuedPacket received_;
};

}  // namespace hbt
