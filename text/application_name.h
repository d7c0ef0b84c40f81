#pragma once
// How the program names an application in log lines, pages and prompts.
#include <string>
#include <string_view>

namespace hbt {

// The file name after the last '/' of the application's path, or
// "<empty name>" when the path is empty.
std::wstring ApplicationFileName(std::wstring_view applicationPath);
// The same, as a view into the path (or the constant name).
std::wstring_view ApplicationFileNameView(std::wstring_view applicationPath);

}  // namespace hbt
