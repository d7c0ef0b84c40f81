#pragma once
// ProcessResolver: which process owns a socket inode, found by scanning the
// open files of processes under /proc. Processes that owned sockets recently
// are looked at first (through descriptors of their /proc folders kept open,
// which also cannot mistake a new process for a dead one with the same id),
// and in them the descriptor numbers that held the last sockets found, since
// a new socket mostly reuses one. A busy application costs a few link reads.
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

namespace hbt {

class ProcessResolver {
public:
    explicit ProcessResolver(std::string procRoot = "/proc") : procRoot_(std::move(procRoot)) {}
    ~ProcessResolver();
    ProcessResolver(const ProcessResolver&) = delete;
    ProcessResolver& operator=(const ProcessResolver&) = delete;

    // 0 when no process holds the socket (any more).
    uint32_t ProcessOfSocket(uint64_t inode);
    // The process's executable path, into `path`, whose room is reused; empty when unknown.
    void ExecutablePath(uint32_t pid, std::string& path) const;

private:
    struct RecentProcess {
        uint32_t pid = 0;
        int fdFolder = -1;               // /proc/<pid>/fd, open
        std::vector<int> descriptors;    // where its last sockets were, most recent first
        // Where in `descriptors` the last socket was found: 0 for a process
        // that connects one at a time (its next socket takes the number just
        // freed), about the number of its connects in flight otherwise.
        std::size_t lastFoundAt = 0;
    };

    // The descriptor number that holds the socket in the process, or -1; the
    // remembered numbers are tried nearest to where the last socket was found
    // first, and `foundAt` is set to where this one was.
    int FindIn(const RecentProcess& process, uint64_t inode, std::size_t& foundAt) const;
    uint32_t ScanAll(uint64_t inode);
    void Remember(uint32_t pid, int fd, std::size_t foundAt = 0);
    // Puts the process first in the recent list, remembering it anew when it
    // is not there yet; false when its fd folder cannot be opened. Only a new
    // process costs allocations.
    bool BringToFront(uint32_t pid);

    std::string procRoot_;
    std::mutex mutex_;
    std::deque<RecentProcess> recent_;  // most recent first
    std::unordered_map<uint64_t, std::pair<uint32_t, int>> owners_;  // inode → pid, fd; from the last full scan
};

}  // namespace hbt
