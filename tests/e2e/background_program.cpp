#include "tests/e2e/background_program.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

extern char** environ;

namespace hbt::e2e {

BackgroundProgram::~BackgroundProgram() {
    if (pid_ > 0 && Stop(SIGTERM, 5) == -1 && pid_ > 0) Stop(SIGKILL, 5);
}

bool BackgroundProgram::Start(const std::vector<std::string>& argv, const std::string& errorFile) {
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    if (!errorFile.empty()) {
        posix_spawn_file_actions_addopen(&actions, 2, errorFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    }
    pid_t pid = -1;
    const int rc = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) return false;
    pid_ = pid;
    return true;
}

bool BackgroundProgram::Running() {
    if (pid_ <= 0) return false;
    int status = 0;
    const pid_t r = waitpid(pid_, &status, WNOHANG);
    if (r == pid_) {
        status_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        pid_ = -1;
        return false;
    }
    return true;
}

int BackgroundProgram::Stop(int signal, int seconds) {
    if (pid_ <= 0) return status_;
    kill(pid_, signal);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (Running()) {
        if (std::chrono::steady_clock::now() > deadline) return -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return status_;
}

}  // namespace hbt::e2e
