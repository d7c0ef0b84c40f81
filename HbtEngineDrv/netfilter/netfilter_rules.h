#pragma once
// NetfilterRules: the engine's rules for IPv4 and IPv6, kept in chains of our
// own (HARBINET_OUT and HARBINET_IN in mangle, HARBINET_NAT in nat) and hooked
// into the OUTPUT and INPUT chains. New outgoing SYNs jump from HARBINET_OUT to
// HARBINET_CONNECT, which queues those to the destination ports the program
// asked for; a change of ports rewrites that chain alone. Installed and removed with
// iptables-restore --noflush, so nothing else in the tables is touched. The
// nat chain holds one DNAT rule per redirect target in use.
#include <array>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "HbtEngineDrv/netfilter/redirect_marks.h"
#include "engine_protocol/nfe_port_rules.h"

namespace hbt {

struct RuleQueues {
    uint16_t connectQueue = 0;
    uint16_t streamQueue = 0;
};

// The restore texts, separate from running them so that they can be checked.
std::string InstallRulesText(bool ipv6, const RuleQueues& queues, const NfePortRules& ports = NfePortRules::All());
// The rules of HARBINET_CONNECT, one per line: multiport matches of at most 15
// ports (a range counts two), or one rule without a port match for all ports.
std::string ConnectRuleLines(const NfePortRules& ports, uint16_t connectQueue);
// Replaces the rules of HARBINET_CONNECT in one transaction (either family).
std::string ConnectRulesText(const NfePortRules& ports, uint16_t connectQueue);
std::string RedirectRuleText(const RedirectTarget& target, uint32_t mark);
// Empties the nat chain of its redirect rules in one transaction (either family).
std::string ReleaseRedirectsText();
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
    // The packet mark for a redirect target; adds its nat rule when the target
    // is not in use yet.
    // 0 when the rule cannot be added.
    uint32_t RedirectMark(const RedirectTarget& target, std::string* error);
    // Takes out the rules of every target in use; connections already
    // redirected keep their address translation in connection tracking.
    bool ReleaseRedirects(std::string* error);
    // Queues new connects to these destination ports only, from now on and
    // in every reinstall.
    bool SetConnectPorts(const NfePortRules& ports, std::string* error);
    // True when every rule installed is still in place; otherwise reinstalls
    // and returns false.
    bool Verify(std::string* error);

private:
    bool InstallLocked(std::string* error);
    bool RemoveFamily(bool ipv6, std::string* error);
    std::vector<std::string> Snapshot(bool ipv6);

    RuleQueues queues_;
    std::mutex mutex_;
    NfePortRules ports_;
    RedirectMarks marks_;  // the targets whose rules are installed
    std::array<std::vector<std::string>, 2> expected_;  // per family, as iptables-save prints them
};

}  // namespace hbt
