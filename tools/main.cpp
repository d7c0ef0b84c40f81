// hbtctl: the command-line companion for headless machines and diagnostics.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "tools/command.h"
#include "update/version_line.h"

namespace {

const hbt::ctl::Command* const kCommands[] = {
    &hbt::ctl::kPrefsCommand,
    &hbt::ctl::kStatusCommand,
    &hbt::ctl::kTlsJudgeCommand,
    &hbt::ctl::kCheckHttpsCommand,
    &hbt::ctl::kHstsCommand,
};

void PrintUsage(std::FILE* out) {
    std::fprintf(out, "usage:\n");
    for (const auto* command : kCommands) std::fprintf(out, "%s", command->usage);
    std::fprintf(out,
                 "  hbtctl --help                  this text\n"
                 "  hbtctl --version               the version\n");
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        PrintUsage(stderr);
        return hbt::ctl::kExitUsage;
    }
    if (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "help") == 0) {
        PrintUsage(stdout);
        return hbt::ctl::kExitOk;
    }
    if (std::strcmp(argv[1], "--version") == 0) {
        std::printf("%s\n", hbt::VersionLine("hbtctl").c_str());
        return hbt::ctl::kExitOk;
    }
    for (const auto* command : kCommands) {
        if (std::strcmp(argv[1], command->name) == 0) return command->run(std::vector<std::string>(argv + 2, argv + argc));
    }
    std::fprintf(stderr, "hbtctl: unknown command \"%s\"\n", argv[1]);
    PrintUsage(stderr);
    return hbt::ctl::kExitUsage;
}
