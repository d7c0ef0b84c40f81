#include "ui/crash_reporter.h"

#include <QApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDesktopServices>
#include <QFileInfo>
#include <QMessageBox>
#include <QUrl>

#include <iostream>
#include <string>

#include "text/text_conversion.h"
#include "ui/crash_report_text.h"
#include "ui/pictures.h"

namespace hbt {
namespace {

constexpr int kFileManagerAnswerLimitMs = 10000;

// The desktop's file manager shows the folder with the file selected; where
// none answers on the session bus, the folder is opened.
void SelectInFileManager(const QString& path) {
    QDBusMessage call = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.FileManager1"), QStringLiteral("/org/freedesktop/FileManager1"),
        QStringLiteral("org.freedesktop.FileManager1"), QStringLiteral("ShowItems"));
    call << QStringList{QUrl::fromLocalFile(path).toString()} << QString();
    const QDBusMessage answer = QDBusConnection::sessionBus().call(call, QDBus::Block, kFileManagerAnswerLimitMs);
    if (answer.type() != QDBusMessage::ReplyMessage) {
        QDesktopServices::openUrl(QUrl::fromLocalFile(QFileInfo(path).absolutePath()));
    }
}

}  // namespace

int RunCrashReporter(int argc, char** argv, bool hasDisplay) {
    CrashDumpStatus status;
    if (argc != 4 || !ParseCrashDumpStatus(argv[3], status)) {
        std::cerr << "usage: harbinet --crash-report PATH saved|not-created:ERROR|not-saved:ERROR\n";
        return 2;
    }
    const std::string path = argv[2];
    const std::wstring message = CrashReportMessage(path, status);
    if (!hasDisplay) {
        std::cerr << WideToUtf8(message) << "\n";
        return 0;
    }
    QApplication application(argc, argv);
    QApplication::setWindowIcon(WindowIcon());
    if (status.outcome == CrashDumpOutcome::kSaved) SelectInFileManager(QString::fromStdString(path));
    QMessageBox box(QMessageBox::Critical, QString::fromStdWString(kCrashReporterTitle),
                    QString::fromStdWString(message), QMessageBox::Ok);
    box.setWindowFlag(Qt::WindowStaysOnTopHint);
    box.setWindowModality(Qt::ApplicationModal);
    box.exec();
    return 0;
}

}  // namespace hbt
