#include <gtest/gtest.h>

#include "rules/preferences_storage.h"
#include "tests/rules/memory_settings_store.h"

namespace hbt {
namespace {

using test::MemorySettingsStore;

Preferences Load(const MemorySettingsStore& store) {
    Preferences p;
    LoadPreferences(store, p);
    return p;
}

TEST(LoadPreferences, EmptyStoreGivesTheDefaults) {
    const Preferences p = Load(MemorySettingsStore());
    EXPECT_EQ(p.httpPortsText, L"80; 88; 3128; 8080-8088");
    EXPECT_EQ(p.httpPorts, (std::vector<uint32_t>{MakePortRange(80, 80), MakePortRange(88, 88),
                                                   MakePortRange(3128, 3128), MakePortRange(8080, 8088)}));
    EXPECT_TRUE(p.excludeApplicationsText.empty());
    EXPECT_TRUE(p.excludeHostsText.empty());
    EXPECT_FALSE(p.enabled);
    EXPECT_TRUE(p.allowInsecureIfNoHttps);
    EXPECT_TRUE(p.autoRedirect);
    EXPECT_TRUE(p.checkBeforeRedirect);
    EXPECT_TRUE(p.excludeCertReq);
    EXPECT_TRUE(p.updatesCheck);
    EXPECT_TRUE(p.honorHsts);
    EXPECT_FALSE(p.monitorSslOnAllPorts);
    EXPECT_FALSE(p.bigCrashDump);
    EXPECT_FALSE(p.SysTryIconMessageShown);
    EXPECT_EQ(p.checkEncMethod, 1);
    EXPECT_EQ(p.cipherBaseMode, 1);
    EXPECT_EQ(p.logLevel, 2);
    EXPECT_EQ(p.logFileLevel, 2);
    EXPECT_TRUE(p.logPath.empty());
    EXPECT_EQ(p.allowedSslVersions, (std::vector<uint16_t>{769, 770, 772, 32512, 771}));
}

TEST(LoadPreferences, StoredVersionKeyOverridesTheLegacyText) {
    MemorySettingsStore store;
    store.SetInt("Settings", "allowTls11", 0);
    EXPECT_EQ(Load(store).allowedSslVersions, (std::vector<uint16_t>{769, 771, 772, 32512}));
    store.SetInt("Settings", "allowSsl3", 1);
    store.SetInt("Settings", "allowTls13", 0);
    EXPECT_EQ(Load(store).allowedSslVersions, (std::vector<uint16_t>{768, 769, 771}));
}

TEST(LoadPreferences, LegacyTextIsReadUpToTheFirstBadNumber) {
    const std::vector<std::pair<std::wstring, std::vector<uint16_t>>> cases = {
        {L"771,", {771}},
        {L"769;770", {769}},
        {L"770,0,771", {770, 772, 32512}},
        {L"768,70000,771", {768}},
        {L"x", {512, 769, 770, 771, 772, 32512}},
        {L"0,771", {512, 769, 770, 771, 772, 32512}},
    };
    for (const auto& [text, expected] : cases) {
        MemorySettingsStore store;
        store.SetString("Settings", "allowedSslVersions", text);
        // Only SSL keys stored: the TLS keys still say "never stored".
        store.SetInt("Settings", "allowSsl2", 1);
        EXPECT_EQ(Load(store).allowedSslVersions, expected) << std::string(text.begin(), text.end());
    }
    MemorySettingsStore emptyText;
    emptyText.SetString("Settings", "allowedSslVersions", L"");
    EXPECT_EQ(Load(emptyText).allowedSslVersions, (std::vector<uint16_t>{769, 770, 771, 772, 32512}));
}

TEST(LoadPreferences, NormalisesLevelsAndBooleans) {
    MemorySettingsStore store;
    store.SetInt("Settings", "logFileLevel", 7);
    store.SetInt("Settings", "logLevel", -1);
    store.SetInt("Settings", "autoRedirect", 5);
    store.SetInt("Settings", "updatesCheck", 0);
    store.SetInt("Settings", "honorHsts", 0);
    store.SetInt("Settings", "bigCrashDump", 1);
    store.SetInt("Status", "SysTryIconMessageShown", 1);
    store.SetString("Settings", "checkBeforeRedirect", L"0");  // wrong type: default
    const Preferences p = Load(store);
    EXPECT_EQ(p.logFileLevel, 0);
    EXPECT_EQ(p.logLevel, 2);
    EXPECT_TRUE(p.autoRedirect);
    EXPECT_FALSE(p.updatesCheck);
    EXPECT_FALSE(p.honorHsts);
    EXPECT_TRUE(p.bigCrashDump);
    EXPECT_TRUE(p.SysTryIconMessageShown);
    EXPECT_TRUE(p.checkBeforeRedirect);
}

TEST(LoadPreferences, CipherModeAndCustomPolicy) {
    struct Case {
        int32_t stored;
        std::wstring options;
        int32_t mode;
        int32_t base;
        std::map<uint16_t, bool> overrides;
    };
    const std::vector<Case> cases = {
        {1, L"", 1, 1, {}},
        {2, L"", 2, 2, {}},
        {3, L"1+5", 3, 3, {}},
        {0, L"", 2, 2, {}},
        {77, L"", 2, 2, {}},
        {128, L"3-c013+9c", 128, 3, {{0xC013, false}, {0x009C, true}}},
        {128, L"1", 128, 1, {}},
        {128, L"2-5+C02F-5", 128, 2, {{0x0005, false}, {0xC02F, true}}},
        {128, L"4+5", 2, 2, {}},
        {128, L"2x5", 2, 2, {}},
        {128, L"2+", 2, 2, {}},
        {128, L"2+10000", 2, 2, {}},
        {128, L"", 2, 2, {}},
    };
    for (const auto& c : cases) {
        MemorySettingsStore store;
        store.SetInt("Settings", "checkEncMethod", c.stored);
        store.SetString("Settings", "customCipherOptions", c.options);
        const Preferences p = Load(store);
        const std::string label = std::to_string(c.stored) + " " + std::string(c.options.begin(), c.options.end());
        EXPECT_EQ(p.checkEncMethod, c.mode) << label;
        EXPECT_EQ(p.cipherBaseMode, c.base) << label;
        EXPECT_EQ(p.cipherOverrides, c.overrides) << label;
    }
}

TEST(LoadPreferences, ListTextThatDoesNotParseIsKeptWithAnEmptyParsedForm) {
    MemorySettingsStore store;
    store.SetString("Settings", "httpPorts", L"80 81");
    store.SetString("Settings", "excludeHosts", L"a.com;-x");
    const Preferences p = Load(store);
    EXPECT_EQ(p.httpPortsText, L"80 81");
    EXPECT_TRUE(p.httpPorts.empty());
    EXPECT_EQ(p.excludeHostsText, L"a.com;-x");
    EXPECT_TRUE(p.excludeHosts.empty());
}

TEST(SavePreferences, WritesEveryStoredValueInOrder) {
    Preferences p = Load(MemorySettingsStore());
    p.allowedSslVersions = {769, 771};
    p.enabled = true;
    p.bigCrashDump = true;
    MemorySettingsStore store;
    ASSERT_TRUE(SavePreferences(store, p));
    EXPECT_EQ(store.saves, 1);
    EXPECT_EQ(store.writeOrder,
              (std::vector<std::string>{
                  "Settings/httpPorts", "Settings/excludeApplications", "Settings/excludeHosts",
                  "Settings/checkBeforeRedirect", "Settings/autoRedirect", "Settings/excludeCertReq",
                  "Settings/allowInsecureIfNoHttps", "Settings/monitorSslOnAllPorts", "Settings/allowedSslVersions",
                  "Settings/allowSsl2", "Settings/allowSsl3", "Settings/allowTls10", "Settings/allowTls11",
                  "Settings/allowTls12", "Settings/allowTls13", "Settings/customCipherOptions",
                  "Settings/checkEncMethod", "Settings/logLevel", "Settings/logFileLevel", "Settings/logPath",
                  "Status/SysTryIconMessageShown", "Settings/updatesCheck",
                  "Settings/honorHsts"}));
    using V = MemorySettingsStore::Value;
    EXPECT_EQ(store.values["Settings/allowedSslVersions"], V(std::wstring(L"769,771,")));
    EXPECT_EQ(store.values["Settings/allowTls10"], V(1));
    EXPECT_EQ(store.values["Settings/allowTls11"], V(0));
    EXPECT_EQ(store.values["Settings/allowTls12"], V(1));
    EXPECT_EQ(store.values["Settings/allowTls13"], V(0));
    EXPECT_EQ(store.values["Settings/allowSsl2"], V(0));
    EXPECT_EQ(store.values["Settings/allowSsl3"], V(0));
    EXPECT_EQ(store.values["Settings/customCipherOptions"], V(std::wstring()));
    EXPECT_EQ(store.values["Settings/httpPorts"], V(std::wstring(L"80; 88; 3128; 8080-8088")));
}

TEST(SaveChangedPreferences, WritesOnlyTheValuesThatChanged) {
    const Preferences loaded = Load(MemorySettingsStore());
    Preferences edited = loaded;
    edited.logLevel = 3;
    edited.allowedSslVersions = {771, 769, 770, 772, 32512};  // the loaded codes in another order
    MemorySettingsStore store;
    ASSERT_TRUE(SaveChangedPreferences(store, loaded, edited));
    EXPECT_EQ(store.saves, 1);
    EXPECT_EQ(store.writeOrder, std::vector<std::string>{"Settings/logLevel"});

    edited.allowedSslVersions = {769, 771};
    store.writeOrder.clear();
    ASSERT_TRUE(SaveChangedPreferences(store, loaded, edited));
    EXPECT_EQ(store.writeOrder, (std::vector<std::string>{"Settings/allowedSslVersions", "Settings/allowTls11",
                                                          "Settings/allowTls13", "Settings/logLevel"}));
    EXPECT_EQ(store.values["Settings/allowedSslVersions"], MemorySettingsStore::Value(std::wstring(L"769,771,")));
}

TEST(SavePreferences, CustomPolicyTextAndRoundTrip) {
    Preferences p = Load(MemorySettingsStore());
    p.checkEncMethod = 128;
    p.cipherBaseMode = 2;
    p.cipherOverrides = {{0xC02F, true}, {0x0005, false}};
    std::wstring message;
    ASSERT_TRUE(p.SetExcludedHosts(L"*.example.com;10.0.0.1-10.0.0.9", message));
    ASSERT_TRUE(p.SetExcludedApplications(L"\"My Tool.exe\"", message));
    p.logPath = L"/tmp/l\u00F6gs\n\"x\"";
    p.monitorSslOnAllPorts = true;
    p.allowedSslVersions = {768, 771, 772, 32512};  // loading lists them in code order
    MemorySettingsStore store;
    ASSERT_TRUE(SavePreferences(store, p));
    EXPECT_EQ(store.values["Settings/customCipherOptions"], MemorySettingsStore::Value(std::wstring(L"2-5+c02f")));
    // Everything stored comes back; the TLS 1.3 early code follows allowTls13.
    const Preferences loaded = Load(store);
    Preferences expected = p;
    expected.bigCrashDump = false;
    EXPECT_EQ(loaded, expected);
}

}  // namespace
}  // namespace hbt
