#pragma once
// The figures the statistics displays show, computed from the core's counters.
#include <cstdint>
#include <string>

namespace hbt {

struct HbtStatistics;

struct StatisticsFigures {
    uint64_t total = 0;
    uint64_t processed = 0;
    uint64_t secured = 0;
    uint64_t httpBlocked = 0;
    uint64_t redirectedToHttps = 0;
    uint64_t weakSslBlocked = 0;
};

StatisticsFigures ComputeStatisticsFigures(const HbtStatistics& statistics);
// The text of the "Harbinet Statistics" box.
std::wstring StatisticsBoxText(const StatisticsFigures& figures);

}  // namespace hbt
