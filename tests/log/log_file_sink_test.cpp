#include "log/log_file_sink.h"

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <regex>

#include "log/log.h"
#include "log_test_fixture.h"
#include "text/text_conversion.h"

namespace hbt {
namespace {

namespace fs = std::filesystem;

class LogFileTest : public LogTest {
protected:
    void SetUp() override {
        LogTest::SetUp();
        folder_ = fs::temp_directory_path() / ("hbt_log_" + std::to_string(::getpid()));
        fs::remove_all(folder_);
        fs::create_directories(folder_);
        path_ = (folder_ / "Log.txt").string();
    }
    void TearDown() override {
        fs::remove_all(folder_);
        LogTest::TearDown();
    }
    std::string ReadFile(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        return std::string((std::istreambuf_iterator<char>(in)), {});
    }
    fs::path folder_;
    std::string path_;
};

TEST_F(LogFileTest, DrainWritesAdmittedLinesInTheFileFormat) {
    SetScreenLogLevel(3);
    SetFileLogLevel(2);
    { CLog(2, 42, L"/usr/bin/curl") << "Redirected " << L"\u00e9"; }
    { CLog(3) << "verbose only on screen"; }
    { CLog(1) << "error"; }
    LogFileSink sink([this] { return path_; });
    EXPECT_EQ(DrainLogQueue({&sink}), 3u);
    const std::string text = ReadFile(path_);
    std::regex expected(
        R"(\[\d{4}\.\d\d\.\d\d \d\d:\d\d:\d\d\] curl - Redirected \xc3\xa9\n)"
        R"(\[\d{4}\.\d\d\.\d\d \d\d:\d\d:\d\d\] error\n)");
    EXPECT_TRUE(std::regex_match(text, expected)) << text;
}

TEST_F(LogFileTest, ReachingThirtyTwoMebibytesRotatesRightAfterTheWrite) {
    // Older files .1 to .9 exist; .9 is the one that falls off.
    for (int i = 1; i <= 9; ++i) std::ofstream(path_ + "." + std::to_string(i)) << "old" << i;
    {
        std::ofstream(path_) << "";
        fs::resize_file(path_, LogFileSink::kRotateAbove - 10);
    }
    LogFileSink sink([this] { return path_; });
    { CLog(2) << "this line crosses the limit"; }
    DrainLogQueue({&sink});
    EXPECT_FALSE(fs::exists(path_));
    EXPECT_GT(fs::file_size(path_ + ".1"), static_cast<uintmax_t>(LogFileSink::kRotateAbove));
    EXPECT_EQ(ReadFile(path_ + ".2"), "old1");
    EXPECT_EQ(ReadFile(path_ + ".9"), "old8");
    EXPECT_FALSE(fs::exists(path_ + ".10"));

    { CLog(2) << "next line starts a new file"; }
    DrainLogQueue({&sink});
    EXPECT_NE(ReadFile(path_).find("next line starts a new file\n"), std::string::npos);
}

TEST_F(LogFileTest, UnopenableFileLosesTheLineQuietly) {
    LogFileSink sink([this] { return (folder_ / "missing" / "Log.txt").string(); });
    { CLog(2) << "lost"; }
    EXPECT_EQ(DrainLogQueue({&sink}), 1u);
    EXPECT_FALSE(fs::exists(folder_ / "missing"));
}

TEST_F(LogFileTest, UpdateLogSettingsPicksTheDocumentsFolderUnlessFileLoggingIsOff) {
    const char* oldHome = std::getenv("HOME");
    std::string savedHome = oldHome ? oldHome : "";
    setenv("HOME", folder_.c_str(), 1);
    unsetenv("XDG_DOCUMENTS_DIR");
    setenv("XDG_CONFIG_HOME", (folder_ / "cfg").c_str(), 1);

    SetLogFilePath("/unchanged/Log.txt");
    std::wstring logPath;
    UpdateLogSettings(3, 0, logPath);
    EXPECT_EQ(ScreenLogLevel(), 3);
    EXPECT_EQ(FileLogLevel(), 0);
    EXPECT_TRUE(logPath.empty());
    EXPECT_EQ(LogFilePath(), "/unchanged/Log.txt");

    UpdateLogSettings(2, 2, logPath);
    EXPECT_EQ(WideToUtf8(logPath), (folder_ / "Documents" / "Harbinet").string());
    EXPECT_TRUE(fs::is_directory(folder_ / "Documents" / "Harbinet"));
    EXPECT_EQ(LogFilePath(), (folder_ / "Documents" / "Harbinet" / "Log.txt").string());

    std::wstring custom = Utf8ToWide((folder_ / "mylogs").string());
    UpdateLogSettings(2, 1, custom);
    EXPECT_EQ(LogFilePath(), (folder_ / "mylogs" / "Log.txt").string());

    setenv("HOME", savedHome.c_str(), 1);
    unsetenv("XDG_CONFIG_HOME");
    SetLogFilePath("");
}

}  // namespace
}  // namespace hbt
