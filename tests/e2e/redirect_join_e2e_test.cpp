// Every redirected connection reaches its own server, also when the kernel's
// address translation has to give it another source port (its own one was
// used a moment ago for a connection to another destination): plain HTTP
// servers on many addresses that answer with their own address, the program
// in Best-Effort Mode passing the requests through.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include <fstream>
#include <iostream>
#include <sstream>
#include <vector>

#include "tests/e2e/program_e2e_fixture.h"

namespace hbt::e2e {
namespace {

constexpr int kFirstServer = 10;
constexpr int kServers = 50;

class RedirectJoinE2e : public ProgramE2e {
protected:
    void SetUp() override {
        ProgramE2e::SetUp();
        if (IsSkipped() || HasFatalFailure()) return;
        // Addresses on the server's loopback answer the client's neighbour
        // requests on the link all the same.
        const std::string add = "for i in $(seq " + std::to_string(kFirstServer) + " " +
                                std::to_string(kFirstServer + kServers - 1) + "); do ip -n " + net_.Server() +
                                " addr add 192.0.2.$i/32 dev lo || exit 1; done";
        ASSERT_EQ(RunCommand({"sh", "-c", add}).exitCode, 0);
        // One process per connection answers with the address it was reached on.
        {
            std::ofstream script(dir_ + "/answer-own-address.sh");
            // The request head is read to its blank line first, so closing
            // after the answer leaves nothing unread (which would reset).
            script << "cr=$(printf '\\r')\n"
                      "while read -r line && [ \"$line\" != \"$cr\" ]; do :; done\n"
                      "a=$SOCAT_SOCKADDR\n"
                      "printf 'HTTP/1.0 200 OK\\r\\nContent-Length: %d\\r\\nConnection: close\\r\\n\\r\\n%s' "
                      "${#a} \"$a\"\n";
        }
        ASSERT_TRUE(servers_.Start({"ip", "netns", "exec", net_.Server(), "socat", "-T", "10",
                                    "TCP4-LISTEN:8080,fork,reuseaddr", "EXEC:sh " + dir_ + "/answer-own-address.sh"},
                                   dir_ + "/servers.log"));
        for (int i = 0; i < 50 && RunProgramIn(net_.Server(), {"ss", "-Htln", "sport", "= :8080"}).output.empty();
             ++i) {
            std::this_thread::sleep_for(100ms);
        }
        ASSERT_FALSE(RunProgramIn(net_.Server(), {"ss", "-Htln", "sport", "= :8080"}).output.empty());
        StartProgram();
    }
    void TearDown() override {
        servers_.Stop(SIGTERM, 5);
        ProgramE2e::TearDown();
    }

    static std::string Server(int n) { return "192.0.2." + std::to_string(kFirstServer + n); }
    static std::string Url(int n) { return "http://" + Server(n) + ":8080/"; }
    // The body of the answer to one request from the client port `port`,
    // bound with SO_REUSEADDR as a client that picks its own port does. The
    // server closes first, so the port is free again at once.
    std::string GetFromPort(int server, uint16_t port) {
        std::string answer;
        const bool entered = RunInNamespace(net_.Client(), [&] {
            const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            const int on = 1;
            setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
            const timeval limit{15, 0};
            setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
            sockaddr_in local{AF_INET, htons(port), {htonl(INADDR_ANY)}, {}};
            sockaddr_in remote{AF_INET, htons(8080), {}, {}};
            inet_pton(AF_INET, Server(server).c_str(), &remote.sin_addr);
            if (bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 ||
                connect(fd, reinterpret_cast<sockaddr*>(&remote), sizeof remote) != 0) {
                answer = std::string("connect failed: ") + strerror(errno);
            } else {
                const std::string request = "GET / HTTP/1.1\r\nHost: " + Server(server) + ":8080\r\n\r\n";
                send(fd, request.data(), request.size(), MSG_NOSIGNAL);
                char buffer[4096];
                for (ssize_t n; (n = recv(fd, buffer, sizeof buffer, 0)) > 0;) answer.append(buffer, n);
            }
            close(fd);
        });
        if (!entered) return "no client namespace";
        const std::size_t body = answer.find("\r\n\r\n");
        return body == std::string::npos ? answer : answer.substr(body + 4);
    }

    BackgroundProgram servers_;
};

TEST_F(RedirectJoinE2e, AReusedSourcePortReachesEachTimeItsOwnServer) {
    const uint16_t port = static_cast<uint16_t>(45000 + getpid() % 1000);
    EXPECT_EQ(GetFromPort(0, port), Server(0)) << Output();
    // The same port to another destination: translation gives it another
    // source port, and the connection is still named after its application.
    EXPECT_EQ(GetFromPort(1, port), Server(1)) << Output();
    EXPECT_TRUE(WaitForOutput("program_e2e_tests - Connection to " + Server(1) + ":8080")) << Output();
    // Once the first connection's translation is gone, the port is free again,
    // and nothing left of the second one may send this one there.
    RunProgramIn(net_.Client(), {"conntrack", "-D", "-p", "tcp", "--orig-port-src", std::to_string(port)});
    EXPECT_EQ(GetFromPort(0, port), Server(0)) << Output();
}

TEST_F(RedirectJoinE2e, AThousandRequestsToFiftyServersAreEachAnsweredByTheirOwn) {
    constexpr int kRequests = 1000;
    std::vector<std::string> arguments = {"-w", "\\n"};
    for (int i = 0; i < kRequests; ++i) arguments.push_back(Url(i % kServers));
    std::istringstream answers(Curl(arguments).output);
    int empty = 0;
    int misrouted = 0;
    std::string answer;
    for (int i = 0; i < kRequests; ++i) {
        if (!std::getline(answers, answer) || answer.empty()) {
            ++empty;
        } else if (answer != Server(i % kServers)) {
            ++misrouted;
        }
    }
    std::cout << "of " << kRequests << " requests: " << empty << " empty, " << misrouted << " misrouted\n";
    EXPECT_EQ(empty, 0) << Output();
    EXPECT_EQ(misrouted, 0);
}

}  // namespace
}  // namespace hbt::e2e
