#pragma once
// NetfilterRules: the engine's rules for IPv4 and IPv6, kept in chains of our
// own (HARBINET_OUT and HARBINET_IN in mangle, HARBINET_NAT in nat) and hooked
// into the OUTPUT and INPUT chains. Installed and removed with
// iptables-restore --noflush, so nothing else in the tables is touched.
#include <array>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

namespace hbt {

struct RedirectTarget {
    bool ipv6 = false;
    std::array<uint8_t, 16> address{};
    uint16_t port = 0;  // host byte order
    bool operator==(const RedirectTarget&) const = default;
};

struct RuleQueues {
    uint16_t connectQueue = 0;
    uint16_t streamQueue = 0;
};

// The restore texts, separate from running them so that they can be checked.
std::string InstallRulesText(bool ipv6, const RuleQueues& queues);
std::string RedirectRuleText(const RedirectTarget& target, uint32_t mark);
// Removes every line of ours found in an iptables-save output.
std::string RemovalText(const std::string& saved);
// The lines of ours in an iptables-save output, in order (counters dropped).
std::vector<std::string> OurRuleLines(const std::string& saved);

class NetfilterRules {
public:
    explicit NetfilterRules(RuleQueues queues) : queues_(queues) {}

    // Removes leftovers of an earlier run, then installs both families.
    bool Install(std::string* error);
    // Removes every rule and chain of ours that is present, in both families.
    bool Remove(std::string* error);
    // The packet mark for a redirect target; adds its nat rule on first use.
    // 0 when the rule cannot be added.
    uint32_t RedirectMark(const RedirectTarget& target, std::string* error);
    // True when every rule installed is still in place; otherwise reinstalls
    // and returns false.
    bool Verify(std::string* error);

private:
    bool InstallLocked(std::string* error);
    bool RemoveFamily(bool ipv6, std::string* error);
    std::vector<std::string> Snapshot(bool ipv6);

    RuleQueues queues_;
    std::mutex mutex_;
    std::vector<RedirectTarget> targets_;  // index + 1 is the mark's low part
    std::array<std::vector<std::string>, 2> expected_;  // per family, as iptables-save prints them
};

}  // namespace hbt
