#include "HbtEngineDrv/netfilter/process_resolver.h"

#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace hbt {
namespace {

constexpr std::size_t kRecentProcesses = 16;

// "socket:[12345]" → 12345; 0 for anything else.
uint64_t SocketInode(const char* link) {
    if (std::strncmp(link, "socket:[", 8) != 0) return 0;
    return std::strtoull(link + 8, nullptr, 10);
}

bool IsNumber(const char* name) {
    if (*name == '\0') return false;
    for (; *name != '\0'; ++name) {
        if (*name < '0' || *name > '9') return false;
    }
    return true;
}

// Calls onSocket(inode) for each socket the process holds; stops when it returns true.
template <typename F>
bool ForEachSocket(const std::string& fdDir, F onSocket) {
    DIR* dir = opendir(fdDir.c_str());
    if (dir == nullptr) return false;
    bool stopped = false;
    char link[64];
    while (dirent* entry = readdir(dir)) {
        if (entry->d_name[0] == '.') continue;
        const ssize_t n = readlinkat(dirfd(dir), entry->d_name, link, sizeof link - 1);
        if (n <= 0) continue;
        link[n] = '\0';
        const uint64_t inode = SocketInode(link);
        if (inode != 0 && onSocket(inode)) {
            stopped = true;
            break;
        }
    }
    closedir(dir);
    return stopped;
}

}  // namespace

uint32_t ProcessResolver::ProcessOfSocket(uint64_t inode) {
    if (inode == 0) return 0;
    std::lock_guard lock(mutex_);
    for (uint32_t pid : recent_) {
        if (ProcessHoldsSocket(pid, inode)) {
            Remember(pid);
            return pid;
        }
    }
    auto known = owners_.find(inode);
    if (known != owners_.end() && ProcessHoldsSocket(known->second, inode)) {
        Remember(known->second);
        return known->second;
    }
    const uint32_t pid = ScanAll(inode);
    if (pid != 0) Remember(pid);
    return pid;
}

bool ProcessResolver::ProcessHoldsSocket(uint32_t pid, uint64_t inode) {
    return ForEachSocket(procRoot_ + "/" + std::to_string(pid) + "/fd",
                         [inode](uint64_t found) { return found == inode; });
}

uint32_t ProcessResolver::ScanAll(uint64_t inode) {
    owners_.clear();
    uint32_t result = 0;
    DIR* proc = opendir(procRoot_.c_str());
    if (proc == nullptr) return 0;
    while (dirent* entry = readdir(proc)) {
        if (!IsNumber(entry->d_name)) continue;
        const uint32_t pid = static_cast<uint32_t>(std::strtoul(entry->d_name, nullptr, 10));
        ForEachSocket(procRoot_ + "/" + entry->d_name + "/fd", [&](uint64_t found) {
            owners_.emplace(found, pid);
            if (found == inode && result == 0) result = pid;
            return false;
        });
    }
    closedir(proc);
    return result;
}

void ProcessResolver::Remember(uint32_t pid) {
    recent_.erase(std::remove(recent_.begin(), recent_.end(), pid), recent_.end());
    recent_.push_front(pid);
    if (recent_.size() > kRecentProcesses) recent_.pop_back();
}

std::string ProcessResolver::ExecutablePath(uint32_t pid) const {
    if (pid == 0) return {};
    char path[4096];
    const ssize_t n = readlink((procRoot_ + "/" + std::to_string(pid) + "/exe").c_str(), path, sizeof path - 1);
    if (n <= 0) return {};
    std::string result(path, static_cast<std::size_t>(n));
    // A replaced executable still names its old path, with this suffix.
    const std::string deleted = " (deleted)";
    if (result.size() > deleted.size() && result.ends_with(deleted)) result.resize(result.size() - deleted.size());
    return result;
}

}  // namespace hbt
