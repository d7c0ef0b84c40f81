// The update server's answer, the request address and the start-up rule.
#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>

#include "update/update_answer.h"
#include "update/update_checker.h"

namespace hbt {
namespace {

TEST(UpdateAnswer, FormatTwoGivesTheVerdictAndTheTrimmedAddress) {
    struct Case {
        const char* answer;
        bool available;
        bool outOfDate;
        const char* address;
    };
    const Case cases[] = {
        {"2 20000 https://corvant.example/get\r\n", true, false, "https://corvant.example/get"},
        {"2 15401 \r\n https://corvant.example/get \r\n", true, false, "https://corvant.example/get"},
        {"2 15400 https://corvant.example/get", false, false, "https://corvant.example/get"},
        {"2 1 https://corvant.example/old", false, true, "https://corvant.example/old"},
        {"2 20000 ", true, false, ""},
    };
    for (const Case& c : cases) {
        UpdateAnswer answer;
        std::string error;
        ASSERT_TRUE(ParseUpdateAnswer(c.answer, 15400, answer, error)) << c.answer << ": " << error;
        EXPECT_EQ(answer.updateAvailable, c.available) << c.answer;
        EXPECT_EQ(answer.outOfDate, c.outOfDate) << c.answer;
        EXPECT_EQ(answer.downloadAddress, c.address) << c.answer;
    }
}

TEST(UpdateAnswer, OtherAnswersAreRefusedWithTheirMessages) {
    struct Case {
        const char* answer;
        const char* error;
    };
    const Case cases[] = {
        {"", "Unexpected version format."},
        {"2", "Unexpected version format."},
        {"20000\r\n", "Unexpected version format."},
        {"3 20000 https://corvant.example/get", "Unsupported version format."},
        {"x 20000 https://corvant.example/get", "Unsupported version format."},
        {"2 20000", "Incorrect version format."},
        {"2 0 https://corvant.example/get", "Incorrect version format."},
        {"2 -1 https://corvant.example/get", "Incorrect version format."},
        {"2  20000 https://corvant.example/get", "Incorrect version format."},
    };
    for (const Case& c : cases) {
        UpdateAnswer answer;
        std::string error;
        EXPECT_FALSE(ParseUpdateAnswer(c.answer, 15400, answer, error)) << c.answer;
        EXPECT_EQ(error, c.error) << c.answer;
    }
}

TEST(UpdateRequest, TheBaseIsFollowedByTheVersionNumberAndAMirrorReplacesIt) {
    EXPECT_EQ(UpdateRequestAddress("https://corvant.example/last_versions/windows/", 15400),
              "https://corvant.example/last_versions/windows/15400/");
    EXPECT_EQ(UpdateRequestAddress("http://mirror.example/last_versions/windows", 15400),
              "http://mirror.example/last_versions/windows/15400/");
    unsetenv("HBT_UPDATE_URL");
    EXPECT_EQ(UpdateBaseAddress(), kUpdateBaseAddress);
    EXPECT_EQ(std::string(kUpdateBaseAddress).substr(std::string(kUpdateBaseAddress).find("/last")),
              "/last_versions/windows/");
    setenv("HBT_UPDATE_URL", "http://mirror.example/last_versions/windows/", 1);
    EXPECT_EQ(UpdateBaseAddress(), "http://mirror.example/last_versions/windows/");
    unsetenv("HBT_UPDATE_URL");
}

TEST(UpdateStartUpRule, OnMeansANormalCheckOffASilentOneAfterTenDays) {
    constexpr int64_t now = 1750000000;
    struct Case {
        bool updatesCheck;
        int64_t lastCheck;
        std::optional<bool> silent;
    };
    const Case cases[] = {
        {true, now, false},
        {true, now - 864001, false},
        {false, now - 864001, true},
        {false, now - 864000, std::nullopt},
        {false, now - 60, std::nullopt},
        {false, now + 3600, std::nullopt},  // a stamp from the future
        {false, 0, true},                   // never checked
    };
    for (const Case& c : cases) {
        EXPECT_EQ(StartUpCheck(c.updatesCheck, static_cast<uint32_t>(c.lastCheck), now), c.silent)
            << c.updatesCheck << " " << now - c.lastCheck;
    }
}

}  // namespace
}  // namespace hbt
