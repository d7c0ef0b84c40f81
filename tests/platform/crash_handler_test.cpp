// The crash handler in a program that crashes on purpose.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "platform/crash_handler.h"

namespace hbt {
namespace {

namespace fs = std::filesystem;

std::string ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

class CrashHandlerTest : public ::testing::Test {
protected:
    void SetUp() override {
        fs::remove_all(folder_);
        fs::create_directories(folder_);
    }
    void TearDown() override { fs::remove_all(folder_); }

    // Runs the crash program with TMPDIR set and waits for its end; the raw wait status.
    int Crash(const std::string& mode, const fs::path& temporaryFolder) {
        fs::remove(reports_);
        const pid_t child = ::fork();
        if (child == 0) {
            ::setenv("TMPDIR", temporaryFolder.c_str(), 1);
            ::setenv("HBT_CRASH_REPORTS", reports_.c_str(), 1);
            ::execl(CRASH_TEST_PROGRAM, CRASH_TEST_PROGRAM, mode.c_str(), nullptr);
            ::_exit(127);
        }
        int status = 0;
        ::waitpid(child, &status, 0);
        return status;
    }
    int Crash(const std::string& mode) { return Crash(mode, folder_); }
    fs::path Dump() const { return folder_ / "Harbinet.dmp"; }
    std::string Reports() const { return ReadFile(reports_); }

    fs::path folder_ = fs::temp_directory_path() / ("hbt-crash-" + std::to_string(::getpid()));
    fs::path reports_ = folder_ / "reports.txt";
};

TEST_F(CrashHandlerTest, EachCrashLeavesOneDumpAndStartsOneReport) {
    struct Case {
        const char* mode;
        int signal;
        const char* signalLine;
    };
    const Case cases[] = {
        {"segv", SIGSEGV, "signal 11 (SIGSEGV)"},
        {"abort", SIGABRT, "signal 6 (SIGABRT)"},
        {"two-threads", SIGSEGV, "signal 11 (SIGSEGV)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.mode);
        fs::remove(Dump());
        const int status = Crash(c.mode);
        ASSERT_TRUE(WIFEXITED(status)) << "a written dump ends the process itself";
        EXPECT_EQ(WEXITSTATUS(status), 128 + c.signal);
        const std::string dump = ReadFile(Dump());
        EXPECT_NE(dump.find(c.signalLine), std::string::npos) << dump.substr(0, 400);
        EXPECT_NE(dump.find("\nthread "), std::string::npos);
        const auto backtrace = dump.find("\nbacktrace:\n");
        const auto map = dump.find("\nmemory map:\n");
        ASSERT_NE(backtrace, std::string::npos);
        ASSERT_NE(map, std::string::npos);
        const std::string frames = dump.substr(backtrace, map - backtrace);
        EXPECT_NE(frames.find(c.signal == SIGSEGV ? "CrashOnPurpose" : "abort"), std::string::npos) << frames;
        EXPECT_NE(dump.find("[stack]", map), std::string::npos);
        EXPECT_EQ(dump.find("\nmemory:"), std::string::npos) << "the small dump holds no memory";
        EXPECT_EQ(Reports(), Dump().string() + " saved\n");
        EXPECT_EQ(fs::status(Dump()).permissions() & (fs::perms::group_all | fs::perms::others_all), fs::perms::none);
    }
}

TEST_F(CrashHandlerTest, TheBigDumpHoldsThePrivateWritableMemory) {
    ASSERT_TRUE(WIFEXITED(Crash("marked-block")));
    const std::string small = ReadFile(Dump());
    ASSERT_TRUE(WIFEXITED(Crash("big-marked-block")));
    const std::string big = ReadFile(Dump());
    const std::string marked = "HBT-MARKED-HEAP-BLOCK-HBT-MARKED-HEAP-BLOCK-";
    EXPECT_EQ(small.find(marked), std::string::npos);
    EXPECT_NE(big.find(marked), std::string::npos);
    EXPECT_GE(big.size(), small.size() + (8u << 20));
    EXPECT_NE(big.find("\nregion "), std::string::npos);
    EXPECT_EQ(Reports(), Dump().string() + " saved\n");
}

TEST_F(CrashHandlerTest, ADumpThatCannotBeWrittenIsReportedAndTheSystemEndsTheProcess) {
    const fs::path missing = folder_ / "missing";
    int status = Crash("segv", missing);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGSEGV);
    EXPECT_EQ(Reports(), (missing / "Harbinet.dmp").string() + " not-created:2\n");

    status = Crash("file-limit");
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGSEGV);
    EXPECT_EQ(Reports(), Dump().string() + " not-saved:27\n");
}

TEST(CrashDumpStatus, TheReporterReadsTheHandlersWords) {
    CrashDumpStatus status;
    ASSERT_TRUE(ParseCrashDumpStatus("saved", status));
    EXPECT_EQ(status.outcome, CrashDumpOutcome::kSaved);
    ASSERT_TRUE(ParseCrashDumpStatus("not-created:13", status));
    EXPECT_EQ(status.outcome, CrashDumpOutcome::kNotCreated);
    EXPECT_EQ(status.error, 13);
    ASSERT_TRUE(ParseCrashDumpStatus("not-saved:28", status));
    EXPECT_EQ(status.outcome, CrashDumpOutcome::kNotSaved);
    EXPECT_EQ(status.error, 28);
    for (const char* word : {"", "Saved", "not-saved:", "not-saved:x1", "not-created:-2", "gone:1"}) {
        EXPECT_FALSE(ParseCrashDumpStatus(word, status)) << word;
    }
}

}  // namespace
}  // namespace hbt
