#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <thread>
#include <vector>

#include "platform/file_settings_store.h"

namespace hbt {
namespace {

class SettingsStoreTest : public ::testing::Test {
protected:
    void SetUp() override {
        folder_ = std::filesystem::temp_directory_path() /
                  ("hbt_store_" + std::to_string(::getpid()) + "_" +
                   ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::remove_all(folder_);
        path_ = (folder_ / "Corvant" / "Harbinet.conf").string();
    }
    void TearDown() override { std::filesystem::remove_all(folder_); }

    void WriteFile(const std::string& text) {
        std::filesystem::create_directories(std::filesystem::path(path_).parent_path());
        std::ofstream(path_, std::ios::binary) << text;
    }

    std::filesystem::path folder_;
    std::string path_;
};

TEST_F(SettingsStoreTest, AbsentFileGivesDefaults) {
    FileSettingsStore store(path_);
    EXPECT_EQ(store.GetInt("Settings", "logLevel", 2), 2);
    EXPECT_EQ(store.GetString("Settings", "httpPorts", L"80"), L"80");
}

TEST_F(SettingsStoreTest, EveryTextRoundTripsExactly) {
    const std::wstring texts[] = {
        L"", L"  leading blanks", L"line\nfeed\r\nand\ttab", L"quote \" and \\ backslash",
        L"non-ASCII \u00e9\u4e2d\U0001F600", std::wstring(L"nul\0inside", 10), L"\x7f\x01", L"[section]=x",
        std::wstring(1, wchar_t(0xD800)) + L"lone surrogate", L"trailing \\",
    };
    {
        FileSettingsStore store(path_);
        int i = 0;
        for (const auto& text : texts) store.SetString("Settings", "k" + std::to_string(i++), text);
        store.SetInt("Status", "negative", -7);
        ASSERT_TRUE(store.Save());
    }
    FileSettingsStore reread(path_);
    int i = 0;
    for (const auto& text : texts) EXPECT_EQ(reread.GetString("Settings", "k" + std::to_string(i++), L"?"), text);
    EXPECT_EQ(reread.GetInt("Status", "negative", 0), -7);
}

TEST_F(SettingsStoreTest, ValueOfTheOtherTypeReadsAsDefault) {
    FileSettingsStore store(path_);
    store.SetString("Settings", "logLevel", L"3");
    store.SetInt("Settings", "httpPorts", 80);
    EXPECT_EQ(store.GetInt("Settings", "logLevel", 2), 2);
    EXPECT_EQ(store.GetString("Settings", "httpPorts", L"d"), L"d");
}

TEST_F(SettingsStoreTest, DamagedFileReadsAsEmptyAndIsReplacedBySave) {
    const char* damaged[] = {
        "[Settings]\nlogLevel=2\nhttpPorts=\"unterminated\n",
        "logLevel=2\n",                       // value outside any section
        "[Settings]\nlogLevel=99999999999\n",  // beyond 32 bits
        "[Settings]\nx=\"bad \\q escape\"\n",
        "\x7f" "ELF\x02\x01\x01",
    };
    for (const char* text : damaged) {
        WriteFile(text);
        FileSettingsStore store(path_);
        EXPECT_EQ(store.GetInt("Settings", "logLevel", 5), 5) << text;
        store.SetInt("Settings", "logLevel", 1);
        ASSERT_TRUE(store.Save());
        EXPECT_EQ(FileSettingsStore(path_).GetInt("Settings", "logLevel", 5), 1);
    }
}

TEST_F(SettingsStoreTest, SaveReplacesTheFileAndLeavesNoTemporary) {
    WriteFile("[Settings]\nold=1\n");
    FileSettingsStore store(path_);
    store.SetInt("Settings", "new", 2);
    ASSERT_TRUE(store.Save());
    std::ifstream in(path_);
    std::string text((std::istreambuf_iterator<char>(in)), {});
    EXPECT_NE(text.find("old=1"), std::string::npos);
    EXPECT_NE(text.find("new=2"), std::string::npos);
    std::vector<std::string> names;
    for (auto& entry : std::filesystem::directory_iterator(std::filesystem::path(path_).parent_path())) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"Harbinet.conf", "Harbinet.conf.lock"}));
}

TEST_F(SettingsStoreTest, SaveWritesWhatThisStoreSetAndKeepsWhatAnotherWriterStored) {
    WriteFile("[Settings]\nlogLevel=2\nexcludeHosts=\"a.example\"\n");
    FileSettingsStore program(path_);
    FileSettingsStore other(path_);
    other.SetInt("Settings", "logLevel", 3);
    other.SetString("Settings", "httpPorts", L"80; 8080");
    ASSERT_TRUE(other.Save());

    program.SetString("Settings", "excludeHosts", L"b.example\na.example");
    ASSERT_TRUE(program.Save());
    ASSERT_TRUE(program.Save());  // nothing set since: nothing of the other writer's goes either
    FileSettingsStore reread(path_);
    EXPECT_EQ(reread.GetInt("Settings", "logLevel", 0), 3);
    EXPECT_EQ(reread.GetString("Settings", "httpPorts", L""), L"80; 8080");
    EXPECT_EQ(reread.GetString("Settings", "excludeHosts", L""), L"b.example\na.example");

    // The store shows what it read and set until it reads again.
    EXPECT_EQ(program.GetInt("Settings", "logLevel", 0), 2);
    program.Reload();
    EXPECT_EQ(program.GetInt("Settings", "logLevel", 0), 3);
    // A value set to what this store already held is still written.
    other.SetInt("Settings", "logLevel", 1);
    ASSERT_TRUE(other.Save());
    program.SetInt("Settings", "logLevel", 3);
    ASSERT_TRUE(program.Save());
    EXPECT_EQ(FileSettingsStore(path_).GetInt("Settings", "logLevel", 0), 3);
}

TEST_F(SettingsStoreTest, WritersSavingAtOnceLoseNoValue) {
    constexpr int kWriters = 6;
    constexpr int kSaves = 15;
    std::vector<std::thread> writers;
    for (int w = 0; w < kWriters; ++w) {
        writers.emplace_back([this, w] {
            FileSettingsStore store(path_);
            for (int i = 1; i <= kSaves; ++i) {
                store.SetInt("Settings", "writer" + std::to_string(w), i);
                EXPECT_TRUE(store.Save());
            }
        });
    }
    for (auto& writer : writers) writer.join();
    FileSettingsStore reread(path_);
    for (int w = 0; w < kWriters; ++w) EXPECT_EQ(reread.GetInt("Settings", "writer" + std::to_string(w), 0), kSaves);
}

TEST_F(SettingsStoreTest, UnwritableLocationReportsFailure) {
    // A regular file where the folder should be: no user, root included, can save there.
    std::filesystem::create_directories(folder_);
    std::ofstream(folder_ / "Corvant") << "not a folder";
    FileSettingsStore store(path_);
    store.SetInt("Settings", "x", 1);
    EXPECT_FALSE(store.Save());
}

}  // namespace
}  // namespace hbt
