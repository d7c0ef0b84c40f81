#include "tests/e2e/program_copy.h"

#include <filesystem>
#include <system_error>

namespace hbt::e2e {

namespace fs = std::filesystem;

std::string CopyProgramForAnyUser(const std::string& program, const std::string& folder) {
    constexpr fs::perms kEveryoneMayRun = fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                          fs::perms::others_read | fs::perms::others_exec;
    std::error_code error;
    fs::create_directories(folder, error);
    fs::permissions(folder, kEveryoneMayRun, error);
    if (error) return {};
    const fs::path copy = fs::path(folder) / fs::path(program).filename();
    fs::copy_file(program, copy, fs::copy_options::overwrite_existing, error);
    fs::permissions(copy, kEveryoneMayRun, error);
    return error ? std::string() : copy.string();
}

}  // namespace hbt::e2e
