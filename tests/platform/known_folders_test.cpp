#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "platform/known_folders.h"
#include "platform/file_settings_store.h"

namespace hbt {
namespace {

class KnownFoldersTest : public ::testing::Test {
protected:
    void SetUp() override {
        home_ = std::filesystem::temp_directory_path() / ("hbt_home_" + std::to_string(::getpid()));
        std::filesystem::create_directories(home_ / ".config");
        for (const char* name : {"HOME", "XDG_CONFIG_HOME", "XDG_DOCUMENTS_DIR"}) {
            const char* v = std::getenv(name);
            saved_.emplace_back(name, v ? std::optional<std::string>(v) : std::nullopt);
        }
        setenv("HOME", home_.c_str(), 1);
        unsetenv("XDG_CONFIG_HOME");
        unsetenv("XDG_DOCUMENTS_DIR");
    }
    void TearDown() override {
        for (auto& [name, value] : saved_) value ? setenv(name.c_str(), value->c_str(), 1) : unsetenv(name.c_str());
        std::filesystem::remove_all(home_);
    }
    std::filesystem::path home_;
    std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

TEST_F(KnownFoldersTest, DefaultsUnderHome) {
    EXPECT_EQ(ConfigFolder(), home_.string() + "/.config");
    EXPECT_EQ(DocumentsFolder(), home_.string() + "/Documents");
    EXPECT_EQ(DefaultSettingsPath(), home_.string() + "/.config/Corvant/Harbinet.conf");
}

TEST_F(KnownFoldersTest, UserDirsFileAndConfigHomeAreHonoured) {
    std::ofstream(home_ / ".config" / "user-dirs.dirs") << "# comment\nXDG_DOCUMENTS_DIR=\"$HOME/Dokumente\"\n";
    EXPECT_EQ(DocumentsFolder(), home_.string() + "/Dokumente");
    setenv("XDG_CONFIG_HOME", (home_ / "cfg").c_str(), 1);
    EXPECT_EQ(ConfigFolder(), home_.string() + "/cfg");
    EXPECT_EQ(DocumentsFolder(), home_.string() + "/Documents");  // user-dirs.dirs lives in the config folder
}

TEST_F(KnownFoldersTest, CreateFoldersMakesEveryLevel) {
    auto deep = home_ / "a" / "b" / "c";
    EXPECT_TRUE(CreateFolders(deep.string()));
    EXPECT_TRUE(std::filesystem::is_directory(deep));
    EXPECT_TRUE(CreateFolder(deep.string()));  // existing is fine
}

}  // namespace
}  // namespace hbt
