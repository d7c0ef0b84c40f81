#include "hsts/host_table.h"

#include <gtest/gtest.h>

#include <algorithm>

#include <string>
#include <vector>

namespace hbt {
namespace {

TEST(HostTableTest, FindsEveryNameItHoldsAndNoOther) {
    std::vector<HostRecord> records;
    for (int i = 0; i < 5000; ++i) records.push_back({"h" + std::to_string(i) + ".example", i % 3 == 0, 1000 + i});
    std::sort(records.begin(), records.end(), [](const auto& a, const auto& b) { return a.name < b.name; });
    const HostTable table(records, true);
    EXPECT_EQ(table.Size(), 5000u);
    for (const HostRecord& record : records) {
        const auto found = table.Find(record.name);
        ASSERT_TRUE(found) << record.name;
        EXPECT_EQ(found->includeSubDomains, record.includeSubDomains);
        EXPECT_EQ(found->expiry, record.expiry);
    }
    for (int i = 5000; i < 10000; ++i) EXPECT_FALSE(table.Find("h" + std::to_string(i) + ".example"));
    EXPECT_FALSE(table.Find("h1.exampl"));
    EXPECT_EQ(table.Records(), records);
    EXPECT_FALSE(HostTable().Find("h1.example"));
}

TEST(HostTableTest, ChainHashesEveryParentAsItsOwnName) {
    const DomainChain chain("a.bc.example");
    ASSERT_EQ(chain.Size(), 3u);
    const std::vector<std::string> names = {"a.bc.example", "bc.example", "example"};
    for (std::size_t i = 0; i < names.size(); ++i) {
        EXPECT_EQ(chain.Name(i), names[i]);
        EXPECT_EQ(chain.Hash(i), HostHash(names[i]));
    }
}

}  // namespace
}  // namespace hbt
