#pragma once
// Runs the built hbtctl as a child process, the way a user's shell would.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <utility>
#include <vector>

namespace hbt::test {

struct HbtctlRun {
    int status = -1;  // the exit status, -1 when hbtctl did not exit normally
    std::string out;
    std::string err;
};

using Environment = std::vector<std::pair<std::string, std::string>>;

// Runs hbtctl with args; env is added to (or replaces in) the inherited environment.
HbtctlRun RunHbtctl(const std::vector<std::string>& args, const Environment& env = {});

// A temporary HOME and XDG_CONFIG_HOME for commands that read or write the
// stored preferences, removed after each test.
class HbtctlHomeTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    std::filesystem::path SettingsFile() const;
    HbtctlRun Run(const std::vector<std::string>& args) const;

    std::filesystem::path home_;
};

}  // namespace hbt::test
