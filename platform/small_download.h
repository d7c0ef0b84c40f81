#pragma once
// DownloadSmallFile: one fresh GET of a small file (the update server's
// answer), past every cache, with the size limit and the error texts that the
// update check reports.
#include <chrono>
#include <cstddef>
#include <functional>
#include <string>

namespace hbt {

// Bodies longer than this are refused before they are read.
inline constexpr std::size_t kSmallFileLimit = 10000;

struct SmallDownloadOptions {
    // A server that takes no connection, or holds one without finishing its
    // answer, cannot keep the caller for longer than these.
    std::chrono::milliseconds connectLimit{15000};
    std::chrono::milliseconds totalLimit{60000};
    // Asked now and then while the transfer runs; true ends it at once.
    std::function<bool()> cancelled;
};

// GETs an http:// or https:// address (https verified against the system
// trust store, SSL_CERT_FILE and SSL_CERT_DIR applying). The answer must be
// status 200 with a Content-Length of 1 to kSmallFileLimit bytes, all of
// which must arrive. True with the body; false with the reason in `errorText`.
bool DownloadSmallFile(const std::string& address, std::string& body, std::string& errorText,
                       const SmallDownloadOptions& options = {});

}  // namespace hbt
