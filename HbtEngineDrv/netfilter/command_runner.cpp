#include "HbtEngineDrv/netfilter/command_runner.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace hbt {
namespace {

struct Pipe {
    int fds[2] = {-1, -1};
    bool Open() { return pipe2(fds, O_CLOEXEC) == 0; }
    void CloseRead() { CloseFd(0); }
    void CloseWrite() { CloseFd(1); }
    void CloseFd(int i) {
        if (fds[i] >= 0) close(fds[i]);
        fds[i] = -1;
    }
    ~Pipe() {
        CloseFd(0);
        CloseFd(1);
    }
};

// Feeds the input and drains both outputs without blocking on any one of them.
void Exchange(Pipe& in, Pipe& out, Pipe& err, const std::string& input, CommandResult& result) {
    std::size_t written = 0;
    if (input.empty()) in.CloseWrite();
    char buffer[4096];
    while (out.fds[0] >= 0 || err.fds[0] >= 0) {
        pollfd fds[3] = {{out.fds[0], POLLIN, 0}, {err.fds[0], POLLIN, 0}, {in.fds[1], POLLOUT, 0}};
        if (poll(fds, 3, -1) < 0) {
            if (errno == EINTR) continue;
            break;
        }
        if (fds[2].revents != 0) {
            const ssize_t n = write(in.fds[1], input.data() + written, input.size() - written);
            if (n > 0) written += static_cast<std::size_t>(n);
            if (n <= 0 || written == input.size()) in.CloseWrite();
        }
        for (int i = 0; i < 2; ++i) {
            if (fds[i].revents == 0) continue;
            Pipe& p = i == 0 ? out : err;
            const ssize_t n = read(p.fds[0], buffer, sizeof buffer);
            if (n > 0) {
                (i == 0 ? result.output : result.errors).append(buffer, static_cast<std::size_t>(n));
            } else if (n == 0 || errno != EINTR) {
                p.CloseRead();
            }
        }
    }
    in.CloseWrite();
}

}  // namespace

CommandResult RunCommand(const std::vector<std::string>& argv, const std::string& input) {
    CommandResult result;
    Pipe in, out, err;
    if (argv.empty() || !in.Open() || !out.Open() || !err.Open()) return result;

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in.fds[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out.fds[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err.fds[1], 2);
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    pid_t pid = -1;
    const int rc = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    in.CloseRead();
    out.CloseWrite();
    err.CloseWrite();
    if (rc != 0) {
        result.errors = argv[0] + ": " + strerror(rc);
        return result;
    }

    // A child that dies early must not kill us with SIGPIPE.
    sigset_t pipeSet, oldSet;
    sigemptyset(&pipeSet);
    sigaddset(&pipeSet, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipeSet, &oldSet);
    Exchange(in, out, err, input, result);
    timespec zero{};
    while (sigtimedwait(&pipeSet, nullptr, &zero) > 0) {
    }
    pthread_sigmask(SIG_SETMASK, &oldSet, nullptr);

    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

}  // namespace hbt
