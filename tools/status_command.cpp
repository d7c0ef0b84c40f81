// hbtctl status: whether the engine runs and serves a program, the stored
// mode and main settings, the HTTPS result cache and the log folder.
#include <algorithm>
#include <cstdio>
#include <ctime>
#include <string>
#include <vector>

#include "hsts/hsts_store.h"
#include "https_check/https_cache_file.h"
#include "platform/engine_socket_device.h"
#include "platform/file_settings_store.h"
#include "platform/known_folders.h"
#include "rules/preferences_storage.h"
#include "text/text_conversion.h"
#include "tls_inspect/tls_version_names.h"
#include "tools/command.h"

namespace hbt::ctl {
namespace {

// Exit statuses of `status`.
constexpr int kEngineServesAProgram = 0;
constexpr int kEngineWithoutProgram = 1;
constexpr int kEngineNotRunning = 2;

constexpr uint32_t kWin32AccessDenied = 5;

// Opens the engine's device as the program does and closes it at once: the
// busy answer means that a program holds it.
int ReportEngine() {
    const std::string path = EngineDevicePath();
    uint32_t error = 0;
    const bool opened = SocketEngineDevice::Open(path, error) != nullptr;
    if (opened) {
        std::printf("Engine: running at %s, no program holds it\n", path.c_str());
        return kEngineWithoutProgram;
    }
    if (error == kWin32AccessDenied) {
        std::printf("Engine: running at %s, held by a program\n", path.c_str());
        return kEngineServesAProgram;
    }
    std::printf("Engine: not running (nothing serves %s)\n", path.c_str());
    return kEngineNotRunning;
}

const char* OnOff(bool on) { return on ? "on" : "off"; }

const char* LevelName(int32_t level) {
    static const char* const kNames[] = {"None", "Errors Only", "Normal", "Verbose"};
    return level >= 0 && level <= 3 ? kNames[level] : "?";
}

const char* CipherModeName(int32_t mode) {
    switch (mode) {
        case kCipherAllowAll: return "Allow All";
        case kCipherSafeOnly: return "Allow Safe Only";
        case kCipherSafeOnlyFf: return "Allow Safe Only with FF";
        default: return "Custom";
    }
}

// A list text on one line: its lines joined by "; ", or "(none)".
std::string ListText(const std::wstring& text) {
    std::string joined;
    std::size_t start = 0;
    const std::string narrow = WideToUtf8(text);
    while (start <= narrow.size()) {
        std::size_t end = narrow.find('\n', start);
        if (end == std::string::npos) end = narrow.size();
        std::string line = narrow.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (!line.empty()) joined += (joined.empty() ? "" : "; ") + line;
        start = end + 1;
    }
    return joined.empty() ? "(none)" : joined;
}

std::string VersionsText(std::vector<uint16_t> versions) {
    // The early TLS 1.3 code always follows TLS 1.3; it is not a choice of its own.
    std::erase(versions, kVersionTls13Early);
    std::sort(versions.begin(), versions.end());
    std::string text;
    for (uint16_t code : versions) text += (text.empty() ? "" : ", ") + TlsVersionName(code);
    return text.empty() ? "(none)" : text;
}

void ReportSettings() {
    const FileSettingsStore store(DefaultSettingsPath());
    Preferences p;
    LoadPreferences(store, p);
    std::printf("Settings file: %s\n", store.Path().c_str());
    std::printf("Mode: %s\n", p.allowInsecureIfNoHttps ? "Best-Effort Mode" : "Strict Mode");
    std::printf("Redirect to HTTPS automatically: %s\n", OnOff(p.autoRedirect));
    std::printf("Check HTTPS availability: %s\n", OnOff(p.checkBeforeRedirect));
    std::printf("HTTP ports: %s\n", ListText(p.httpPortsText).c_str());
    std::printf("Excluded applications: %s\n", ListText(p.excludeApplicationsText).c_str());
    std::printf("Excluded hosts: %s\n", ListText(p.excludeHostsText).c_str());
    std::printf("Bypass certificate status (OCSP) requests: %s\n", OnOff(p.excludeCertReq));
    std::printf("Keep sites' HTTPS promises (HSTS): %s\n", OnOff(p.honorHsts));
    std::printf("Allowed protocol versions: %s\n", VersionsText(p.allowedSslVersions).c_str());
    std::printf("Cipher suites: %s\n", CipherModeName(p.checkEncMethod));
    std::printf("Log levels: %s on screen, %s in the file\n", LevelName(p.logLevel), LevelName(p.logFileLevel));
    const std::string logFolder = p.logPath.empty() ? DocumentsFolder() + "/Harbinet" : WideToUtf8(p.logPath);
    std::printf("Log folder: %s\n", logFolder.c_str());

    const std::string cache = DefaultHttpsCachePath();
    HttpsCacheAnswers answers;
    LoadHttpsCacheFile(cache, answers);
    std::printf("HTTPS results cached: %zu in %s\n", answers.size(), cache.c_str());
    const HstsFiles files = HstsFilesBeside(cache);
    HstsStore promises(files);
    std::printf("HTTPS promises kept: %zu learned in %s, %zu preloaded in %s\n",
                promises.Learned(static_cast<int64_t>(std::time(nullptr))).size(), files.learned.c_str(),
                promises.Preloaded()->Size(), files.preloaded.c_str());
}

int RunStatus(const std::vector<std::string>& args) {
    if (!args.empty()) {
        std::fprintf(stderr, "usage:\n%s", kStatusCommand.usage);
        return kExitUsage;
    }
    const int status = ReportEngine();
    ReportSettings();
    return status;
}

}  // namespace

const Command kStatusCommand = {
    "status",
    "  hbtctl status                  the engine (exit 0: it serves a program, 1: it runs without one,\n"
    "                                 2: it is not running), the stored mode and settings, the HTTPS\n"
    "                                 cache, the HTTPS promises kept and the log folder\n",
    RunStatus,
};

}  // namespace hbt::ctl
