// --help and --version of every program, and hbtctl's bash completion.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

struct CommandResult {
    int status = -1;
    std::string out;
};

// Runs a shell command line; standard error is left out.
CommandResult RunCommand(const std::string& command) {
    CommandResult run;
    std::FILE* pipe = ::popen((command + " 2>/dev/null").c_str(), "r");
    if (!pipe) return run;
    char buffer[4096];
    std::size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) run.out.append(buffer, n);
    const int status = ::pclose(pipe);
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}

std::string Quoted(const std::string& text) { return "'" + text + "'"; }

TEST(ProgramCommandLine, EveryProgramAnswersHelpAndVersionOnStandardOutput) {
    struct Program {
        std::string name, path, usageStart;
    };
    const std::vector<Program> programs = {
        {"harbinet", HARBINET_PATH, "usage: harbinet"},
        {"hbtctl", HBTCTL_PATH, "usage:\n"},
        {"hbt-engined", HBT_ENGINED_PATH, "Usage: hbt-engined"},
    };
    for (const Program& program : programs) {
        // No display and no engine: the answers come before anything starts.
        const std::string prefix = "env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM " + Quoted(program.path);
        const CommandResult version = RunCommand(prefix + " --version");
        EXPECT_EQ(version.status, 0) << program.name;
        EXPECT_EQ(version.out, program.name + " " + HBT_VERSION + "\n");
        const CommandResult help = RunCommand(prefix + " --help");
        EXPECT_EQ(help.status, 0) << program.name;
        EXPECT_EQ(help.out.rfind(program.usageStart, 0), 0u) << help.out;
        EXPECT_NE(help.out.find("--version"), std::string::npos) << help.out;
    }
}

class HbtctlCompletion : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/hbtctl-completion-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        home_ = pattern;
    }
    void TearDown() override { fs::remove_all(home_); }

    // The candidates bash offers for the words typed so far (the last one
    // being completed), with the built hbtctl first on the PATH.
    std::string Complete(const std::string& words) const {
        const std::string script = "source " + Quoted(HBTCTL_COMPLETION) + "; COMP_WORDS=(" + words +
                                   "); COMP_CWORD=$((${#COMP_WORDS[@]} - 1)); _hbtctl; echo \"${COMPREPLY[*]}\"";
        const std::string command = "env HOME=" + Quoted(home_.string()) + " XDG_CONFIG_HOME=" +
                                    Quoted((home_ / "cfg").string()) + " PATH=" +
                                    Quoted(fs::path(HBTCTL_PATH).parent_path().string()) + ":/usr/bin:/bin bash -c " +
                                    Quoted(script);
        const CommandResult run = RunCommand(command);
        EXPECT_EQ(run.status, 0) << command;
        return run.out;
    }

    fs::path home_;
};

TEST_F(HbtctlCompletion, OffersCommandsSubcommandsOptionsAndStoredKeys) {
    struct Case {
        std::string words, candidates;
    };
    const std::vector<Case> cases = {
        {"hbtctl \"\"", "prefs status check-https tls-judge hsts --help --version\n"},
        {"hbtctl st", "status\n"},
        {"hbtctl prefs \"\"", "show set\n"},
        {"hbtctl prefs set log", "logLevel logFileLevel logPath\n"},
        {"hbtctl prefs set allowT", "allowTls10 allowTls11 allowTls12 allowTls13\n"},
        {"hbtctl prefs set httpPorts \"\"", "\n"},
        {"hbtctl check-https example.com --s", "--strict\n"},
        {"hbtctl tls-judge --r", "--raw\n"},
        {"hbtctl hsts \"\"", "list forget add import\n"},
        {"hbtctl hsts add a.example --", "--subdomains --days\n"},
        {"hbtctl hsts add a.example --days \"\"", "\n"},
    };
    for (const Case& c : cases) EXPECT_EQ(Complete(c.words), c.candidates) << c.words;
}

}  // namespace
