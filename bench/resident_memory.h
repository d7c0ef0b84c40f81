#pragma once
// The benchmarks' reading of this process's resident memory.
#include <cstdlib>
#include <fstream>
#include <string>

namespace hbt::bench {

// VmRSS from /proc/self/status in KiB; -1 when it cannot be read.
inline long ResidentKiB() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0) return std::strtol(line.c_str() + 6, nullptr, 10);
    }
    return -1;
}

}  // namespace hbt::bench
