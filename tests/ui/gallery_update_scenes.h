#pragma once
// The gallery's scenes of the update check's verdicts.
#include <string>

namespace hbt::gallery {

// "update-notice" or "out-of-date".
bool IsUpdateScene(const std::string& what);
// Shows the scene until it is closed; the exit status.
int ShowUpdateScene(const std::string& what);

}  // namespace hbt::gallery
