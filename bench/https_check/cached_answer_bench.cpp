// Time of an answer the checker already has: a fresh cached result for one
// of many hosts, as a connection thread sees it (target: under 50 µs).
#include <benchmark/benchmark.h>

#include <filesystem>
#include <string>

#include "https_check/https_checker.h"
#include "rules/preferences.h"

namespace {

constexpr int kHosts = 5000;

std::string HostName(int i) { return "host" + std::to_string(i) + ".example"; }

std::shared_ptr<hbt::CHttpsChecker> FilledChecker() {
    static const int64_t kNow = 1'700'000'000;
    hbt::HttpsCheckerOptions options;
    options.cachePath = (std::filesystem::temp_directory_path() / "hbt_bench_https_cache.xml").string();
    std::filesystem::remove(options.cachePath);
    static int64_t now = kNow;
    options.clock = [] { return now; };
    auto checker = hbt::CHttpsChecker::Create(options);
    for (int i = 0; i < kHosts; ++i) {
        hbt::HttpsCheckResult result{i % 3 != 0, 0, {{true, true, "Connection to 192.0.2.1:443 established"},
                                                      {true, true, "SSL handshake succeeded"},
                                                      {true, true, "Check SSL certificate succeeded"},
                                                      {true, true, "no HTTP deadloop detected"}}};
        checker->StoreResult(result, HostName(i), HostName(i));
    }
    std::filesystem::remove(options.cachePath);
    now = kNow + 10;  // every answer is ten seconds old: fresh
    return checker;
}

void BM_CachedCheck(benchmark::State& state) {
    static const auto checker = FilledChecker();
    const auto destination = hbt::SocketAddressSlot::Ipv4({192, 0, 2, 1}, 80);
    hbt::Preferences bestEffort;
    bestEffort.allowInsecureIfNoHttps = true;
    int i = 0;
    for (auto _ : state) {
        const std::string host = HostName(i++ % kHosts);
        hbt::HttpsCheckResult result;
        const bool cached =
            checker->Check(result, host, host, destination, L"/usr/bin/browser", 42, false, bestEffort, false);
        if (!cached) state.SkipWithError("answer was not served from the cache");
        benchmark::DoNotOptimize(result);
    }
}
BENCHMARK(BM_CachedCheck)->Threads(1)->Threads(2);

}  // namespace
