// hbtctl hsts list | forget HOST | add HOST [--subdomains] [--days N] | import FILE
#include "tools/hsts_command.h"

#include <ctime>
#include <optional>

#include "hsts/hsts_host.h"
#include "hsts/hsts_store.h"
#include "hsts/preload_list_json.h"
#include "https_check/https_cache_file.h"
#include "platform/file_replace.h"
#include "platform/file_settings_store.h"
#include "tools/command.h"
#include "tools/running_program.h"

namespace hbt::ctl {
namespace {

constexpr int64_t kDay = 86400;
constexpr int64_t kDefaultDays = 365;
constexpr int64_t kMaxDays = static_cast<int64_t>(kMaxPromiseSeconds) / kDay;

int64_t Now() { return static_cast<int64_t>(std::time(nullptr)); }

HstsFiles UserFiles() { return HstsFilesBeside(DefaultHttpsCachePath()); }

std::string KeptLine(const std::string& key, int64_t expiry, bool includeSubDomains) {
    return "HSTS: " + key + " until " + PromiseExpiryText(expiry) + (includeSubDomains ? " with subdomains" : "") + "\n";
}

int Usage() {
    std::fprintf(stderr, "usage:\n%s", kHstsCommand.usage);
    return kExitUsage;
}

int NotSaved(const HstsFiles& files) {
    std::fprintf(stderr, "hbtctl hsts: could not write %s\n", files.learned.c_str());
    return kExitRefused;
}

int NotAHost(const std::string& host) {
    std::fprintf(stderr, "hbtctl hsts: \"%s\" cannot hold an HTTPS promise (no host name, or an IP address)\n",
                 host.c_str());
    return kExitRefused;
}

int List() {
    HstsStore store(UserFiles());
    for (const HstsPromise& promise : store.Learned(Now())) {
        std::printf("%s\t%s\t%s\n", promise.host.c_str(), PromiseExpiryText(promise.expiry).c_str(),
                    promise.includeSubDomains ? "subdomains" : "-");
    }
    for (const PreloadedHost& host : store.Preloaded()->Hosts()) {
        std::printf("%s\tpreloaded\t%s\n", host.name.c_str(), host.includeSubDomains ? "subdomains" : "-");
    }
    return kExitOk;
}

int Forget(const std::string& host) {
    const HstsFiles files = UserFiles();
    HstsStore store(files);
    switch (store.Forget(host, Now())) {
        case HstsChange::kDone: break;
        case HstsChange::kNotAHost: return NotAHost(host);
        case HstsChange::kNotSaved: return NotSaved(files);
        case HstsChange::kNothingToDo: {
            const auto key = HstsHostKey(host);
            const bool preloaded = store.Preloaded()->Find(*key).has_value();
            std::fprintf(stderr, "hbtctl hsts: no learned HTTPS promise for %s%s\n", key->c_str(),
                         preloaded ? "; it is preloaded, which only importing a list without it changes" : "");
            return kExitRefused;
        }
    }
    std::printf("HSTS: %s forgotten\n", HstsHostKey(host)->c_str());
    TellRunningProgram(DefaultSettingsPath());
    return kExitOk;
}

std::optional<int64_t> Days(const std::string& text) {
    if (text.empty() || text.size() > 4 || text.find_first_not_of("0123456789") != std::string::npos) return std::nullopt;
    const int64_t days = std::stoll(text);
    if (days < 1 || days > kMaxDays) return std::nullopt;
    return days;
}

int Add(const std::vector<std::string>& args) {
    std::string host;
    bool subdomains = false;
    int64_t days = kDefaultDays;
    for (std::size_t i = 1; i < args.size(); ++i) {
        if (args[i] == "--subdomains") {
            subdomains = true;
        } else if (args[i] == "--days" && i + 1 < args.size()) {
            const auto parsed = Days(args[++i]);
            if (!parsed) {
                std::fprintf(stderr, "hbtctl hsts add: --days takes a number of days from 1 to %lld\n",
                             static_cast<long long>(kMaxDays));
                return kExitUsage;
            }
            days = *parsed;
        } else if (host.empty() && !args[i].starts_with("--")) {
            host = args[i];
        } else {
            return Usage();
        }
    }
    if (host.empty()) return Usage();
    const HstsFiles files = UserFiles();
    HstsStore store(files);
    const int64_t now = Now();
    const int64_t expiry = now + days * kDay;
    switch (store.Keep(host, expiry, subdomains, now)) {
        case HstsChange::kNotAHost: return NotAHost(host);
        case HstsChange::kNotSaved: return NotSaved(files);
        case HstsChange::kDone:
        case HstsChange::kNothingToDo: break;
    }
    std::printf("%s", KeptLine(*HstsHostKey(host), expiry, subdomains).c_str());
    TellRunningProgram(DefaultSettingsPath());
    return kExitOk;
}

int Import(const std::string& path) {
    const std::optional<std::string> text = ReadFileContents(path, false);
    if (!text) {
        std::fprintf(stderr, "hbtctl hsts import: cannot read %s\n", path.c_str());
        return kExitRefused;
    }
    std::string error;
    std::optional<PreloadListImport> list = ReadChromiumPreloadList(*text, error);
    if (!list) {
        std::fprintf(stderr, "hbtctl hsts import: %s: %s\n", path.c_str(), error.c_str());
        return kExitRefused;
    }
    const HstsFiles files = UserFiles();
    HstsStore store(files);
    if (!store.ReplacePreloaded(std::move(list->hosts))) {
        std::fprintf(stderr, "hbtctl hsts import: could not write %s\n", files.preloaded.c_str());
        return kExitRefused;
    }
    const auto preloaded = store.Preloaded();
    std::size_t withSubdomains = 0;
    for (const PreloadedHost& host : preloaded->Hosts()) withSubdomains += host.includeSubDomains ? 1 : 0;
    std::printf("imported %zu preloaded names (%zu with subdomains) into %s\n", preloaded->Size(), withSubdomains,
                files.preloaded.c_str());
    std::printf("skipped %zu entries of other modes and %zu with names that cannot hold a promise\n",
                list->otherModes, list->invalidNames);
    TellRunningProgram(DefaultSettingsPath());
    return kExitOk;
}

int RunHsts(const std::vector<std::string>& args) {
    if (args.size() == 1 && args[0] == "list") return List();
    if (args.size() == 2 && args[0] == "forget") return Forget(args[1]);
    if (args.size() == 2 && args[0] == "import") return Import(args[1]);
    if (!args.empty() && args[0] == "add") return Add(args);
    return Usage();
}

}  // namespace

void KeepPromiseOfCheck(const std::string& host, const StsDirectives& promise, std::FILE* out) {
    const std::optional<std::string> key = HstsHostKey(host);
    if (!key) return;
    HstsStore store(UserFiles());
    const int64_t now = Now();
    if (promise.maxAge == 0) {
        if (store.Forget(*key, now) != HstsChange::kDone) return;
        std::fprintf(out, "HSTS: %s withdrawn\n", key->c_str());
    } else {
        const int64_t expiry = now + static_cast<int64_t>(promise.maxAge);
        if (store.Keep(*key, expiry, promise.includeSubDomains, now) != HstsChange::kDone) return;
        std::fprintf(out, "%s", KeptLine(*key, expiry, promise.includeSubDomains).c_str());
    }
    AskRunningProgram(DefaultSettingsPath());
}

const Command kHstsCommand = {
    "hsts",
    "  hbtctl hsts list               every HTTPS promise kept: host, expiry (UTC) or \"preloaded\",\n"
    "                                 \"subdomains\" or \"-\"\n"
    "  hbtctl hsts forget HOST        drop the promise learned for HOST (exit 1: there was none)\n"
    "  hbtctl hsts add HOST [--subdomains] [--days N]\n"
    "                                 keep a promise for HOST as if the site had made it (365 days\n"
    "                                 unless N is given, at most 730)\n"
    "  hbtctl hsts import FILE        replace the preloaded hosts by the \"force-https\" entries of a\n"
    "                                 list in the JSON layout of Chromium's preload list\n",
    RunHsts,
};

}  // namespace hbt::ctl
