#pragma once
// A checker with a cache file in a folder of the test's own and a clock the
// test sets; running checks are stopped and waited for before the folder goes.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <memory>
#include <string>

#include "https_check/https_checker.h"

namespace hbt::test {

class CheckerFixture : public ::testing::Test {
protected:
    void SetUp() override {
        folder_ = std::filesystem::temp_directory_path() /
                  ("hbt_checker_" + std::to_string(getpid()) + "_" +
                   ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::remove_all(folder_);
        std::filesystem::create_directories(folder_);
    }
    void TearDown() override {
        if (checker_) {
            checker_->StopChecks();
            checker_->WaitForRunningChecks();
        }
        std::filesystem::remove_all(folder_);
    }

    std::string CachePath() const { return (folder_ / "https_cache.xml").string(); }

    // Creates the checker with the test's cache file and clock.
    CHttpsChecker& CreateChecker(HttpsCheckerOptions options) {
        options.cachePath = CachePath();
        options.clock = [this] { return now_.load(); };
        checker_ = CHttpsChecker::Create(options);
        return *checker_;
    }

    std::filesystem::path folder_;
    std::atomic<int64_t> now_{1'000'000};
    std::shared_ptr<CHttpsChecker> checker_;
};

}  // namespace hbt::test
