// hbtctl check-https HOST [--address IP | --via-proxy IP:PORT] [--strict]:
// the user's answer to "why was this host blocked?". Runs one check without
// the cache and prints every step the block page would list; an HTTPS
// promise the answer makes is kept in the user's promise store.
#include "tools/check_https_command.h"

#include <sys/socket.h>

#include <optional>

#include "https_check/https_checker.h"
#include "platform/file_settings_store.h"
#include "platform/socket_address.h"
#include "rules/preferences_storage.h"
#include "tools/command.h"
#include "tools/hsts_command.h"

namespace hbt::ctl {
namespace {

struct CheckArgs {
    std::string host;
    SocketAddressSlot destination = SocketAddressSlot::Ipv4({0, 0, 0, 0}, 443);
    bool haveAddress = false;
    bool viaProxy = false;
    bool strict = false;
};

// "1.2.3.4:8080" or "[::1]:8080".
std::optional<SocketAddressSlot> ParseAddressAndPort(const std::string& text) {
    const std::size_t colon = text.rfind(':');
    if (colon == std::string::npos || colon + 1 == text.size()) return std::nullopt;
    std::string address = text.substr(0, colon);
    if (address.size() > 2 && address.front() == '[' && address.back() == ']') {
        address = address.substr(1, address.size() - 2);
    }
    unsigned long port = 0;
    for (char c : text.substr(colon + 1)) {
        if (c < '0' || c > '9' || (port = port * 10 + static_cast<unsigned long>(c - '0')) > 65535) return std::nullopt;
    }
    if (port == 0) return std::nullopt;
    return ParseIpAddress(address, static_cast<uint16_t>(port));
}

std::optional<CheckArgs> ParseArgs(const std::vector<std::string>& args) {
    CheckArgs parsed;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        const bool hasValue = i + 1 < args.size();
        if (arg == "--strict") {
            parsed.strict = true;
        } else if (arg == "--address" && hasValue) {
            const auto address = ParseIpAddress(args[++i], 443);
            if (!address) return std::nullopt;
            parsed.destination = *address;
            parsed.haveAddress = true;
        } else if (arg == "--via-proxy" && hasValue) {
            const auto proxy = ParseAddressAndPort(args[++i]);
            if (!proxy) return std::nullopt;
            parsed.destination = *proxy;
            parsed.viaProxy = true;
        } else if (!arg.starts_with("--") && parsed.host.empty()) {
            parsed.host = arg;
        } else {
            return std::nullopt;
        }
    }
    if (parsed.host.empty()) return std::nullopt;
    return parsed;
}

constexpr char kUsage[] =
    "  hbtctl check-https HOST [--address IP | --via-proxy IP:PORT] [--strict]\n"
    "                                 check whether HOST serves usable HTTPS (port 443 of IP, or of HOST\n"
    "                                 looked up by name; through an HTTP proxy with CONNECT, which reaches\n"
    "                                 HOST by name, so never with --address) and show every step:\n"
    "                                 \"+ \" passed, \"- \" failed, \"? \" did not end; --strict checks as\n"
    "                                 Strict Mode does, with the stored TLS policy as the last step;\n"
    "                                 an HTTPS promise in the answer is kept (\"HSTS: \" lines)\n";

}  // namespace

int RunCheckHttps(const std::vector<std::string>& args, uint16_t httpsPort, std::FILE* out) {
    const auto parsed = ParseArgs(args);
    // Told apart from other usage errors: both options look valid on their own.
    const bool addressWithProxy = parsed && parsed->haveAddress && parsed->viaProxy;
    if (addressWithProxy) {
        std::fprintf(stderr,
                     "hbtctl check-https: --address and --via-proxy cannot be combined: a check through a proxy "
                     "reaches HOST by name, so no address can be given\n");
    }
    if (!parsed || addressWithProxy) {
        std::fprintf(stderr, "usage:\n%s", kUsage);
        return kExitUsage;
    }
    HttpsCheckerOptions options;
    options.useCache = false;
    options.httpsPort = httpsPort;
    const auto checker = CHttpsChecker::Create(options);
    const bool resolveByName = !parsed->haveAddress && !parsed->viaProxy;
    // Strict Mode judges the stored TLS policy, as the program would.
    Preferences preferences;
    FileSettingsStore store(DefaultSettingsPath());
    LoadPreferences(store, preferences);
    preferences.allowInsecureIfNoHttps = !parsed->strict;
    HttpsCheckResult result;
    checker->Check(result, parsed->host, parsed->host, parsed->destination, L"", 0, parsed->viaProxy, preferences,
                   resolveByName);
    for (const CheckMessage& message : result.messages) {
        const char* mark = !message.final ? "? " : message.ok ? "+ " : "- ";
        std::fprintf(out, "%s%s\n", mark, message.text.c_str());
    }
    std::fprintf(out, "%s\n", result.available ? "HTTPS is available" : "HTTPS is not available");
    if (result.stsPromise) KeepPromiseOfCheck(parsed->host, *result.stsPromise, out);
    // A worker still waiting on a silent server is ended, not waited for.
    checker->StopChecks();
    return result.available ? kExitOk : kExitRefused;
}

const Command kCheckHttpsCommand = {
    "check-https",
    kUsage,
    [](const std::vector<std::string>& args) { return RunCheckHttps(args, 443, stdout); },
};

}  // namespace hbt::ctl
