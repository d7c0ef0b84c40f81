#include "HbtEngineDrv/netfilter/netfilter_rules.h"

#include <arpa/inet.h>

#include <cstdio>
#include <sstream>

#include "HbtEngineDrv/netfilter/command_runner.h"
#include "HbtEngineDrv/netfilter/packet_marks.h"

namespace hbt {
namespace {

const char* const kChainOut = "HARBINET_OUT";
const char* const kChainIn = "HARBINET_IN";
const char* const kChainNat = "HARBINET_NAT";
const char* const kChainConnect = "HARBINET_CONNECT";
// iptables' multiport takes at most 15 ports, a range counting as two.
constexpr unsigned kMultiportSlots = 15;

std::string Hex(uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08x", value);
    return text;
}

std::string Restore(bool ipv6) { return ipv6 ? "ip6tables-restore" : "iptables-restore"; }
std::string Save(bool ipv6) { return ipv6 ? "ip6tables-save" : "iptables-save"; }

bool RunRestore(bool ipv6, const std::string& text, std::string* error) {
    const CommandResult r = RunCommand({Restore(ipv6), "--noflush"}, text);
    if (r.exitCode == 0) return true;
    *error = Restore(ipv6) + " failed: " + (r.errors.empty() ? "exit " + std::to_string(r.exitCode) : r.errors);
    while (!error->empty() && error->back() == '\n') error->pop_back();
    return false;
}

bool IsOurs(const std::string& line) { return line.find("HARBINET_") != std::string::npos; }

// The nat chain's own rule, there with or without redirect targets.
std::string InspectConnmarkRule() {
    return std::string("-A ") + kChainNat + " -m mark --mark " + Hex(kMarkInspect) + " -j CONNMARK --set-mark " +
           Hex(kConnMarkInspect) + "\n";
}

void AppendError(std::string* error, const std::string& more) { *error += (error->empty() ? "" : "; ") + more; }

}  // namespace

std::string ConnectRuleLines(const NfePortRules& ports, uint16_t connectQueue) {
    const std::string target = " -j NFQUEUE --queue-num " + std::to_string(connectQueue) + " --queue-bypass\n";
    const std::string head = std::string("-A ") + kChainConnect;
    if (ports.allPorts) return head + target;
    std::string lines;
    std::string list;
    unsigned slots = 0;
    auto flush = [&] {
        if (!list.empty()) lines += head + " -p tcp -m multiport --dports " + list + target;
        list.clear();
        slots = 0;
    };
    for (const NfePortRange& r : ports.ranges) {
        const unsigned need = r.first == r.last ? 1 : 2;
        if (slots + need > kMultiportSlots) flush();
        list += (list.empty() ? "" : ",") + std::to_string(r.first);
        if (need == 2) list += ":" + std::to_string(r.last);
        slots += need;
    }
    flush();
    return lines;
}

std::string ConnectRulesText(const NfePortRules& ports, uint16_t connectQueue) {
    return std::string("*mangle\n-F ") + kChainConnect + "\n" + ConnectRuleLines(ports, connectQueue) + "COMMIT\n";
}

std::string InstallRulesText(bool ipv6, const RuleQueues& queues, const NfePortRules& ports) {
    const std::string loopback = ipv6 ? "::1/128" : "127.0.0.0/8";
    const std::string stream = " -j NFQUEUE --queue-num " + std::to_string(queues.streamQueue) + " --queue-bypass\n";
    std::ostringstream t;
    t << "*mangle\n"
      << ":" << kChainOut << " - [0:0]\n"
      << ":" << kChainIn << " - [0:0]\n"
      << ":" << kChainConnect << " - [0:0]\n"
      << "-I OUTPUT 1 -j " << kChainOut << "\n"
      << "-I INPUT 1 -j " << kChainIn << "\n"
      // The engine's own packets (its sockets, and the segments it sends to an
      // application on an inspected connection) pass both ways untouched.
      << "-A " << kChainOut << " -m mark --mark " << Hex(kMarkOwnSocket) << " -j RETURN\n"
      << "-A " << kChainOut << " -m connmark --mark " << Hex(kConnMarkBlocked) << " -j DROP\n"
      << "-A " << kChainOut << " -p tcp -m connmark --mark " << Hex(kConnMarkInspect) << stream
      << "-A " << kChainOut << " -o lo -j RETURN\n"
      << "-A " << kChainOut << " -d " << loopback << " -j RETURN\n"
      << "-A " << kChainOut << " -p tcp --syn -m conntrack --ctstate NEW -j " << kChainConnect << "\n"
      << ConnectRuleLines(ports, queues.connectQueue)
      << "-A " << kChainIn << " -m mark --mark " << Hex(kMarkOwnSocket) << " -j RETURN\n"
      << "-A " << kChainIn << " -m connmark --mark " << Hex(kConnMarkBlocked) << " -j DROP\n"
      << "-A " << kChainIn << " -p tcp -m connmark --mark " << Hex(kConnMarkInspect) << stream
      << "COMMIT\n"
      << "*nat\n"
      << ":" << kChainNat << " - [0:0]\n"
      << "-I OUTPUT 1 -j " << kChainNat << "\n"
      << InspectConnmarkRule() << "COMMIT\n";
    return t.str();
}

std::string RedirectRuleText(const RedirectTarget& target, uint32_t mark) {
    char address[INET6_ADDRSTRLEN] = {};
    inet_ntop(target.ipv6 ? AF_INET6 : AF_INET, target.address.data(), address, sizeof address);
    const std::string destination = target.ipv6 ? "[" + std::string(address) + "]" : std::string(address);
    return std::string("*nat\n-A ") + kChainNat + " -p tcp -m mark --mark " + Hex(mark) +
           " -j DNAT --to-destination " + destination + ":" + std::to_string(target.port) + "\nCOMMIT\n";
}

std::string ReleaseRedirectsText() {
    return std::string("*nat\n-F ") + kChainNat + "\n" + InspectConnmarkRule() + "COMMIT\n";
}

std::vector<std::string> OurRuleLines(const std::string& saved) {
    std::vector<std::string> lines;
    std::istringstream in(saved);
    std::string line;
    std::string table;
    while (std::getline(in, line)) {
        if (!line.empty() && line[0] == '*') table = line;
        if (!IsOurs(line)) continue;
        if (line[0] == ':') line = line.substr(0, line.find(' '));  // drop the counters
        lines.push_back(table + " " + line);
    }
    return lines;
}

std::string RemovalText(const std::string& saved) {
    // Per table: first the jumps into our chains, then the chains themselves.
    std::ostringstream text;
    std::istringstream in(saved);
    // Every chain is emptied before any is deleted, as one of ours jumps to another.
    std::string line, table, jumps, flushes, deletes;
    auto flush = [&] {
        if (!table.empty() && (!jumps.empty() || !flushes.empty())) {
            text << table << "\n" << jumps << flushes << deletes << "COMMIT\n";
        }
        jumps.clear();
        flushes.clear();
        deletes.clear();
    };
    while (std::getline(in, line)) {
        if (!line.empty() && line[0] == '*') {
            flush();
            table = line;
            continue;
        }
        if (!IsOurs(line)) continue;
        if (line[0] == ':') {
            const std::string chain = line.substr(1, line.find(' ') - 1);
            flushes += "-F " + chain + "\n";
            deletes += "-X " + chain + "\n";
        } else if (line.rfind("-A ", 0) == 0 && line.compare(3, 9, "HARBINET_") != 0) {
            jumps += "-D " + line.substr(3) + "\n";
        }
    }
    flush();
    return text.str();
}

std::vector<std::string> NetfilterRules::Snapshot(bool ipv6) {
    std::vector<std::string> lines;
    for (const char* table : {"mangle", "nat"}) {
        const CommandResult r = RunCommand({Save(ipv6), "-t", table});
        for (std::string& l : OurRuleLines(r.output)) lines.push_back(std::move(l));
    }
    return lines;
}

bool NetfilterRules::RemoveFamily(bool ipv6, std::string* error) {
    std::string saved;
    for (const char* table : {"mangle", "nat"}) saved += RunCommand({Save(ipv6), "-t", table}).output;
    const std::string text = RemovalText(saved);
    return text.empty() || RunRestore(ipv6, text, error);
}

bool NetfilterRules::InstallLocked(std::string* error) {
    for (bool ipv6 : {false, true}) {
        std::string ignored;
        RemoveFamily(ipv6, &ignored);
        std::string text = InstallRulesText(ipv6, queues_, ports_);
        for (const auto& [mark, target] : marks_.InUse()) {
            if (target.ipv6 == ipv6) text += RedirectRuleText(target, mark);
        }
        if (!RunRestore(ipv6, text, error)) return false;
        expected_[ipv6] = Snapshot(ipv6);
    }
    return true;
}

bool NetfilterRules::Install(std::string* error) {
    std::lock_guard lock(mutex_);
    return InstallLocked(error);
}

bool NetfilterRules::Remove(std::string* error) {
    std::lock_guard lock(mutex_);
    bool ok = true;
    for (bool ipv6 : {false, true}) {
        std::string familyError;
        if (!RemoveFamily(ipv6, &familyError)) {
            ok = false;
            AppendError(error, familyError);
        }
        expected_[ipv6].clear();
    }
    marks_.ReleaseAll();
    return ok;
}

uint32_t NetfilterRules::RedirectMark(const RedirectTarget& target, std::string* error) {
    std::lock_guard lock(mutex_);
    if (const uint32_t mark = marks_.MarkOf(target)) return mark;
    const uint32_t mark = marks_.NextFree();
    if (mark == 0) {
        *error = "too many distinct redirect targets";
        return 0;
    }
    if (!RunRestore(target.ipv6, RedirectRuleText(target, mark), error)) return 0;
    marks_.Use(mark, target);
    expected_[target.ipv6] = Snapshot(target.ipv6);
    return mark;
}

bool NetfilterRules::ReleaseRedirects(std::string* error) {
    std::lock_guard lock(mutex_);
    const bool families[2] = {marks_.AnyIn(false), marks_.AnyIn(true)};
    marks_.ReleaseAll();
    for (bool ipv6 : {false, true}) {
        if (!families[ipv6]) continue;
        if (!RunRestore(ipv6, ReleaseRedirectsText(), error)) {
            // The chain was gone or changed: the full install puts it right.
            std::string installError;
            if (!InstallLocked(&installError)) AppendError(error, installError);
            return false;
        }
        expected_[ipv6] = Snapshot(ipv6);
    }
    return true;
}

bool NetfilterRules::SetConnectPorts(const NfePortRules& ports, std::string* error) {
    std::lock_guard lock(mutex_);
    if (ports == ports_) return true;
    ports_ = ports;
    if (expected_[0].empty() && expected_[1].empty()) return true;  // not installed: Install takes them
    for (bool ipv6 : {false, true}) {
        std::string ignored;
        if (!RunRestore(ipv6, ConnectRulesText(ports_, queues_.connectQueue), &ignored)) {
            // The chain was gone: the full install puts it right, with these ports.
            return InstallLocked(error);
        }
        expected_[ipv6] = Snapshot(ipv6);
    }
    return true;
}

bool NetfilterRules::Verify(std::string* error) {
    std::lock_guard lock(mutex_);
    if (Snapshot(false) == expected_[0] && Snapshot(true) == expected_[1]) return true;
    InstallLocked(error);
    return false;
}

}  // namespace hbt
