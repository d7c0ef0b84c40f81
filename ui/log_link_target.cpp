#include "ui/log_link_target.h"

#include <string_view>

namespace hbt {

std::string LogLinkHref(const LogLink& link) {
    return link.scheme.empty() ? link.target : link.scheme + "://" + link.target;
}

LogLinkAction LogLinkActionFor(const std::string& target) {
    using Kind = LogLinkAction::Kind;
    for (const auto& [scheme, kind] : {std::pair{std::string_view("hbturl://"), Kind::kHostPrompt},
                                       std::pair{std::string_view("hbtapp://"), Kind::kApplicationPrompt}}) {
        const auto at = target.find(scheme);
        if (at != std::string::npos) return {kind, target.substr(at + scheme.size())};
    }
    for (const char* web : {"http://", "ftp://", "https://"}) {
        if (target.find(web) != std::string::npos) return {Kind::kOpen, target};
    }
    const std::string name = target.substr(0, target.rfind(':'));
    if (name.starts_with("www")) return {Kind::kOpen, "https://" + name};
    if (name.starts_with("ftp")) return {Kind::kOpen, "ftp://" + name};
    return {};
}

}  // namespace hbt
