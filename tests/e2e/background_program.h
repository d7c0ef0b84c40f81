#pragma once
// A program started in the background (a TLS server, the engine daemon) and
// ended with the test: SIGTERM, then SIGKILL if it does not go.
#include <string>
#include <vector>

namespace hbt::e2e {

class BackgroundProgram {
public:
    BackgroundProgram() = default;
    ~BackgroundProgram();
    BackgroundProgram(const BackgroundProgram&) = delete;
    BackgroundProgram& operator=(const BackgroundProgram&) = delete;

    // Standard error goes to `errorFile` when given.
    bool Start(const std::vector<std::string>& argv, const std::string& errorFile = {});
    // Sends the signal and waits up to `seconds` for the end; returns the exit
    // status (-1 when it did not end or died from a signal).
    int Stop(int signal, int seconds);
    bool Running();
    int Pid() const { return pid_; }

private:
    int pid_ = -1;
    int status_ = -1;
};

}  // namespace hbt::e2e
