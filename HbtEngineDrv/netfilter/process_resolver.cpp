#include "HbtEngineDrv/netfilter/process_resolver.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

namespace hbt {
namespace {

constexpr std::size_t kRecentProcesses = 16;
constexpr std::size_t kRecentDescriptors = 64;

// "socket:[12345]" → 12345; 0 for anything else.
uint64_t SocketInode(const char* link) {
    if (std::strncmp(link, "socket:[", 8) != 0) return 0;
    return std::strtoull(link + 8, nullptr, 10);
}

uint64_t SocketAt(int folder, const char* name) {
    char link[64];
    const ssize_t n = readlinkat(folder, name, link, sizeof link - 1);
    if (n <= 0) return 0;
    link[n] = '\0';
    return SocketInode(link);
}

bool IsNumber(const char* name) {
    if (*name == '\0') return false;
    for (; *name != '\0'; ++name) {
        if (*name < '0' || *name > '9') return false;
    }
    return true;
}

// Calls onSocket(fd, inode) for each socket in an open fd folder; stops when it returns true.
// The folder descriptor stays open.
template <typename F>
bool ForEachSocket(int folder, F onSocket) {
    const int copy = dup(folder);
    DIR* dir = copy < 0 ? nullptr : fdopendir(copy);
    if (dir == nullptr) {
        if (copy >= 0) close(copy);
        return false;
    }
    rewinddir(dir);
    bool stopped = false;
    while (dirent* entry = readdir(dir)) {
        if (!IsNumber(entry->d_name)) continue;
        const uint64_t inode = SocketAt(folder, entry->d_name);
        if (inode != 0 && onSocket(std::atoi(entry->d_name), inode)) {
            stopped = true;
            break;
        }
    }
    closedir(dir);
    return stopped;
}

}  // namespace

ProcessResolver::~ProcessResolver() {
    for (const RecentProcess& p : recent_) close(p.fdFolder);
}

uint32_t ProcessResolver::ProcessOfSocket(uint64_t inode) {
    if (inode == 0) return 0;
    std::lock_guard lock(mutex_);
    for (const RecentProcess& p : recent_) {
        std::size_t foundAt = 0;
        const int fd = FindIn(p, inode, foundAt);
        if (fd >= 0) {
            const uint32_t pid = p.pid;
            Remember(pid, fd, foundAt);  // reorders recent_: the loop ends here
            return pid;
        }
    }
    return ScanAll(inode);
}

int ProcessResolver::FindIn(const RecentProcess& process, uint64_t inode, std::size_t& foundAt) const {
    char name[16];
    const std::size_t count = process.descriptors.size();
    const std::size_t start = count == 0 ? 0 : std::min(process.lastFoundAt, count - 1);
    // start, start + 1, start - 1, start + 2, …: every index once.
    for (std::size_t step = 0; step < 2 * count; ++step) {
        const std::size_t distance = (step + 1) / 2;
        const bool above = step % 2 == 1;
        if (!above && distance > start) continue;
        const std::size_t at = above ? start + distance : start - distance;
        if (at >= count) continue;
        const int fd = process.descriptors[at];
        std::snprintf(name, sizeof name, "%d", fd);
        if (SocketAt(process.fdFolder, name) == inode) {
            foundAt = at;
            return fd;
        }
    }
    int found = -1;
    ForEachSocket(process.fdFolder, [&](int fd, uint64_t socket) {
        if (socket != inode) return false;
        found = fd;
        return true;
    });
    return found;
}

uint32_t ProcessResolver::ScanAll(uint64_t inode) {
    if (auto known = owners_.find(inode); known != owners_.end()) {
        // Seen by an earlier full scan; make sure the process still holds it.
        const auto [pid, fd] = known->second;
        const std::string folder = procRoot_ + "/" + std::to_string(pid) + "/fd";
        const int dir = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        const bool holds = dir >= 0 && SocketAt(dir, std::to_string(fd).c_str()) == inode;
        if (dir >= 0) close(dir);
        if (holds) {
            Remember(pid, fd);
            return pid;
        }
    }
    owners_.clear();
    uint32_t result = 0;
    int resultFd = -1;
    DIR* proc = opendir(procRoot_.c_str());
    if (proc == nullptr) return 0;
    while (dirent* entry = readdir(proc)) {
        if (!IsNumber(entry->d_name)) continue;
        const uint32_t pid = static_cast<uint32_t>(std::strtoul(entry->d_name, nullptr, 10));
        const int folder = open((procRoot_ + "/" + entry->d_name + "/fd").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (folder < 0) continue;
        ForEachSocket(folder, [&](int fd, uint64_t found) {
            owners_.emplace(found, std::pair{pid, fd});
            if (found == inode && result == 0) {
                result = pid;
                resultFd = fd;
            }
            return false;
        });
        close(folder);
    }
    closedir(proc);
    if (result != 0) Remember(result, resultFd);
    return result;
}

void ProcessResolver::Remember(uint32_t pid, int fd, std::size_t foundAt) {
    if (!BringToFront(pid)) return;
    RecentProcess& process = recent_.front();
    std::vector<int>& descriptors = process.descriptors;
    descriptors.erase(std::remove(descriptors.begin(), descriptors.end(), fd), descriptors.end());
    descriptors.insert(descriptors.begin(), fd);
    process.lastFoundAt = foundAt;
    if (descriptors.size() > kRecentDescriptors) descriptors.pop_back();
}

bool ProcessResolver::BringToFront(uint32_t pid) {
    auto it = std::find_if(recent_.begin(), recent_.end(), [pid](const RecentProcess& p) { return p.pid == pid; });
    if (it != recent_.end()) {
        std::rotate(recent_.begin(), it, std::next(it));
        return true;
    }
    const std::string folder = procRoot_ + "/" + std::to_string(pid) + "/fd";
    const int fdFolder = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fdFolder < 0) return false;
    RecentProcess process;
    process.pid = pid;
    process.fdFolder = fdFolder;
    process.descriptors.reserve(kRecentDescriptors + 1);  // the newest goes in before the oldest goes out
    recent_.push_front(std::move(process));
    if (recent_.size() > kRecentProcesses) {
        close(recent_.back().fdFolder);
        recent_.pop_back();
    }
    return true;
}

void ProcessResolver::ExecutablePath(uint32_t pid, std::string& path) const {
    path.clear();
    if (pid == 0) return;
    // Built in the room of `path` (the number is short enough not to allocate).
    path.append(procRoot_).append("/").append(std::to_string(pid)).append("/exe");
    char target[4096];
    const ssize_t n = readlink(path.c_str(), target, sizeof target - 1);
    path.assign(target, n > 0 ? static_cast<std::size_t>(n) : 0);
    // A replaced executable still names its old path, with this suffix.
    constexpr std::string_view deleted = " (deleted)";
    if (path.size() > deleted.size() && path.ends_with(deleted)) path.resize(path.size() - deleted.size());
}

}  // namespace hbt
