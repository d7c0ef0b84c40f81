#include "tests/ui/options_gallery.h"

#include <QLineEdit>

#include "rules/preferences_storage.h"
#include "tests/rules/memory_settings_store.h"
#include "ui/add_cipher_dialog.h"
#include "ui/cipher_methods_dialog.h"
#include "ui/options_dialog.h"

namespace hbt::gallery {
namespace {

// New settings, with a letter typed into the ports.
int ShowOptions() {
    Preferences record;
    LoadPreferences(test::MemorySettingsStore(), record);
    record.httpPortsText += L"; 8a";
    std::wstring ignored;
    record.SetExcludedApplications(L"\"My Tool.exe\"; backup.exe", ignored);
    record.SetExcludedHosts(L"*.example.com; 10.0.0.1-10.0.0.9", ignored);
    return COptionsDlg(record).exec();
}

// Allow Safe Only with a weak suite allowed and a strong one disabled, filtered to RSA.
int ShowCipherSuites() {
    CCipherMethodsDlg suites(kCipherSafeOnly, {{0x0005, true}, {0xC02F, false}});
    suites.findChild<QLineEdit*>(QStringLiteral("filter"))->setText(QStringLiteral("RSA"));
    return suites.exec();
}

int ShowAddCipher() {
    CAddCipherDlg add;
    add.findChild<QLineEdit*>(QStringLiteral("code"))->setText(QStringLiteral("0xc02f"));
    return add.exec();
}

}  // namespace

std::optional<int> ShowOptionsScene(const std::string& what) {
    if (what == "options") return ShowOptions();
    if (what == "cipher-suites") return ShowCipherSuites();
    if (what == "add-cipher") return ShowAddCipher();
    return std::nullopt;
}

}  // namespace hbt::gallery
