#pragma once
// The tests run some of our programs as an unprivileged user. The build folder
// may sit in a home folder only its owner may enter, so such a user is given a
// copy in a folder of the test's own instead (the user's folders stay as they are).
#include <string>

namespace hbt::e2e {

// Copies `program` into `folder` (created when missing, both readable and
// executable by everyone) and returns the copy's path; empty on failure.
std::string CopyProgramForAnyUser(const std::string& program, const std::string& folder);

}  // namespace hbt::e2e
