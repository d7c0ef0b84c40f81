#include "hsts/hsts_store.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "hsts/hsts_host.h"
#include "log/log_queue.h"
#include "log/log_settings.h"

namespace hbt {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;

constexpr int64_t kNow = 1'700'000'000;
constexpr int64_t kDay = 86400;

std::string ReadText(const std::filesystem::path& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

void WriteText(const std::filesystem::path& path, const std::string& text) { std::ofstream(path) << text; }

class HstsStoreTest : public ::testing::Test {
protected:
    void SetUp() override {
        folder_ = std::filesystem::temp_directory_path() /
                  ("hbt_hsts_" + std::to_string(getpid()) + "_" +
                   ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::remove_all(folder_);
        std::filesystem::create_directories(folder_);
        files_ = HstsFilesBeside((folder_ / "https_cache.xml").string());
    }
    void TearDown() override { std::filesystem::remove_all(folder_); }

    std::filesystem::path folder_;
    HstsFiles files_;
};

TEST(HstsHostKeyTest, NamesAreFoldedAndAddressesRefused) {
    EXPECT_EQ(HstsHostKey("WWW.Example.ORG."), "www.example.org");
    EXPECT_EQ(HstsHostKey("localhost"), "localhost");
    for (const char* refused : {"", ".", "192.0.2.1", "2001:db8::1", "[2001:db8::1]", "1.2.3", "a..b", "a b.example",
                                "*.example.org", "caf\xc3\xa9.example"}) {
        EXPECT_EQ(HstsHostKey(refused), std::nullopt) << refused;
    }
    EXPECT_EQ(HstsHostKey(std::string(64, 'a') + ".example"), std::nullopt);
    EXPECT_EQ(PromiseExpiryText(0), "1970-01-01 00:00:00 UTC");
    EXPECT_EQ(PromiseExpiryText(kNow), "2023-11-14 22:13:20 UTC");
}

TEST_F(HstsStoreTest, PromiseCoversSubdomainsOnlyWhenItSaysSoAndNeverAParent) {
    HstsStore store(files_);
    ASSERT_EQ(store.Keep("Example.org", kNow + kDay, true, kNow), HstsChange::kDone);
    ASSERT_EQ(store.Keep("only.example.net", kNow + kDay, false, kNow), HstsChange::kDone);
    const HstsPromise parent{"example.org", kNow + kDay, true, false};
    EXPECT_EQ(store.Find("example.org", kNow), parent);
    EXPECT_EQ(store.Find("A.B.Example.Org.", kNow), parent);
    EXPECT_EQ(store.Find("only.example.net", kNow), (HstsPromise{"only.example.net", kNow + kDay, false, false}));
    EXPECT_EQ(store.Find("a.only.example.net", kNow), std::nullopt);
    EXPECT_EQ(store.Find("example.net", kNow), std::nullopt);
    EXPECT_EQ(store.Find("notexample.org", kNow), std::nullopt);
    EXPECT_EQ(store.Keep("192.0.2.1", kNow + kDay, false, kNow), HstsChange::kNotAHost);
    EXPECT_EQ(store.Find("192.0.2.1", kNow), std::nullopt);
}

TEST_F(HstsStoreTest, PromisesExpireAndCanBeForgotten) {
    HstsStore store(files_);
    store.Keep("a.example", kNow + 10, false, kNow);
    EXPECT_TRUE(store.Find("a.example", kNow + 9));
    EXPECT_FALSE(store.Find("a.example", kNow + 10));
    EXPECT_EQ(store.Forget("a.example", kNow + 10), HstsChange::kNothingToDo);  // expired: nothing left
    store.Keep("b.example", kNow + 10, false, kNow);
    EXPECT_EQ(store.Forget("B.example", kNow), HstsChange::kDone);
    EXPECT_EQ(store.Forget("b.example", kNow), HstsChange::kNothingToDo);
    EXPECT_FALSE(store.Find("b.example", kNow));
}

TEST_F(HstsStoreTest, SoonestExpiringAreDroppedBeyondTheLimit) {
    LearnedPromises promises;
    for (int i = 0; i < 12; ++i) promises["h" + std::to_string(i) + ".example"] = {kNow + 100 - i, false};
    promises["gone.example"] = {kNow, false};
    PruneLearned(promises, kNow, 10);
    EXPECT_EQ(promises.size(), 10u);
    EXPECT_FALSE(promises.contains("gone.example"));
    EXPECT_FALSE(promises.contains("h11.example"));  // expires first
    EXPECT_FALSE(promises.contains("h10.example"));
    EXPECT_TRUE(promises.contains("h9.example"));

    // The store keeps its limit through its own changes.
    LearnedPromises full;
    for (std::size_t i = 0; i < HstsStore::kMaxLearned; ++i) full["n" + std::to_string(i) + ".example"] = {kNow + 1000, false};
    WriteText(files_.learned, SerializeLearnedPromises(full));
    HstsStore store(files_);
    store.Keep("later.example", kNow + 2000, false, kNow);
    EXPECT_EQ(store.Learned(kNow).size(), HstsStore::kMaxLearned);
    EXPECT_TRUE(store.Find("later.example", kNow));
}

TEST_F(HstsStoreTest, FileKeepsPromisesForTheNextReaderAndAnotherWritersChanges) {
    {
        HstsStore first(files_);
        first.Keep("b.example", kNow + kDay, true, kNow);
        first.Keep("a.example", kNow + 2 * kDay, false, kNow);
    }
    EXPECT_EQ(ReadText(files_.learned),
              "# Harbinet: HTTPS promises of sites (host, expiry in seconds since 1970 UTC, subdomains)\n"
              "a.example\t1700172800\t-\n"
              "b.example\t1700086400\tsubdomains\n");
    HstsStore program(files_);
    HstsStore tool(files_);
    ASSERT_TRUE(program.Find("a.example", kNow));
    tool.Forget("a.example", kNow);
    program.Keep("c.example", kNow + kDay, false, kNow);  // reads the file again: a.example stays gone
    EXPECT_FALSE(program.Find("a.example", kNow));
    tool.Reload();
    EXPECT_TRUE(tool.Find("c.example", kNow));
}

TEST_F(HstsStoreTest, DamagedFileIsIgnoredReplacedAndLogged) {
    LogQueue::Instance().TakeAll();
    LogQueue::Instance().RegisterReceiver([] {});
    WriteText(files_.learned, "a.example\t1800000000\t-\nthis is no promise\n");
    HstsStore store(files_);
    EXPECT_FALSE(store.Find("a.example", kNow));
    EXPECT_EQ(ParseLearnedPromises(ReadText(files_.learned)), LearnedPromises{});
    std::wstring logged;
    for (const LogRecord& record : LogQueue::Instance().TakeAll()) logged += record.message + L"\n";
    EXPECT_THAT(logged, HasSubstr(L"hsts_promises.txt is damaged; it was ignored and replaced"));
    LogQueue::Instance().ClearReceiver();

    for (const char* damaged : {"a.example\t1800000000\n", "A.example\t1800000000\t-\n", "a.example\tsoon\t-\n",
                                "a.example\t1800000000\tall\n", "a.example\t1\t-\na.example\t2\t-\n"}) {
        EXPECT_EQ(ParseLearnedPromises(damaged), std::nullopt) << damaged;
    }
}

TEST_F(HstsStoreTest, PreloadedNamesMatchLikePromisesAndCannotBeForgotten) {
    HstsStore store(files_);
    ASSERT_TRUE(store.ReplacePreloaded({{"preloaded.example", true}, {"exact.example", false}}));
    EXPECT_EQ(store.Find("x.preloaded.example", kNow), (HstsPromise{"preloaded.example", 0, true, true}));
    EXPECT_EQ(store.Find("exact.example", kNow), (HstsPromise{"exact.example", 0, false, true}));
    EXPECT_FALSE(store.Find("x.exact.example", kNow));
    EXPECT_EQ(store.Forget("exact.example", kNow), HstsChange::kNothingToDo);
    // A learned promise of the host itself is named before a preloaded parent.
    store.Keep("own.preloaded.example", kNow + kDay, false, kNow);
    EXPECT_FALSE(store.Find("own.preloaded.example", kNow)->preloaded);

    HstsStore reader(files_);
    EXPECT_EQ(reader.Preloaded()->Hosts(),
              (std::vector<PreloadedHost>{{"exact.example", false}, {"preloaded.example", true}}));
}

}  // namespace
}  // namespace hbt
