#pragma once
// HeldConnects: the outgoing connects held in the connect queue until the
// engine answers them, found by handle or by 4-tuple, and the answers given
// lately, so that a retransmitted SYN joins its held connect or gets the
// answer its connect already had instead of counting as a new connect.
#include <cstdint>
#include <mutex>
#include <optional>
#include <unordered_map>
#include <vector>

#include "HbtEngineDrv/netfilter/tcp_four_tuple.h"
#include "HbtEngineDrv/platform/filter_platform.h"

namespace hbt {

struct PendingConnect {
    uint64_t handle = 0;
    TcpFourTuple tuple;
    uint32_t isn = 0;                 // the SYN's initial sequence number
    std::vector<uint32_t> packetIds;  // the SYN and its retransmissions, all held
    ClassifyInfo info;
};

class HeldConnects {
public:
    // How long an answer is kept for late retransmitted SYNs, in 100 ns units.
    static constexpr uint64_t kAnswerKeep = 120ull * 10000000;

    struct SynMatch {
        enum class Kind {
            kNew,       // a connect not seen before
            kJoined,    // a retransmission of a held connect: held with it
            kAnswered,  // a retransmission of an answered connect: gets `mark`
        } kind = Kind::kNew;
        uint32_t mark = 0;
    };

    // Looks the SYN up by its tuple and initial sequence number; a retransmission
    // of a held connect is held with it (by packet id) before this returns.
    SynMatch Match(const TcpFourTuple& tuple, uint32_t isn, uint32_t packetId);
    // Holds a new connect under a new handle, which is filled in to the
    // returned info (connect and endpoint handle).
    ClassifyInfo Hold(const TcpFourTuple& tuple, uint32_t isn, uint32_t packetId, ClassifyInfo info);
    // Takes a held connect out to answer it; nullopt when it is not held (any more).
    std::optional<PendingConnect> Take(uint64_t handle);
    // Remembers the answer (packet mark) of a connect taken out, as of `now`.
    void RecordAnswer(const TcpFourTuple& tuple, uint32_t isn, uint32_t mark, uint64_t now);
    // Forgets answers older than kAnswerKeep.
    void PruneAnswers(uint64_t now);
    // Forgets everything; returns the packet ids of every connect still held.
    std::vector<uint32_t> TakeAllPackets();

private:
    struct Answer {
        uint32_t isn = 0;
        uint32_t mark = 0;
        uint64_t time = 0;
    };

    std::mutex mutex_;  // the tables below; pending_ and byTuple_ change together
    uint64_t nextHandle_ = 0;
    std::unordered_map<uint64_t, PendingConnect> pending_;
    std::unordered_map<TcpFourTuple, uint64_t, TupleHash> byTuple_;
    std::unordered_map<TcpFourTuple, Answer, TupleHash> answers_;
};

}  // namespace hbt
