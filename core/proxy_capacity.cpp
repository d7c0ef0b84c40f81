#include "core/proxy_capacity.h"

#include <algorithm>

#include "log/log.h"

namespace hbt {

uint64_t ProxyCapacityForDescriptors(uint64_t descriptorLimit) {
    const uint64_t left = descriptorLimit > kDescriptorReserve ? descriptorLimit - kDescriptorReserve : 0;
    return std::max<uint64_t>(left / 2, 1);
}

uint64_t ProxyCapacity::Capacity() const {
    std::lock_guard lock(lock_);
    return capacity_;
}

void ProxyCapacity::SetCapacity(uint64_t connections) {
    std::lock_guard lock(lock_);
    capacity_ = connections;
}

bool ProxyCapacity::Admit(uint64_t openConnections) {
    std::lock_guard lock(lock_);
    if (!full_) {
        if (openConnections < capacity_) return true;
        full_ = true;
        wentDirect_ = 1;
        CLog(kLogError) << "Proxy is full (" << openConnections
                        << " connections). New connections go direct until it has room again.";
        return false;
    }
    if (openConnections >= capacity_ - capacity_ / 8) {
        ++wentDirect_;
        return false;
    }
    full_ = false;
    CLog(kLogNormal) << "Proxy has room again. " << wentDirect_ << " connections went direct while the proxy was full.";
    return true;
}

}  // namespace hbt
