// The promise lookup a plain request makes before anything else, with a
// whole browser preload list (200 000 names) and the most learned promises
// the store keeps (10 000) read from their files: the time of one lookup for
// hits on the name itself, hits through a parent's includeSubDomains and
// misses that walk every parent (target: under 1 µs), and the memory the two
// sets take once loaded.
#include <malloc.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "hsts/hsts_store.h"
#include "hsts/promise_files.h"
#include "bench/resident_memory.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kPreloaded = 200000;
constexpr int kLearned = 10000;
constexpr int64_t kNow = 1'700'000'000;
constexpr int kLookups = 1'000'000;

// Names shaped like those of the preload list: one or two labels of 4 to 16
// letters below a common top-level domain.
std::string Name(std::mt19937& random, int i) {
    static const char* const kTlds[] = {"com", "org", "net", "de", "io", "uk", "fr", "nl"};
    std::uniform_int_distribution<int> length(4, 16);
    std::string label;
    const int letters = length(random);
    for (int c = 0; c < letters; ++c) label += static_cast<char>('a' + random() % 26);
    label += std::to_string(i);
    std::string name = i % 5 == 0 ? "www." + label : label;
    return name + "." + kTlds[random() % 8];
}

void WriteFiles(const hbt::HstsFiles& files, std::vector<std::string>& preloaded, std::vector<std::string>& learned) {
    std::mt19937 random(7);
    std::vector<hbt::PreloadedHost> hosts;
    for (int i = 0; i < kPreloaded; ++i) {
        preloaded.push_back(Name(random, i));
        hosts.push_back({preloaded.back(), i % 2 == 0});
    }
    hbt::LearnedPromises promises;
    for (int i = 0; i < kLearned; ++i) {
        learned.push_back(Name(random, kPreloaded + i));
        promises[learned.back()] = {kNow + 86400 + i, i % 2 == 0};
    }
    std::ofstream(files.preloaded) << hbt::SerializePreloadedHosts(hosts);
    std::ofstream(files.learned) << hbt::SerializeLearnedPromises(promises);
}

// Nanoseconds per lookup over the hosts, best of five rounds; `found` counts hits.
double TimeLookups(hbt::HstsStore& store, const std::vector<std::string>& hosts, int threads, long& found) {
    double best = 1e18;
    for (int round = 0; round < 5; ++round) {
        std::vector<long> hits(threads, 0);
        const auto start = Clock::now();
        std::vector<std::thread> workers;
        for (int t = 0; t < threads; ++t) {
            workers.emplace_back([&, t] {
                for (int i = t; i < kLookups; i += threads) hits[t] += store.Find(hosts[i % hosts.size()], kNow) ? 1 : 0;
            });
        }
        for (auto& worker : workers) worker.join();
        const double ns = std::chrono::duration<double, std::nano>(Clock::now() - start).count();
        // Each thread made kLookups / threads lookups in the same time.
        best = std::min(best, ns * threads / kLookups);
        found = 0;
        for (long h : hits) found += h;
    }
    return best;
}

std::vector<std::string> Shuffled(std::vector<std::string> hosts) {
    std::shuffle(hosts.begin(), hosts.end(), std::mt19937(11));
    return hosts;
}

}  // namespace

int main() {
    const auto folder = std::filesystem::temp_directory_path() / ("hbt_hsts_bench_" + std::to_string(::getpid()));
    std::filesystem::create_directories(folder);
    const hbt::HstsFiles files = hbt::HstsFilesBeside((folder / "https_cache.xml").string());
    // The files are made by a child, so that this process's heap holds
    // nothing but what the store reads.
    const pid_t writer = fork();
    if (writer == 0) {
        std::vector<std::string> preloaded, learned;
        WriteFiles(files, preloaded, learned);
        _exit(0);
    }
    waitpid(writer, nullptr, 0);

    hbt::HstsStore store(files);
    const long before = hbt::bench::ResidentKiB();
    const auto loadStart = Clock::now();
    store.Find("warm.example", kNow);  // the first use reads both files
    const double loadMs = std::chrono::duration<double, std::milli>(Clock::now() - loadStart).count();
    malloc_trim(0);  // what reading the files needed on the way is not counted
    const long after = hbt::bench::ResidentKiB();
    const std::size_t preloadedBytes = store.Preloaded()->MemoryBytes();
    std::printf("%zu preloaded and %zu learned promises read from their files in %.0f ms\n",
                store.Preloaded()->Size(), store.Learned(kNow).size(), loadMs);
    std::printf("memory: %.1f MiB resident for both sets (preloaded set %.1f MiB of it)\n", (after - before) / 1024.0,
                preloadedBytes / 1048576.0);

    // The same names again, for the lookups.
    std::vector<std::string> preloaded, learned;
    {
        std::mt19937 random(7);
        for (int i = 0; i < kPreloaded; ++i) preloaded.push_back(Name(random, i));
        for (int i = 0; i < kLearned; ++i) learned.push_back(Name(random, kPreloaded + i));
    }

    // Hosts as requests name them: some in capitals, the subdomain ones below
    // preloaded names that include them, the misses four labels deep.
    std::vector<std::string> own, subdomains, misses, learnedHosts;
    for (int i = 0; i < 100000; ++i) {
        own.push_back(preloaded[(i * 7) % kPreloaded]);
        subdomains.push_back("img.cdn." + preloaded[(i * 2) % kPreloaded]);
        misses.push_back("a.b.unknown" + std::to_string(i) + ".example");
        learnedHosts.push_back(i % 3 == 0 ? "WWW." + learned[i % kLearned] : learned[i % kLearned]);
    }
    struct Kind {
        const char* name;
        std::vector<std::string> hosts;
    };
    const Kind kinds[] = {{"preloaded name itself", Shuffled(own)},
                          {"subdomain of a preloaded name", Shuffled(subdomains)},
                          {"learned (a third through www.)", Shuffled(learnedHosts)},
                          {"miss, every parent looked at", Shuffled(misses)}};
    std::printf("one lookup (best of 5 rounds of %d):\n", kLookups);
    for (const Kind& kind : kinds) {
        long found1 = 0, found2 = 0;
        const double one = TimeLookups(store, kind.hosts, 1, found1);
        const double two = TimeLookups(store, kind.hosts, 2, found2);
        std::printf("  %-34s %6.0f ns, %6.0f ns each with 2 threads (%ld of %d found)\n", kind.name, one, two, found1,
                    kLookups);
    }
    std::filesystem::remove_all(folder);
    return 0;
}
