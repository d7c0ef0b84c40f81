// A proxy out of descriptors fails open: with a descriptor limit of 1024 and
// 1100 clients that sent half a request head and wait, a new plain-HTTP
// connect of the machine is still answered.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <chrono>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "tests/e2e/program_e2e_fixture.h"

namespace hbt::e2e {
namespace {

constexpr int kHoldingClients = 1100;
constexpr char kHalfHead[] = "GET /held HTTP/1.1\r\nHost: secure.e2e.test\r\n";

// Client sockets that sent half a head and hold their connections; closed with the object.
class HoldingClients {
public:
    ~HoldingClients() { CloseAll(); }
    // Connects from the calling thread's namespace; a connect that fails (or
    // takes longer than its bound) is counted, not kept.
    void Open(int count, const sockaddr_in& server) {
        for (int i = 0; i < count; ++i) {
            const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            if (fd < 0) {
                ++failed;
                continue;
            }
            const timeval bound{10, 0};  // connect gives up after this instead of hanging the test
            setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &bound, sizeof bound);
            if (connect(fd, reinterpret_cast<const sockaddr*>(&server), sizeof server) != 0 ||
                send(fd, kHalfHead, sizeof kHalfHead - 1, MSG_NOSIGNAL) < 0) {
                ++failed;
                close(fd);
                continue;
            }
            fds_.push_back(fd);
        }
    }
    void CloseAll() {
        for (int fd : fds_) close(fd);
        fds_.clear();
    }
    int failed = 0;

private:
    std::vector<int> fds_;
};

std::string OpenFilesLimit(int pid) {
    std::istringstream limits(ReadFile("/proc/" + std::to_string(pid) + "/limits"));
    for (std::string line; std::getline(limits, line);) {
        if (line.rfind("Max open files", 0) == 0) return line;
    }
    return "";
}

TEST_F(ProgramE2e, FullProxyLetsNewConnectsGoDirectAndTakesThemAgainWhenItHasRoom) {
    // This process holds every client socket (and the server's ends of the direct ones).
    rlimit own{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &own), 0);
    if (own.rlim_max < 4 * kHoldingClients) GTEST_SKIP() << "descriptor limit too low for this test";
    own.rlim_cur = own.rlim_max;
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &own), 0);

    // Hard limit 1024 too: the program raises its soft limit to the hard one.
    StartProgram({"prlimit", "--nofile=1024:1024"});
    const std::string limit = OpenFilesLimit(program_.Pid());
    ASSERT_NE(limit.find(" 1024 "), std::string::npos) << limit;

    sockaddr_in server{};
    server.sin_family = AF_INET;
    server.sin_port = htons(80);
    inet_pton(AF_INET, "192.0.2.1", &server.sin_addr);
    HoldingClients clients;
    {
        NamespaceScope inClient(net_.Client());
        ASSERT_TRUE(inClient.Ok());
        clients.Open(kHoldingClients, server);
    }
    std::cout << "holding clients: " << kHoldingClients - clients.failed << " of " << kHoldingClients
              << " connected\n";

    // A new connect of another application: answered, by the server directly or by the proxy.
    ProgramRun answered;
    std::chrono::steady_clock::duration took{};
    for (int attempt = 0; attempt < 6 && answered.output.empty(); ++attempt) {
        const auto start = std::chrono::steady_clock::now();
        answered = Curl({"--max-time", "10", "-i", "http://secure.e2e.test/new"});
        took = std::chrono::steady_clock::now() - start;
    }
    const auto milliseconds = std::chrono::duration_cast<std::chrono::milliseconds>(took).count();
    std::cout << "new connect answered in " << milliseconds << " ms\n";
    RecordProperty("new_connect_ms", std::to_string(milliseconds));
    EXPECT_EQ(answered.exitCode, 0) << answered.output << Output();
    EXPECT_FALSE(answered.output.empty()) << Output();
    EXPECT_TRUE(WaitForOutput("] Proxy is full (")) << Output();

    // Once the clients let go, the proxy takes connects again and counts the episode.
    clients.CloseAll();
    std::string redirect;
    for (int i = 0; i < 100 && redirect != "307 https://secure.e2e.test/"; ++i) {
        redirect = RedirectOf("http://secure.e2e.test/");
        if (redirect != "307 https://secure.e2e.test/") std::this_thread::sleep_for(200ms);
    }
    EXPECT_EQ(redirect, "307 https://secure.e2e.test/") << Output();
    EXPECT_TRUE(WaitForOutput(" connections went direct while the proxy was full.")) << Output();
    std::istringstream output(ReadFile(dir_ + "/harbinet.out"));
    int episodeStarts = 0;
    for (std::string line; std::getline(output, line);) {
        if (line.find("] Proxy ") == std::string::npos) continue;
        std::cout << line << "\n";
        if (line.find("] Proxy is full (") != std::string::npos) ++episodeStarts;
    }
    EXPECT_EQ(episodeStarts, 1);  // one episode, one line
}

}  // namespace
}  // namespace hbt::e2e
