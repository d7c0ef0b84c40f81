// The questions a click on a host or application link of the log asks:
// exclude the name, or stop excluding it.
#include <functional>

#include "core/hbt_core.h"
#include "text/text_conversion.h"

namespace hbt {

namespace {

using ListChange = std::function<bool(Preferences&, std::wstring& message)>;

// Asks about one name and carries a Yes out on the copy taken before the
// question, the preferences the user was asked about.
bool AskAndChange(CHbtCore& core, CoreUserInterface& userInterface, const std::wstring& kind,
                  const std::wstring& name, bool covered, Preferences copy, const ListChange& change) {
    const std::wstring caption = L"Harbinet - " + name;
    const std::wstring question = covered ? kind + name + L" is in the exclusion list of Harbinet.\n\nRemove?"
                                          : kind + name + L" is processed by Harbinet.\n\nAdd to the exclusion list?";
    if (!userInterface.AskYesNo(caption, question)) return true;
    std::wstring message;
    if (!change(copy, message)) {
        userInterface.ShowError(caption, L"Could not change preferences: " + message);
        return false;
    }
    core.ApplyPreferences(copy, CHbtCore::kApplyAndSave);
    userInterface.RefreshTrayAndDialog();
    return true;
}

}  // namespace

bool CHbtCore::PromptHostExclusion(const std::string& host) {
    if (!userInterface_) return true;
    Preferences copy = *PreferencesSnapshot();
    const bool covered = copy.IsHostExcluded(host);
    const std::wstring wide = Utf8ToWide(host);
    return AskAndChange(*this, *userInterface_, L"Host ", wide, covered, std::move(copy),
                        [&](Preferences& p, std::wstring& message) {
                            if (covered) return p.RemoveHostFromExclusions(host, message);
                            return p.SetExcludedHosts(wide + L"\n" + p.excludeHostsText, message);
                        });
}

bool CHbtCore::PromptApplicationExclusion(const std::string& name) {
    if (!userInterface_) return true;
    Preferences copy = *PreferencesSnapshot();
    // Case matters here, unlike in the connect decision: the box offers to
    // add "tool.exe" while "Tool.exe" is listed.
    const bool covered = copy.IsApplicationExcluded(name);
    const std::wstring wide = Utf8ToWide(name);
    return AskAndChange(*this, *userInterface_, L"Application ", wide, covered, std::move(copy),
                        [&](Preferences& p, std::wstring& message) {
                            if (covered) return p.RemoveApplicationFromExclusions(name, message);
                            const std::wstring entry = wide.find(L' ') == std::wstring::npos ? wide : L'"' + wide + L'"';
                            return p.SetExcludedApplications(entry + L"\n" + p.excludeApplicationsText, message);
                        });
}

}  // namespace hbt
