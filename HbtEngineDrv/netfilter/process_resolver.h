#pragma once
// ProcessResolver: which process owns a socket inode, found by scanning the
// open files of processes under /proc. Processes that owned sockets recently
// are looked at first, so a busy application costs one small directory read.
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <unordered_map>

namespace hbt {

class ProcessResolver {
public:
    explicit ProcessResolver(std::string procRoot = "/proc") : procRoot_(std::move(procRoot)) {}

    // 0 when no process holds the socket (any more).
    uint32_t ProcessOfSocket(uint64_t inode);
    // The process's executable path; empty when unknown.
    std::string ExecutablePath(uint32_t pid) const;

private:
    bool ProcessHoldsSocket(uint32_t pid, uint64_t inode);
    uint32_t ScanAll(uint64_t inode);
    void Remember(uint32_t pid);

    std::string procRoot_;
    std::mutex mutex_;
    std::deque<uint32_t> recent_;  // most recent first
    std::unordered_map<uint64_t, uint32_t> owners_;  // from the last full scan
};

}  // namespace hbt
