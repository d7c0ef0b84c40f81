#include "tests/ui/gallery_update_scenes.h"

#include <QDir>

#include <memory>

#include "core/hbt_core.h"
#include "platform/file_settings_store.h"
#include "ui/update_verdict_box.h"

namespace hbt::gallery {

bool IsUpdateScene(const std::string& what) { return what == "update-notice" || what == "out-of-date"; }

int ShowUpdateScene(const std::string& what) {
    auto store = std::make_shared<FileSettingsStore>(QDir::tempPath().toStdString() + "/harbinet-gallery.conf");
    CHbtCore core;
    core.SetSettingsStore(store);
    ShowUpdateVerdict(UpdateVerdict{what == "out-of-date", "https://corvant.example/download/"}, core, *store, nullptr);
    return 0;
}

}  // namespace hbt::gallery
