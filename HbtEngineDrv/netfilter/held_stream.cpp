#include "HbtEngineDrv/netfilter/held_stream.h"

#include <algorithm>

namespace hbt {
namespace {

int32_t Diff(uint32_t a, uint32_t b) { return static_cast<int32_t>(a - b); }

}  // namespace

HeldStream::Kind HeldStream::Classify(uint32_t sequence, std::size_t segmentLength, std::size_t* newOffset) {
    const uint32_t end = sequence + static_cast<uint32_t>(segmentLength);
    *newOffset = 0;
    if (!started_) {
        started_ = true;
        next_ = end;
        return Kind::kNew;
    }
    if (Diff(end, next_) <= 0) {
        const bool held = std::any_of(held_.begin(), held_.end(), [&](const HeldPacket& p) {
            return Diff(sequence, p.endSequence) < 0 && Diff(end, p.sequence) > 0;
        });
        return held ? Kind::kHeldRetransmit : Kind::kOld;
    }
    if (Diff(sequence, next_) < 0) *newOffset = static_cast<std::size_t>(Diff(next_, sequence));
    next_ = end;
    return Kind::kNew;
}

std::optional<std::vector<HeldPacket>> HeldStream::TakeMatching(const std::vector<uint8_t>& data) {
    std::size_t count = 0;
    if (data.empty()) {
        if (held_.empty() || !held_.front().data.empty() || givenBack_ != 0) return std::nullopt;
        count = 1;
    } else {
        // Compare with the held bytes from where the last give-back ended.
        std::size_t compared = 0;
        std::size_t skip = givenBack_;
        for (std::size_t i = 0; i < held_.size() && compared < data.size(); ++i) {
            const std::vector<uint8_t>& bytes = held_[i].data;
            if (skip >= bytes.size()) {
                skip -= bytes.size();
                continue;
            }
            const std::size_t n = std::min(bytes.size() - skip, data.size() - compared);
            if (!std::equal(bytes.begin() + static_cast<std::ptrdiff_t>(skip),
                            bytes.begin() + static_cast<std::ptrdiff_t>(skip + n),
                            data.begin() + static_cast<std::ptrdiff_t>(compared))) {
                return std::nullopt;
            }
            compared += n;
            skip = 0;
        }
        if (compared != data.size()) return std::nullopt;
        givenBack_ += data.size();
        while (count < held_.size() && held_[count].data.size() <= givenBack_) {
            givenBack_ -= held_[count].data.size();
            ++count;
            // A bare FIN right behind the given-back bytes stays held: it is given back on its own.
            if (givenBack_ == 0) break;
        }
    }
    std::vector<HeldPacket> taken(std::make_move_iterator(held_.begin()),
                                  std::make_move_iterator(held_.begin() + static_cast<std::ptrdiff_t>(count)));
    held_.erase(held_.begin(), held_.begin() + static_cast<std::ptrdiff_t>(count));
    return taken;
}

std::optional<HeldPacket> HeldStream::TakePacket(uint32_t packetId) {
    auto it = std::find_if(held_.begin(), held_.end(), [&](const HeldPacket& p) { return p.packetId == packetId; });
    if (it == held_.end()) return std::nullopt;
    HeldPacket packet = std::move(*it);
    held_.erase(it);
    return packet;
}

std::vector<HeldPacket> HeldStream::TakeAll() {
    std::vector<HeldPacket> taken(std::make_move_iterator(held_.begin()), std::make_move_iterator(held_.end()));
    held_.clear();
    givenBack_ = 0;
    return taken;
}

}  // namespace hbt
