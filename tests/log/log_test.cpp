#include "log/log.h"

#include "log_test_fixture.h"

namespace hbt {
namespace {

std::vector<LogRecord> Taken() { return LogQueue::Instance().TakeAll(); }

TEST_F(LogTest, LevelsDecideTheSinks) {
    struct Case {
        int32_t screen, file, level;
        bool queued, toScreen, toFile;
    };
    const Case cases[] = {
        {2, 2, 2, true, true, true},   {2, 2, 3, false, false, false}, {3, 2, 3, true, true, false},
        {1, 3, 2, true, false, true},  {2, 0, 0, true, true, false},   {0, 0, 0, true, true, false},
        {0, 0, 1, false, false, false},
    };
    for (const Case& c : cases) {
        SetScreenLogLevel(c.screen);
        SetFileLogLevel(c.file);
        { CLog(c.level) << "line"; }
        auto records = Taken();
        ASSERT_EQ(records.size(), c.queued ? 1u : 0u) << c.screen << c.file << c.level;
        if (c.queued) {
            EXPECT_EQ(records[0].toScreen, c.toScreen);
            EXPECT_EQ(records[0].toFile, c.toFile);
            EXPECT_EQ(records[0].level, c.level);
        }
    }
}

TEST_F(LogTest, StreamsTextIntegersAndContext) {
    {
        CLog log("CHbtCore::ProcessConnection");
        log << "Could not " << std::string("retrieve ") << L"w\u00e9de " << -5 << ' ' << 18446744073709551615ull;
    }
    { CLog(static_cast<const char*>(nullptr)) << "x"; }
    { CLog(2) << "\xe9"; }  // narrow text is widened byte by byte
    auto records = Taken();
    ASSERT_EQ(records.size(), 3u);
    EXPECT_EQ(records[0].message, L"CHbtCore::ProcessConnection: Could not retrieve w\u00e9de -5 18446744073709551615");
    EXPECT_EQ(records[0].level, 1);
    EXPECT_EQ(records[1].message, L": x");
    EXPECT_EQ(records[2].message, std::wstring(1, wchar_t(0xe9)));
}

TEST_F(LogTest, UrlsBecomeLinksAtTheirOffsets) {
    {
        CLog log(2);
        log << "Redirected " << LogUrl{"hbturl", "example.com", "(", ")"} << " and "
            << LogUrl{"https", "corvant.example", "", "", 0} << LogUrl{"hbturl", "hidden", "x", "y", 1};
    }
    auto records = Taken();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].message, L"Redirected (example.com) and corvant.example");
    ASSERT_EQ(records[0].links.size(), 2u);
    EXPECT_EQ(records[0].links[0].offset, 12u);
    EXPECT_EQ(records[0].links[0].length, 11u);
    EXPECT_EQ(records[0].links[0].scheme, "hbturl");
    EXPECT_EQ(records[0].links[0].target, "example.com");
    EXPECT_EQ(records[0].links[1].offset, 29u);
}

TEST_F(LogTest, ApplicationPrefixes) {
    SetScreenLogLevel(3);
    SetFileLogLevel(2);
    { CLog(2, 42, L"/opt/apps/tool") << "m"; }
    SetScreenLogLevel(2);
    { CLog(2, 42, L"/usr/bin/caf\u00e9") << "m"; }
    { CLog(2, 7, L"") << "m"; }
    { CLog(2, 7, nullptr) << "m"; }
    auto records = Taken();
    ASSERT_EQ(records.size(), 4u);
    EXPECT_EQ(records[0].screenPrefix, L"tool (42)");
    EXPECT_EQ(records[0].filePrefix, L"tool");
    EXPECT_EQ(records[0].appLink.scheme, "hbtapp");
    EXPECT_EQ(records[0].appLink.target, "tool");
    EXPECT_EQ(records[0].appLink.length, 4u);
    EXPECT_EQ(records[1].screenPrefix, L"caf\u00e9");
    EXPECT_EQ(records[1].appLink.target, "caf\xc3\xa9");
    EXPECT_EQ(records[2].screenPrefix, L"<empty name>");
    EXPECT_TRUE(records[2].appLink.target.empty());
    EXPECT_EQ(records[3].filePrefix, L"<null name>");
    EXPECT_TRUE(records[3].appLink.target.empty());
}

TEST_F(LogTest, QueueIsBoundedAndNotifiesOnlyWhenItStopsBeingEmpty) {
    for (int i = 0; i < 1001; ++i) CLog(2) << i;
    EXPECT_EQ(notifications_, 1);
    auto records = Taken();
    ASSERT_EQ(records.size(), 1000u);
    EXPECT_EQ(records.back().message, L"999");
    { CLog(2) << "after drain"; }
    EXPECT_EQ(notifications_, 2);
}

TEST_F(LogTest, WithoutReceiverLinesAreDropped) {
    LogQueue::Instance().ClearReceiver();
    { CLog(0) << "nobody listens"; }
    EXPECT_TRUE(Taken().empty());
}

}  // namespace
}  // namespace hbt
