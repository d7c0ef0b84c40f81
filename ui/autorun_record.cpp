#include "ui/autorun_record.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <fstream>
#include <sstream>

#include "platform/known_folders.h"
#include "text/text_conversion.h"

namespace hbt {

namespace {

constexpr char kEntryName[] = "harbinet.desktop";
constexpr char kExecKey[] = "Exec=";

std::string EntryText(const std::string& command) {
    return "[Desktop Entry]\n"
           "Type=Application\n"
           "Name=Harbinet\n"
           "Comment=Enforces HTTPS for every program on this computer\n"
           "Exec=" + command + "\n"
           "Icon=harbinet\n"
           "Terminal=false\n"
           "X-GNOME-Autostart-enabled=true\n";
}

}  // namespace

AutorunRecord::AutorunRecord(std::string folder, std::string programPath)
    : folder_(std::move(folder)), expectedCommand_("\"" + programPath + "\" aut") {}

std::string AutorunRecord::DefaultFolder() { return ConfigFolder() + "/autostart"; }

std::string AutorunRecord::EntryPath() const { return folder_ + "/" + kEntryName; }

bool AutorunRecord::Fail(const char* what, int error) {
    lastError_ = Utf8ToWide(std::string(what) + " failed with error " + std::to_string(error));
    return false;
}

AutorunQuery AutorunRecord::Query() {
    AutorunQuery result;
    struct stat folder{};
    if (::stat(folder_.c_str(), &folder) != 0 && errno != ENOENT) {
        Fail("RegCreateKeyEx", errno);
        return result;
    }
    std::ifstream in(EntryPath());
    if (!in) {
        const int error = errno;
        if (error == ENOENT || error == ENOTDIR) {
            result.succeeded = true;
            return result;
        }
        Fail("QueryStringValue", error);
        return result;
    }
    result.succeeded = true;
    result.exists = true;
    // An entry without a command line is there, but not ours: like a value of another type.
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind(kExecKey, 0) == 0) {
            result.matches = line.substr(sizeof(kExecKey) - 1) == expectedCommand_;
            break;
        }
    }
    return result;
}

bool AutorunRecord::TakeUpAtStart(bool& rewriteFailed) {
    const AutorunQuery query = Query();
    const bool exists = query.succeeded && query.exists;
    rewriteFailed = exists && !query.matches && !SetOn();
    return exists;
}

bool AutorunRecord::SetOn() {
    if (!CreateFolders(folder_)) return Fail("RegCreateKeyEx", errno);
    // Written beside and renamed, so a login never sees half an entry.
    const std::string temporary = EntryPath() + ".new";
    {
        std::ofstream out(temporary, std::ios::trunc);
        out << EntryText(expectedCommand_);
        out.flush();
        if (!out) return Fail("SetStringValue", errno);
    }
    if (::rename(temporary.c_str(), EntryPath().c_str()) != 0) {
        const int error = errno;
        ::unlink(temporary.c_str());
        return Fail("SetStringValue", error);
    }
    return true;
}

bool AutorunRecord::SetOff() {
    if (::unlink(EntryPath().c_str()) != 0 && errno != ENOENT) return Fail("DeleteValue", errno);
    return true;
}

}  // namespace hbt
