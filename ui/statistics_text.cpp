#include "ui/statistics_text.h"

#include "core/hbt_statistics.h"

namespace hbt {

StatisticsFigures ComputeStatisticsFigures(const HbtStatistics& s) {
    StatisticsFigures f;
    const uint64_t userActions = s.http.httpUserActionRequests.load();
    const uint64_t redirects = s.http.httpRedirects.load();
    const uint64_t loops = s.http.httpLoopReports.load();
    const uint64_t tlsBlocked = s.tlsFlowsBlocked.load();
    f.total = s.connectRequests.load();
    f.processed = s.connectionsToProxy.load() + s.flowsInspected.load();
    f.secured = userActions + redirects + loops + tlsBlocked;
    f.httpBlocked = userActions + redirects;
    f.redirectedToHttps = redirects;
    f.weakSslBlocked = tlsBlocked;
    return f;
}

std::wstring StatisticsBoxText(const StatisticsFigures& f) {
    return L"Connections :" + (L"\nTotal\t\t\t" + std::to_wstring(f.total)) +
           (L"\nProcessed  \t\t" + std::to_wstring(f.processed)) + (L"\nSecured\t\t\t" + std::to_wstring(f.secured)) +
           (L"\n     HTTP blocked\t\t" + std::to_wstring(f.httpBlocked)) +
           (L"\n     Redirected to HTTPS\t" + std::to_wstring(f.redirectedToHttps)) +
           (L"\n     Weak SSL blocked  \t" + std::to_wstring(f.weakSslBlocked));
}

}  // namespace hbt
