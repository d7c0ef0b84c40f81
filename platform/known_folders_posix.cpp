#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>

#include "platform/known_folders.h"

namespace hbt {

namespace {

std::string EnvOrEmpty(const char* name) {
    const char* value = std::getenv(name);
    return value ? value : "";
}

std::string HomeFolder() {
    std::string home = EnvOrEmpty("HOME");
    if (!home.empty()) return home;
    if (const passwd* pw = getpwuid(getuid()); pw && pw->pw_dir) return pw->pw_dir;
    return "/tmp";
}

// Reads XDG_DOCUMENTS_DIR="$HOME/..." from user-dirs.dirs; empty if absent.
std::string DocumentsFromUserDirs(const std::string& home) {
    std::ifstream file(ConfigFolder() + "/user-dirs.dirs");
    std::string line;
    const std::string key = "XDG_DOCUMENTS_DIR=";
    while (std::getline(file, line)) {
        if (line.rfind(key, 0) != 0) continue;
        std::string value = line.substr(key.size());
        if (value.size() >= 2 && value.front() == '"' && value.back() == '"') value = value.substr(1, value.size() - 2);
        if (value.rfind("$HOME", 0) == 0) value = home + value.substr(5);
        // A documents folder equal to the home folder means "not set" in the XDG convention.
        if (!value.empty() && value.front() == '/' && value != home && value != home + "/") return value;
        return "";
    }
    return "";
}

}  // namespace

std::string ConfigFolder() {
    std::string config = EnvOrEmpty("XDG_CONFIG_HOME");
    if (!config.empty() && config.front() == '/') return config;
    return HomeFolder() + "/.config";
}

std::string DocumentsFolder() {
    std::string home = HomeFolder();
    std::string documents = EnvOrEmpty("XDG_DOCUMENTS_DIR");
    if (documents.empty() || documents.front() != '/') documents = DocumentsFromUserDirs(home);
    if (documents.empty()) documents = home + "/Documents";
    return documents;
}

bool CreateFolder(const std::string& path) {
    return mkdir(path.c_str(), 0755) == 0 || errno == EEXIST;
}

bool CreateFolders(const std::string& path) {
    for (std::size_t pos = path.find('/', 1); pos != std::string::npos; pos = path.find('/', pos + 1)) {
        CreateFolder(path.substr(0, pos));
    }
    return CreateFolder(path);
}

}  // namespace hbt
