#pragma once
// The answers the proxy writes itself instead of passing a request on: the
// 307 redirect to https://, the block page and the loop page. All three carry
// the same document; the status line and the middle cell differ.
#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

#include "https_check/https_check_result.h"
#include "http/connection_description.h"

namespace hbt {

struct ResponseInputs {
    bool loop = false;
    bool redirect = false;
    bool available = false;
    std::string path;
    std::string host;
    std::string redirectHost;  // the host, or "www." + the host after a www retry
    std::vector<CheckMessage> messages;
    // Set when a kept HTTPS promise made the redirect without a check: the
    // log line's closing note; the page then lists the messages under "More info".
    std::string decidedBy;
    bool autoRedirect = false;
    uint16_t controlPort = 0;
};

// Status line, headers and page, as sent on the client connection; `now` is
// the time the footer shows. The loop page names the connection's destination and application.
std::string BuildResponseText(const ResponseInputs& inputs, const ConnectionDescription& connection,
                              std::time_t now);

// The "Add to the exclusion list" paragraph with one link per host pattern.
std::string ExclusionLinks(const std::string& host, const std::string& path, uint16_t controlPort);

}  // namespace hbt
