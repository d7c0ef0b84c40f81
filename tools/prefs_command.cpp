// hbtctl prefs show | prefs set KEY VALUE
#include <cstdio>
#include <string>
#include <variant>
#include <vector>

#include "platform/file_settings_store.h"
#include "text/text_conversion.h"
#include "rules/preferences_storage.h"
#include "tools/command.h"
#include "tools/prefs_editor.h"
#include "tools/running_program.h"

namespace hbt::ctl {
namespace {

// C escapes, so that every value stays on its one line.
std::string Escape(const std::wstring& value) {
    std::string out;
    for (char c : WideToUtf8(value)) {
        switch (c) {
            case '\\': out += "\\\\"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            default:
                if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) {
                    char octal[8];
                    std::snprintf(octal, sizeof(octal), "\\%03o", static_cast<unsigned char>(c));
                    out += octal;
                } else {
                    out += c;
                }
        }
    }
    return out;
}

int Show() {
    FileSettingsStore store(DefaultSettingsPath());
    Preferences preferences;
    LoadPreferences(store, preferences);
    for (const auto& v : StoredPreferenceValues(preferences)) {
        const std::string text = std::holds_alternative<int32_t>(v.value) ? std::to_string(std::get<int32_t>(v.value))
                                                                          : Escape(std::get<std::wstring>(v.value));
        std::printf("%s/%s=%s\n", v.section.c_str(), v.name.c_str(), text.c_str());
    }
    return kExitOk;
}

int Set(const std::string& key, const std::string& value) {
    FileSettingsStore store(DefaultSettingsPath());
    Preferences loaded;
    LoadPreferences(store, loaded);
    Preferences preferences = loaded;
    std::wstring message;
    switch (SetPreference(preferences, key, Utf8ToWide(value), message)) {
        case EditResult::kUnknownKey:
            std::fprintf(stderr, "hbtctl: unknown preference \"%s\"; known keys:\n  %s\n", key.c_str(),
                         EditableKeysText());
            return kExitUsage;
        case EditResult::kRefused:
            std::fprintf(stderr, "%s\n", WideToUtf8(message).c_str());
            return kExitRefused;
        case EditResult::kChanged:
            break;
    }
    // Only the changed values: the running program may have stored others since this read the file.
    if (!SaveChangedPreferences(store, loaded, preferences)) {
        std::fprintf(stderr, "hbtctl: could not save %s\n", store.Path().c_str());
        return kExitRefused;
    }
    // Stored without a word, the user would believe weak TLS is now cut.
    if (IsTlsPolicyKey(key) && preferences.allowInsecureIfNoHttps) {
        std::fprintf(stderr,
                     "hbtctl: note: the TLS policy applies in Strict Mode only; Best-Effort Mode is stored "
                     "(allowInsecureIfNoHttps=1), so %s takes effect once Strict Mode is on\n",
                     key.c_str());
    }
    TellRunningProgram(store.Path());
    return kExitOk;
}

int RunPrefs(const std::vector<std::string>& args) {
    if (args.size() == 1 && args[0] == "show") return Show();
    if (args.size() == 3 && args[0] == "set") return Set(args[1], args[2]);
    std::fprintf(stderr, "usage:\n%s", kPrefsCommand.usage);
    return kExitUsage;
}

}  // namespace

const Command kPrefsCommand = {
    "prefs",
    "  hbtctl prefs show              print every stored preference as Section/Key=value\n"
    "  hbtctl prefs set KEY VALUE     change one preference with the interface's checks, save it, and\n"
    "                                 have a running Harbinet program take the change up\n",
    RunPrefs,
};

}  // namespace hbt::ctl
