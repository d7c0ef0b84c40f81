// The update check against a real update server on loopback.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "log/log_queue.h"
#include "log/log_settings.h"
#include "platform/file_settings_store.h"
#include "tests/https_check/test_server.h"
#include "update/update_checker.h"

namespace hbt {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using test::TestServer;

TestServer::Handler Answer(const std::string& body) { return test::RecordingHttpHandler(test::HttpOk(body)); }

struct Line {
    int32_t level;
    std::wstring text;
    bool operator==(const Line&) const = default;
};

void PrintTo(const Line& line, std::ostream* out) { *out << line.level << ": " << std::string(line.text.begin(), line.text.end()); }

class UpdateCheckerTest : public ::testing::Test {
protected:
    void SetUp() override {
        SetScreenLogLevel(3);
        LogQueue::Instance().TakeAll();
        LogQueue::Instance().RegisterReceiver([] {});
    }
    void TearDown() override {
        checker_.Stop();
        unsetenv("HBT_UPDATE_URL");
        LogQueue::Instance().ClearReceiver();
        LogQueue::Instance().TakeAll();
        SetScreenLogLevel(2);
        fs::remove(path_);
    }

    void UseServer(const TestServer& server) {
        const std::string base = "http://127.0.0.1:" + std::to_string(server.Port()) + "/last_versions/windows/";
        setenv("HBT_UPDATE_URL", base.c_str(), 1);
    }
    bool Start(bool silent) {
        return checker_.Start(silent, store_, [this](const UpdateVerdict& verdict) {
            std::lock_guard lock(mutex_);
            verdicts_.push_back(verdict);
        });
    }
    void WaitUntilDone() {
        const auto end = std::chrono::steady_clock::now() + 10s;
        while (checker_.Running() && std::chrono::steady_clock::now() < end) std::this_thread::sleep_for(5ms);
        ASSERT_FALSE(checker_.Running());
    }
    std::vector<Line> Lines() {
        std::vector<Line> lines;
        for (const LogRecord& record : LogQueue::Instance().TakeAll()) lines.push_back({record.level, record.message});
        return lines;
    }
    std::vector<UpdateVerdict> Verdicts() {
        std::lock_guard lock(mutex_);
        return std::exchange(verdicts_, {});
    }
    int32_t LastUpdateCheck() const { return FileSettingsStore(path_.string()).GetInt("Settings", "lastUpdateCheck", 0); }

    fs::path path_ = fs::temp_directory_path() / ("hbt-update-" + std::to_string(::getpid()) + ".conf");
    FileSettingsStore store_{path_.string()};
    std::mutex mutex_;
    std::vector<UpdateVerdict> verdicts_;
    UpdateChecker checker_;
};

TEST_F(UpdateCheckerTest, EachAnswerIsLoggedAndReportedAsItsKindAndSilenceAsks) {
    const std::string big(10001, '2');
    struct Case {
        std::string body;
        bool silent;
        std::vector<Line> lines;
        std::vector<bool> verdicts;  // out of date, per verdict
    };
    const Case cases[] = {
        {"2 20000 http://mirror.example/get\r\n", false,
         {{2, L"(Harbinet Update Checker) - Update is available at http://mirror.example/get"}}, {false}},
        {"2 20000 http://mirror.example/get\r\n", true, {}, {}},
        {"2 1 http://mirror.example/get", true,
         {{1, L"This version is out of date and no longer supported. Please update at http://mirror.example/get"}},
         {true}},
        {"2 15400 http://mirror.example/get", false, {{3, L"(Harbinet Update Checker) - Your version is up to date."}}, {}},
        {"2 15400 http://mirror.example/get", true, {}, {}},
        {"3 20000 http://mirror.example/get", false,
         {{3, L"(Harbinet Update Checker) - Could not check for updates. Unsupported version format."}}, {}},
        {"2 20000", false, {{3, L"(Harbinet Update Checker) - Could not check for updates. Incorrect version format."}}, {}},
        {"", false, {{3, L"(Harbinet Update Checker) - Could not check for updates. File is empty."}}, {}},
        {big, false, {{3, L"(Harbinet Update Checker) - Could not check for updates. File is too big."}}, {}},
        {big, true, {}, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.body.substr(0, 40) + (c.silent ? " (silent)" : ""));
        TestServer server(Answer(c.body));
        UseServer(server);
        store_.SetInt("Settings", "lastUpdateCheck", 0);
        const auto before = static_cast<int32_t>(std::time(nullptr));
        ASSERT_TRUE(Start(c.silent));
        WaitUntilDone();
        EXPECT_EQ(Lines(), c.lines);
        std::vector<bool> outOfDate;
        for (const UpdateVerdict& verdict : Verdicts()) {
            outOfDate.push_back(verdict.outOfDate);
            EXPECT_EQ(verdict.downloadAddress, "http://mirror.example/get");
        }
        EXPECT_EQ(outOfDate, c.verdicts);
        EXPECT_GE(LastUpdateCheck(), before) << "written whatever the outcome";
        ASSERT_EQ(server.Requests().size(), 1u);
        EXPECT_EQ(server.Requests()[0].rfind("GET /last_versions/windows/15400/ HTTP/1.1\r\n", 0), 0u);
    }
}

TEST_F(UpdateCheckerTest, ASecondCheckIsRefusedWhileOneRuns) {
    TestServer server(test::SilentHandler());
    UseServer(server);
    ASSERT_TRUE(Start(false));
    ASSERT_TRUE(server.WaitForConnections(1));
    EXPECT_FALSE(Start(false));
    EXPECT_FALSE(Start(true));
    server.Release();  // the server closes without answering
    WaitUntilDone();
    const std::vector<Line> lines = Lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].text.rfind(L"(Harbinet Update Checker) - Could not check for updates. ", 0), 0u);
    EXPECT_EQ(server.Connections(), 1);

    TestServer next(Answer("2 15400 http://mirror.example/get"));
    UseServer(next);
    EXPECT_TRUE(Start(false)) << "the flag is clear once a check has ended";
    WaitUntilDone();
}

TEST_F(UpdateCheckerTest, StoppingEndsARunningCheckWithoutAnyOutcome) {
    TestServer server(test::SilentHandler());
    UseServer(server);
    ASSERT_TRUE(Start(false));
    ASSERT_TRUE(server.WaitForConnections(1));
    checker_.Stop();  // the server would hold the check for the whole time limit
    EXPECT_FALSE(checker_.Running());
    EXPECT_TRUE(Lines().empty());
    EXPECT_TRUE(Verdicts().empty());
    EXPECT_EQ(LastUpdateCheck(), 0);
    EXPECT_FALSE(Start(false)) << "a stopped checker starts no more";
    server.Release();
}

}  // namespace
}  // namespace hbt
