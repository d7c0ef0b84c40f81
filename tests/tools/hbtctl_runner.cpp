#include "tests/tools/hbtctl_runner.h"

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string_view>

namespace hbt::test {
namespace {

namespace fs = std::filesystem;

std::string ReadAll(std::FILE* file) {
    std::rewind(file);
    std::string text;
    char buffer[4096];
    std::size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, file)) > 0) text.append(buffer, n);
    std::fclose(file);
    return text;
}

// The inherited environment with env's entries in place of their namesakes.
std::vector<std::string> ChildEnvironment(const Environment& env) {
    std::vector<std::string> entries;
    for (char** entry = environ; *entry; ++entry) {
        const std::string_view text(*entry);
        const auto overridden = [&](const auto& var) { return text.starts_with(var.first + "="); };
        if (std::none_of(env.begin(), env.end(), overridden)) entries.emplace_back(text);
    }
    for (const auto& [name, value] : env) entries.push_back(name + "=" + value);
    return entries;
}

}  // namespace

HbtctlRun RunHbtctl(const std::vector<std::string>& args, const Environment& env) {
    // Unnamed files rather than pipes: the child can fill both without the
    // parent having to drain them while it waits.
    std::FILE* out = std::tmpfile();
    std::FILE* err = std::tmpfile();
    if (!out || !err) {
        ADD_FAILURE() << "no temporary file for hbtctl's output";
        if (out) std::fclose(out);
        if (err) std::fclose(err);
        return {};
    }
    std::vector<char*> argv{const_cast<char*>(HBTCTL_PATH)};
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    // Prepared before the fork: a test server's threads may hold the allocator's lock.
    const std::vector<std::string> environment = ChildEnvironment(env);
    std::vector<char*> envp;
    for (const auto& entry : environment) envp.push_back(const_cast<char*>(entry.c_str()));
    envp.push_back(nullptr);
    const int outFd = ::fileno(out), errFd = ::fileno(err);
    const pid_t pid = ::fork();
    if (pid == 0) {
        if (::dup2(outFd, STDOUT_FILENO) < 0 || ::dup2(errFd, STDERR_FILENO) < 0) ::_exit(127);
        ::execve(HBTCTL_PATH, argv.data(), envp.data());
        ::_exit(127);
    }
    HbtctlRun run;
    int status = 0;
    if (pid > 0 && ::waitpid(pid, &status, 0) == pid && WIFEXITED(status)) run.status = WEXITSTATUS(status);
    run.out = ReadAll(out);
    run.err = ReadAll(err);
    return run;
}

void HbtctlHomeTest::SetUp() {
    char pattern[] = "/tmp/hbtctl-test-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    home_ = pattern;
}

void HbtctlHomeTest::TearDown() { fs::remove_all(home_); }

fs::path HbtctlHomeTest::SettingsFile() const { return home_ / "config" / "Corvant" / "Harbinet.conf"; }

HbtctlRun HbtctlHomeTest::Run(const std::vector<std::string>& args) const {
    return RunHbtctl(args, {{"XDG_CONFIG_HOME", (home_ / "config").string()}, {"HOME", home_.string()}});
}

}  // namespace hbt::test
