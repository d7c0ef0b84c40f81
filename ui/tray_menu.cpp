#include "ui/tray_menu.h"

namespace hbt {

namespace {

TrayMenuEntry Separator() { return TrayMenuEntry{}; }

TrayMenuEntry Item(int command, std::wstring text) {
    TrayMenuEntry entry;
    entry.command = command;
    entry.text = std::move(text);
    return entry;
}

TrayMenuEntry Mark(int command, std::wstring text, bool checked, bool radio) {
    TrayMenuEntry entry = Item(command, std::move(text));
    entry.radio = radio;
    entry.checkable = !radio;
    entry.checked = checked;
    return entry;
}

}  // namespace

std::wstring TrayModeTitle(const Preferences& p) {
    if (!p.enabled) return L"Harbinet: OFF";
    return p.allowInsecureIfNoHttps ? L"Harbinet: Best-Effort Mode" : L"Harbinet: Strict Mode";
}

std::vector<TrayMenuEntry> BuildTrayMenu(const Preferences& p) {
    TrayMenuEntry title = Item(kTrayTitle, TrayModeTitle(p));
    title.enabled = false;
    std::vector<TrayMenuEntry> menu = {
        title,
        Item(kTrayToggleOn, p.enabled ? L"Turn Harbinet OFF" : L"Turn Harbinet ON"),
        Separator(),
        Mark(kTrayStrict, L"Strict Mode", !p.allowInsecureIfNoHttps, true),
        Mark(kTrayBestEffort, L"Best-Effort Mode", p.allowInsecureIfNoHttps, true),
    };
    if (!p.allowInsecureIfNoHttps) {
        menu.push_back(Separator());
        menu.push_back(Mark(kTrayAutoRedirect, L"Redirect to HTTPS Automatically", p.autoRedirect, false));
        menu.push_back(Mark(kTrayCheckHttps, L"Check HTTPS availability", p.checkBeforeRedirect, false));
    }
    menu.push_back(Separator());
    menu.push_back(Item(kTrayShowLog, L"Show Log..."));
    menu.push_back(Item(kTraySettings, L"Settings..."));
    menu.push_back(Separator());
    menu.push_back(Item(kTrayExit, L"E&xit"));
    return menu;
}

bool ApplyModeCommand(int command, Preferences& p) {
    switch (command) {
        case kTrayToggleOn: p.enabled = !p.enabled; return true;
        case kTrayStrict: p.allowInsecureIfNoHttps = false; return true;
        case kTrayBestEffort: p.allowInsecureIfNoHttps = true; return true;
        case kTrayAutoRedirect: p.autoRedirect = !p.autoRedirect; return true;
        case kTrayCheckHttps: p.checkBeforeRedirect = !p.checkBeforeRedirect; return true;
        default: return false;
    }
}

}  // namespace hbt
