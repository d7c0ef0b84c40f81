#include "tests/e2e/netns_pair.h"

#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>

#include "HbtEngineDrv/netfilter/command_runner.h"

namespace hbt::e2e {
namespace {

bool Ip(const std::vector<std::string>& args, std::string* error) {
    std::vector<std::string> argv = {"ip"};
    argv.insert(argv.end(), args.begin(), args.end());
    const CommandResult r = RunCommand(argv);
    if (r.exitCode == 0) return true;
    *error = "ip";
    for (const auto& a : args) *error += " " + a;
    *error += ": " + (r.errors.empty() ? "exit " + std::to_string(r.exitCode) : r.errors);
    return false;
}

std::string UniqueStem() {
    static std::atomic<int> counter{0};
    return "hbt" + std::to_string(getpid()) + "x" + std::to_string(counter++);
}

}  // namespace

NetnsPair::~NetnsPair() {
    std::string ignored;
    if (!client_.empty()) Ip({"netns", "del", client_}, &ignored);
    if (!server_.empty()) Ip({"netns", "del", server_}, &ignored);
}

bool NetnsPair::Create(std::string* reason) {
    if (geteuid() != 0) {
        *reason = "end-to-end tests need root for network namespaces and netfilter rules";
        return false;
    }
    const std::string stem = UniqueStem();
    // The veth names must fit in 15 characters.
    const std::string vethClient = "v" + std::to_string(getpid() % 100000) + "c" + stem.substr(stem.find('x') + 1);
    const std::string vethServer = "v" + std::to_string(getpid() % 100000) + "s" + stem.substr(stem.find('x') + 1);
    if (!Ip({"netns", "add", stem + "c"}, reason)) return false;
    client_ = stem + "c";
    if (!Ip({"netns", "add", stem + "s"}, reason)) return false;
    server_ = stem + "s";
    const std::vector<std::vector<std::string>> steps = {
        {"link", "add", vethClient, "netns", client_, "type", "veth", "peer", "name", vethServer, "netns", server_},
        {"-n", client_, "addr", "add", "192.0.2.2/24", "dev", vethClient},
        {"-n", server_, "addr", "add", "192.0.2.1/24", "dev", vethServer},
        {"-n", client_, "addr", "add", "2001:db8::2/64", "dev", vethClient, "nodad"},
        {"-n", server_, "addr", "add", "2001:db8::1/64", "dev", vethServer, "nodad"},
        {"-n", client_, "link", "set", "lo", "up"},
        {"-n", server_, "link", "set", "lo", "up"},
        {"-n", client_, "link", "set", vethClient, "up"},
        {"-n", server_, "link", "set", vethServer, "up"},
    };
    for (const auto& step : steps) {
        if (!Ip(step, reason)) return false;
    }
    return true;
}

NamespaceScope::NamespaceScope(const std::string& name) {
    original_ = open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
    const int target = open(("/run/netns/" + name).c_str(), O_RDONLY | O_CLOEXEC);
    ok_ = original_ >= 0 && target >= 0 && setns(target, CLONE_NEWNET) == 0;
    if (target >= 0) close(target);
}

NamespaceScope::~NamespaceScope() {
    if (original_ >= 0) {
        // Back to where the thread came from; a thread must never stay in a test namespace.
        if (ok_ && setns(original_, CLONE_NEWNET) != 0) std::abort();
        close(original_);
    }
}

bool RunInNamespace(const std::string& name, const std::function<void()>& body) {
    NamespaceScope scope(name);
    if (!scope.Ok()) return false;
    body();
    return true;
}

}  // namespace hbt::e2e
