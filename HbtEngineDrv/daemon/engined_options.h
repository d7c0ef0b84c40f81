#pragma once
// Command line of hbt-engined.
#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

namespace hbt {

inline constexpr const char* kDefaultEngineDevicePath = "/run/harbinet/HbtEngineDrv";

struct EnginedOptions {
    bool dryRun = false;
    bool help = false;
    bool version = false;
    std::string devicePath = kDefaultEngineDevicePath;
    std::vector<uid_t> allowedUids;
};

// `sudoUid` is the SUDO_UID of the environment (or null) and `ownUid` the
// daemon's own uid; without --allow-uid they, and root, may use the device.
std::optional<EnginedOptions> ParseEnginedOptions(const std::vector<std::string>& args, const char* sudoUid,
                                                  uid_t ownUid, std::string& error);

std::string EnginedUsage();

}  // namespace hbt
