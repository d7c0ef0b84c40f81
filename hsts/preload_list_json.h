#pragma once
// Reads a browser preload list in the JSON layout of Chromium's
// transport_security_state_static.json:
//   // comment lines
//   { "entries": [ { "name": "example.org", "include_subdomains": true, "mode": "force-https" }, ... ] }
// Entries of another mode (or none, such as pins only) are skipped, and so are
// names that cannot hold a promise; other members are ignored.
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "hsts/preloaded_hosts.h"

namespace hbt {

struct PreloadListImport {
    std::vector<PreloadedHost> hosts;  // names as keys
    std::size_t otherModes = 0;        // entries skipped for their mode
    std::size_t invalidNames = 0;      // force-https entries skipped for their name
};

// nullopt, with the line and what was expected in `error`, when the text is
// not such a list.
std::optional<PreloadListImport> ReadChromiumPreloadList(std::string_view text, std::string& error);

}  // namespace hbt
