#include "ui/desktop_main.h"

#include <QApplication>
#include <QFileInfo>

#include <string>
#include <vector>

#include "ui/harbinet_app.h"
#include "ui/pictures.h"

namespace hbt {

int RunDesktopProgram(int argc, char** argv) {
    QApplication application(argc, argv);
    QApplication::setOrganizationName(QStringLiteral("Corvant"));
    QApplication::setApplicationName(QStringLiteral("Harbinet"));
    QApplication::setDesktopFileName(QStringLiteral("harbinet"));
    QApplication::setWindowIcon(WindowIcon());
    std::vector<std::string> words(argv + 1, argv + argc);
    CHarbinetApp app(QFileInfo(QApplication::applicationFilePath()).absoluteFilePath().toStdString());
    return app.Run(words);
}

}  // namespace hbt
