#include "HbtEngineDrv/daemon/engined_options.h"

#include <pwd.h>

#include <algorithm>
#include <charconv>

namespace hbt {

namespace {

std::optional<uid_t> ParseUid(const std::string& text) {
    unsigned long value = 0;
    const char* end = text.data() + text.size();
    auto [ptr, ec] = std::from_chars(text.data(), end, value);
    if (text.empty() || ec != std::errc() || ptr != end || value > 0xFFFFFFFEul) return std::nullopt;
    return static_cast<uid_t>(value);
}

// A uid, or the name of a user (the package's system user has no fixed uid).
std::optional<uid_t> ParseUser(const std::string& text) {
    if (!text.empty() && text.find_first_not_of("0123456789") == std::string::npos) return ParseUid(text);
    passwd entry{};
    passwd* found = nullptr;
    std::vector<char> buffer(16384);
    if (text.empty() || ::getpwnam_r(text.c_str(), &entry, buffer.data(), buffer.size(), &found) != 0 || !found) {
        return std::nullopt;
    }
    return found->pw_uid;
}

void AddUnique(std::vector<uid_t>& uids, uid_t uid) {
    if (std::find(uids.begin(), uids.end(), uid) == uids.end()) uids.push_back(uid);
}

}  // namespace

std::optional<EnginedOptions> ParseEnginedOptions(const std::vector<std::string>& args, const char* sudoUid,
                                                  uid_t ownUid, std::string& error) {
    EnginedOptions options;
    bool uidsGiven = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        const bool hasValue = i + 1 < args.size();
        if (arg == "--dry-run") {
            options.dryRun = true;
        } else if (arg == "--help" || arg == "-h") {
            options.help = true;
        } else if (arg == "--version") {
            options.version = true;
        } else if (arg == "--device" && hasValue) {
            options.devicePath = args[++i];
        } else if (arg == "--allow-uid" && hasValue) {
            std::optional<uid_t> uid = ParseUser(args[++i]);
            if (!uid) {
                error = "Invalid uid or unknown user for --allow-uid: " + args[i];
                return std::nullopt;
            }
            AddUnique(options.allowedUids, *uid);
            uidsGiven = true;
        } else if (arg == "--device" || arg == "--allow-uid") {
            error = "Missing value for " + arg;
            return std::nullopt;
        } else {
            error = "Unknown argument: " + arg;
            return std::nullopt;
        }
    }
    if (!uidsGiven) {
        AddUnique(options.allowedUids, 0);
        if (sudoUid != nullptr) {
            if (std::optional<uid_t> uid = ParseUid(sudoUid)) AddUnique(options.allowedUids, *uid);
        }
        AddUnique(options.allowedUids, ownUid);
    }
    return options;
}

std::string EnginedUsage() {
    return "Usage: hbt-engined [--dry-run] [--device PATH] [--allow-uid USER]...\n"
           "  --dry-run         serve the engine device with an engine that intercepts nothing\n"
           "  --device PATH     socket path (default /run/harbinet/HbtEngineDrv)\n"
           "  --allow-uid USER  a user (uid or name) that may open the device (repeatable; default:\n"
           "                    root, the user who ran sudo, and the engine's own user)\n"
           "  --help            this text\n"
           "  --version         the version\n";
}

}  // namespace hbt
