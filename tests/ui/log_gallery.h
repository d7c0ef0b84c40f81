#pragma once
// The log window's scenes of the gallery: the window with lines of every
// level and both kinds of name links, the statistics box, and the host and
// application prompts.
#include <optional>
#include <string>

namespace hbt {

// Shows the scene and runs until the gallery is ended; nullopt for a name that is not one of these scenes.
std::optional<int> ShowLogScene(const std::string& what);

}  // namespace hbt
