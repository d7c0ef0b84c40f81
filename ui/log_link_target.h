#pragma once
// What a link of the log window carries and what a click on it asks for.
#include <string>

#include "log/log_record.h"

namespace hbt {

struct LogLinkAction {
    enum class Kind { kNothing, kHostPrompt, kApplicationPrompt, kOpen };
    Kind kind = Kind::kNothing;
    // The host, the application's file name, or the address to open.
    std::string value;
};

// The link's target as the view keeps it: scheme + "://" + target, or the
// bare target of a link without a scheme.
std::string LogLinkHref(const LogLink& link);

// "hbturl://" names a host and "hbtapp://" an application; http, https and
// ftp addresses open as they are; otherwise, cut before its last colon (the
// port), a "www" name opens as https and an "ftp" name as ftp.
LogLinkAction LogLinkActionFor(const std::string& target);

}  // namespace hbt
