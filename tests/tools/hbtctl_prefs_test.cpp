// Runs the real hbtctl against a temporary XDG_CONFIG_HOME.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/file_settings_store.h"
#include "rules/preferences_storage.h"
#include "tests/tools/hbtctl_runner.h"

namespace hbt {
namespace {

namespace fs = std::filesystem;

std::string ReadFile(const fs::path& path) {
    std::ifstream file(path, std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

using test::HbtctlRun;

constexpr char kNoProgramLine[] =
    "hbtctl: stored; no running Harbinet program reads this settings file, so the change applies when Harbinet "
    "starts\n";

class HbtctlPrefs : public test::HbtctlHomeTest {
protected:
    HbtctlRun Set(const std::string& key, const std::string& value) const { return Run({"prefs", "set", key, value}); }
};

TEST_F(HbtctlPrefs, ShowOnAFreshStorePrintsTheDefaultsInSaveOrderAndWritesNothing) {
    const HbtctlRun r = Run({"prefs", "show"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out,
              "Settings/httpPorts=80; 88; 3128; 8080-8088\n"
              "Settings/excludeApplications=\n"
              "Settings/excludeHosts=\n"
              "Settings/checkBeforeRedirect=1\n"
              "Settings/autoRedirect=1\n"
              "Settings/excludeCertReq=1\n"
              "Settings/allowInsecureIfNoHttps=1\n"
              "Settings/monitorSslOnAllPorts=0\n"
              "Settings/allowedSslVersions=769,770,772,32512,771,\n"
              "Settings/allowSsl2=0\n"
              "Settings/allowSsl3=0\n"
              "Settings/allowTls10=1\n"
              "Settings/allowTls11=1\n"
              "Settings/allowTls12=1\n"
              "Settings/allowTls13=1\n"
              "Settings/customCipherOptions=\n"
              "Settings/checkEncMethod=1\n"
              "Settings/logLevel=2\n"
              "Settings/logFileLevel=2\n"
              "Settings/logPath=\n"
              "Status/SysTryIconMessageShown=0\n"
              "Settings/updatesCheck=1\n"
              "Settings/honorHsts=1\n");
    EXPECT_TRUE(r.err.empty());
    EXPECT_FALSE(fs::exists(SettingsFile()));
}

TEST_F(HbtctlPrefs, SetStoresThroughTheSameLoadAndSavePath) {
    struct Case {
        std::string key, value, shownLine;
    };
    const std::vector<Case> cases = {
        {"httpPorts", "80, 8080-8088", "Settings/httpPorts=80, 8080-8088"},
        {"excludeApplications", "\"My Tool.exe\"\nother.exe", "Settings/excludeApplications=\"My Tool.exe\"\\nother.exe"},
        {"Settings/excludeHosts", "*.example.com;10.0.0.1-10.0.0.9", "Settings/excludeHosts=*.example.com;10.0.0.1-10.0.0.9"},
        {"monitorSslOnAllPorts", "1", "Settings/monitorSslOnAllPorts=1"},
        {"Status/SysTryIconMessageShown", "1", "Status/SysTryIconMessageShown=1"},
        {"logFileLevel", "3", "Settings/logFileLevel=3"},
        {"logPath", "/var/l\xC3\xB6g\t\\x\r", "Settings/logPath=/var/l\xC3\xB6g\\t\\\\x\\r"},
        {"allowedSslVersions", "771,769,", "Settings/allowedSslVersions=769,771,"},
        {"allowTls13", "1", "Settings/allowedSslVersions=769,771,772,32512,"},
        {"allowSsl3", "1", "Settings/allowSsl3=1"},
        {"checkEncMethod", "3", "Settings/checkEncMethod=3"},
        {"checkEncMethod", "128", "Settings/customCipherOptions=3"},
        {"customCipherOptions", "2-5+C02F", "Settings/customCipherOptions=2-5+c02f"},
        {"checkEncMethod", "2", "Settings/customCipherOptions="},
    };
    for (const auto& c : cases) {
        const HbtctlRun set = Set(c.key, c.value);
        EXPECT_EQ(set.status, 0) << c.key << ": " << set.err;
        const HbtctlRun show = Run({"prefs", "show"});
        EXPECT_NE(show.out.find(c.shownLine + "\n"), std::string::npos) << c.key << "\n" << show.out;
    }
    // The program reads back exactly what hbtctl wrote.
    FileSettingsStore store(SettingsFile());
    Preferences p;
    LoadPreferences(store, p);
    EXPECT_EQ(p.excludeApplications, (std::vector<std::wstring>{L"My Tool.exe", L"other.exe"}));
    EXPECT_EQ(p.logPath, L"/var/l\u00F6g\t\\x\r");
    EXPECT_EQ(p.checkEncMethod, 2);
    EXPECT_TRUE(p.SysTryIconMessageShown);
}

TEST_F(HbtctlPrefs, RefusedSetPrintsTheMessageAndLeavesTheFileByteForByte) {
    ASSERT_EQ(Set("logPath", "/keep").status, 0);
    const std::string before = ReadFile(SettingsFile());
    struct Case {
        std::string key, value, message;
    };
    const std::vector<Case> cases = {
        {"httpPorts", "80 81",
         "Unexpected blank space found.\nPlease make sure that you use semicolon (;) to separate the ports or port ranges."},
        {"httpPorts", "70000", "Unexpected port format. Please make sure that you use the correct format for the ports."},
        {"excludeApplications", "C:\\x.exe", "Incorrect symbol(s) found."},
        {"excludeHosts", "10.0.0.9-10.0.0.1", "The second IP in the range cannot be less than the first one."},
        {"autoRedirect", "yes", "Expected 0 or 1."},
        {"logLevel", "4", "Expected a log level from 0 to 3 (0 None, 1 Errors Only, 2 Normal, 3 Verbose)."},
        {"allowedSslVersions", "769,999", "Unknown protocol version code \"999\"; known codes are 512, 768, 769, 770, 771, 772 and 32512."},
        {"checkEncMethod", "4", "Expected a cipher suite mode: 1 (Allow All), 2 (Allow Safe Only), 3 (Allow Safe Only with FF) or 128 (Custom)."},
        {"customCipherOptions", "4+5", "Incorrect custom cipher options: expected the base mode 1, 2 or 3, then \"+\" (allowed) or \"-\" (disabled) and a hexadecimal cipher suite code per entry, for example 2-5+c02f."},
    };
    for (const auto& c : cases) {
        const HbtctlRun r = Set(c.key, c.value);
        EXPECT_EQ(r.status, 1) << c.key << " " << c.value;
        EXPECT_EQ(r.err, c.message + "\n");
        EXPECT_TRUE(r.out.empty());
        EXPECT_EQ(ReadFile(SettingsFile()), before) << c.key << " " << c.value;
    }
    const HbtctlRun unknown = Set("bigCrashDump", "1");
    EXPECT_EQ(unknown.status, 2);
    EXPECT_EQ(ReadFile(SettingsFile()), before);
}

TEST_F(HbtctlPrefs, TlsPolicyKeySetInBestEffortModeGetsANote) {
    const std::string note =
        "hbtctl: note: the TLS policy applies in Strict Mode only; Best-Effort Mode is stored "
        "(allowInsecureIfNoHttps=1), so ";
    struct Case {
        std::string key, value;
        bool noted;
    };
    const std::vector<Case> cases = {
        {"allowedSslVersions", "771", true},
        {"Settings/checkEncMethod", "2", true},
        {"customCipherOptions", "2-5", true},
        {"allowTls10", "0", true},
        {"logLevel", "3", false},
        {"allowInsecureIfNoHttps", "0", false},
        {"allowedSslVersions", "772", false},  // Strict Mode is now stored
    };
    for (const auto& c : cases) {
        const HbtctlRun r = Set(c.key, c.value);
        EXPECT_EQ(r.status, 0) << c.key;
        EXPECT_EQ(r.out, kNoProgramLine) << c.key;
        EXPECT_EQ(r.err, c.noted ? note + c.key + " takes effect once Strict Mode is on\n" : "") << c.key;
    }
    EXPECT_NE(Run({"prefs", "show"}).out.find("Settings/allowedSslVersions=772,"), std::string::npos)
        << "the value is stored either way";
}

TEST_F(HbtctlPrefs, RefusedSetOnAFreshStoreCreatesNoFile) {
    EXPECT_EQ(Set("httpPorts", ";;").status, 1);
    EXPECT_FALSE(fs::exists(SettingsFile()));
    EXPECT_EQ(Run({"prefs", "sett"}).status, 2);
    EXPECT_EQ(Run({"nosuch"}).status, 2);
}

}  // namespace
}  // namespace hbt
