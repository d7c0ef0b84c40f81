// Connects to ports the program leaves alone never reach the engine's queue;
// the rules follow the monitored ports as they change, and the engine's rule
// monitor restores them as they are.
#include <signal.h>

#include <string>

#include "tests/e2e/program_e2e_fixture.h"

namespace hbt::e2e {
namespace {

class ConnectRulesE2e : public ProgramE2e {
protected:
    // Our connect rules in the client namespace, both families, counters dropped.
    std::string ConnectRules() {
        std::string rules;
        RunInNamespace(net_.Client(), [&] {
            for (const char* save : {"iptables-save", "ip6tables-save"}) {
                rules += RunCommand({save, "-t", "mangle"}).output;
            }
        });
        std::string ours;
        for (std::size_t at = rules.find("-A HARBINET_CONNECT"); at != std::string::npos;
             at = rules.find("-A HARBINET_CONNECT", at + 1)) {
            ours += rules.substr(at, rules.find('\n', at) + 1 - at);
        }
        return ours;
    }

    bool WaitForConnectRules(const std::string& part) {
        for (int i = 0; i < 200; ++i) {
            if (Count(ConnectRules(), part) == 2) return true;
            std::this_thread::sleep_for(50ms);
        }
        return false;
    }

    // The number of connects the program was asked about, as its statistics show it.
    bool WaitForMonitored(int count) {
        kill(program_.Pid(), SIGUSR1);
        return WaitForOutput("] Connections :\nTotal\t\t\t" + std::to_string(count) + "\n");
    }
};

TEST_F(ConnectRulesE2e, OnlyMonitoredPortsAreQueuedAndTheRulesFollowTheirChange) {
    TcpTestServer other;
    ASSERT_TRUE(other.Start(net_.Server(), "192.0.2.1", 2525));
    SetPreference("httpPorts", "80");
    StartProgram();
    ASSERT_TRUE(WaitForConnectRules("--dports 80,443 -j NFQUEUE")) << ConnectRules() << Output();

    // Left alone by the rules: it never reaches the program, which counts nothing.
    EXPECT_EQ(Curl({"-i", "http://192.0.2.1:2525/"}).output, kServerReply) << Output();
    EXPECT_EQ(other.WaitForPeers(1, 5).size(), 1u);
    EXPECT_TRUE(WaitForMonitored(0)) << Output();
    // A monitored port still is queued and handled.
    EXPECT_EQ(RedirectOf("http://secure.e2e.test/"), "307 https://secure.e2e.test/") << Output();
    EXPECT_TRUE(WaitForMonitored(1)) << Output();

    SetPreference("httpPorts", "80; 2525");
    kill(program_.Pid(), SIGHUP);
    ASSERT_TRUE(WaitForOutput("Settings changed outside Harbinet taken up: httpPorts")) << Output();
    ASSERT_TRUE(WaitForConnectRules("--dports 80,443,2525 -j NFQUEUE")) << ConnectRules() << Output();
    Curl({"-o", "/dev/null", "http://192.0.2.1:2525/"});
    EXPECT_TRUE(WaitForMonitored(2)) << Output();

    // Emptied by someone else, the chain comes back with the ports in force.
    RunInNamespace(net_.Client(), [] {
        for (const char* tables : {"iptables", "ip6tables"}) RunCommand({tables, "-t", "mangle", "-F", "HARBINET_CONNECT"});
    });
    EXPECT_TRUE(WaitForConnectRules("--dports 80,443,2525 -j NFQUEUE")) << ConnectRules() << Output();
}

}  // namespace
}  // namespace hbt::e2e
