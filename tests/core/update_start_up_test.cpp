// The update check that the core's start-up decides on, against a local update server.
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>

#include "tests/core/core_program_fixture.h"
#include "tests/https_check/test_server.h"

namespace hbt {
namespace {

class UpdateStartUpTest : public CoreProgramTest {
protected:
    void Serve(const std::string& answer) {
        server_ = std::make_unique<test::TestServer>(test::RecordingHttpHandler(test::HttpOk(answer)));
        const std::string base = "http://127.0.0.1:" + std::to_string(server_->Port()) + "/last_versions/windows/";
        setenv("HBT_UPDATE_URL", base.c_str(), 1);
    }
    void TearDown() override {
        CoreProgramTest::TearDown();
        unsetenv("HBT_UPDATE_URL");
    }
    int32_t StoredLastCheck() const {
        return FileSettingsStore(store_->Path()).GetInt("Settings", "lastUpdateCheck", 0);
    }
    // The check's log lines are the update tests' business: start-up takes the log's lines meanwhile.
    std::unique_ptr<test::TestServer> server_;
};

TEST_F(UpdateStartUpTest, WithTheCheckOffAnElevenDayOldStampStartsASilentCheck) {
    Serve("2 1 http://mirror.example/old");
    const auto now = static_cast<int32_t>(std::time(nullptr));
    store_->SetInt("Settings", "lastUpdateCheck", now - 11 * 86400);
    StartAndWaitUntilServing();
    // Out of date is shown even when the check is silent.
    ASSERT_TRUE(WaitFor([&] { return ui_.Verdicts().size() == 1; }));
    EXPECT_TRUE(ui_.Verdicts()[0].outOfDate);
    EXPECT_EQ(ui_.Verdicts()[0].downloadAddress, "http://mirror.example/old");
    EXPECT_GE(StoredLastCheck(), now);
    ASSERT_EQ(server_->Requests().size(), 1u);
    EXPECT_EQ(server_->Requests()[0].rfind("GET /last_versions/windows/15400/ ", 0), 0u);
}

TEST_F(UpdateStartUpTest, WithTheCheckOnANormalCheckReportsAnUpdate) {
    Serve("2 20000 http://mirror.example/new\r\n");
    store_->SetInt("Settings", "updatesCheck", 1);
    StartAndWaitUntilServing();
    ASSERT_TRUE(WaitFor([&] { return ui_.Verdicts().size() == 1; }));
    EXPECT_FALSE(ui_.Verdicts()[0].outOfDate);
    EXPECT_EQ(ui_.Verdicts()[0].downloadAddress, "http://mirror.example/new");
    ASSERT_EQ(server_->Requests().size(), 1u);
}

}  // namespace
}  // namespace hbt
