#pragma once
// The Options dialog and the cipher suite dialogs for the gallery, each
// filled as a user would have left it.
#include <optional>
#include <string>

namespace hbt::gallery {

// Shows the scene named `what` (options, cipher-suites, add-cipher) until it
// is closed; nullopt when `what` names none of them.
std::optional<int> ShowOptionsScene(const std::string& what);

}  // namespace hbt::gallery
