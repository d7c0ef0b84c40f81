#pragma once
// A command group of hbtctl ("prefs", "status", "check-https", "tls-judge", "hsts"). Each
// group lives in its own file and is listed in main.cpp's table.
#include <string>
#include <vector>

namespace hbt::ctl {

// Exit statuses shared by every command.
inline constexpr int kExitOk = 0;
inline constexpr int kExitRefused = 1;  // the request was understood and refused
inline constexpr int kExitUsage = 2;

struct Command {
    const char* name;
    const char* usage;  // one line per sub-command, without the program name
    // Arguments after the group name.
    int (*run)(const std::vector<std::string>& args);
};

extern const Command kPrefsCommand;
extern const Command kTlsJudgeCommand;
extern const Command kCheckHttpsCommand;
extern const Command kStatusCommand;
extern const Command kHstsCommand;

}  // namespace hbt::ctl
