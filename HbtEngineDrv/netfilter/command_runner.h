#pragma once
// Runs a system command (iptables-restore and friends) with the given
// standard input and collects what it writes. The child runs in the network
// namespace of the calling thread.
#include <string>
#include <vector>

namespace hbt {

struct CommandResult {
    int exitCode = -1;  // -1: could not be started or was killed
    std::string output;  // standard output
    std::string errors;  // standard error
};

CommandResult RunCommand(const std::vector<std::string>& argv, const std::string& input = {});

}  // namespace hbt
