#include "engine_client/refusal_folding.h"

#include <gtest/gtest.h>

#include <thread>

#include "tests/log/log_capture.h"

namespace hbt {
namespace {

using namespace std::chrono_literals;

RefusalLine Refusal(const std::string& host, const std::string& reason = "insecure TLS 1.0",
                    const std::wstring& application = L"/usr/bin/browser") {
    return {kLogNormal, 42, application, "192.0.2.2:50000->192.0.2.1:443", host, reason};
}

TEST(RefusalFolding, RepeatsWithinTheWindowShareOneLineWithTheirCount) {
    LogCapture log;
    CRefusalFolding folding;
    const CRefusalFolding::Clock::time_point start{};
    const std::string address = "192.0.2.1:443";
    EXPECT_TRUE(folding.Add(Refusal("a.example"), address, start));
    EXPECT_FALSE(folding.Add(Refusal("a.example"), address, start + 1s));
    EXPECT_FALSE(folding.Add(Refusal("a.example"), address, start + 2s));
    // Each of these differs in one part of what makes a refusal the same.
    EXPECT_TRUE(folding.Add(Refusal("b.example"), address, start + 2s));
    EXPECT_TRUE(folding.Add(Refusal("a.example", "insecure SSL 3"), address, start + 2s));
    EXPECT_TRUE(folding.Add(Refusal("a.example", "insecure TLS 1.0", L"/usr/bin/tool"), address, start + 2s));
    EXPECT_TRUE(folding.Add(Refusal("a.example"), "[2001:db8::1]:443", start + 2s));
    folding.WriteDue(start + CRefusalFolding::kWindow - 1ms);
    EXPECT_TRUE(log.Lines().empty());

    // After the window a refusal starts a line of its own.
    EXPECT_TRUE(folding.Add(Refusal("a.example"), address, start + CRefusalFolding::kWindow));
    EXPECT_EQ(log.Lines(),
              std::vector<std::wstring>{L"192.0.2.2:50000->192.0.2.1:443 (a.example) (block: insecure TLS 1.0) (3 times)"});
    folding.WriteAll();
    const std::vector<std::wstring> rest = log.Lines();
    ASSERT_EQ(rest.size(), 5u);
    for (const std::wstring& line : rest) EXPECT_EQ(line.find(L"times)"), std::wstring::npos) << line;
    EXPECT_EQ(rest.back(), L"192.0.2.2:50000->192.0.2.1:443 (a.example) (block: insecure TLS 1.0)");
}

TEST(RefusalFolding, WriterThreadWritesWhatIsLeftWhenStopped) {
    LogCapture log;
    CRefusalFolding folding;
    std::jthread writer([&](std::stop_token stop) { folding.WriteUntilStopped(stop); });
    folding.Add(Refusal(""), "192.0.2.1:443", CRefusalFolding::Clock::now());
    writer.request_stop();
    writer.join();
    EXPECT_EQ(log.Lines(), std::vector<std::wstring>{L"192.0.2.2:50000->192.0.2.1:443 (block: insecure TLS 1.0)"});
}

}  // namespace
}  // namespace hbt
