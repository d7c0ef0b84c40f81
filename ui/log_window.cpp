#include "ui/log_window.h"

#include <QCloseEvent>
#include <QComboBox>
#include <QDesktopServices>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QLabel>
#include <QUrl>

#include "core/hbt_core.h"
#include "http/page_parts.h"
#include "log/log.h"
#include "ui/about_dialog.h"
#include "ui/desktop_shell.h"
#include "ui/log_link_target.h"
#include "ui/log_view.h"
#include "ui/pictures.h"
#include "ui/statistics_displays.h"
#include "ui_log_window.h"
#include "update/version.h"

namespace hbt {

namespace {

QString StatusLinkText(uint64_t monitored, uint64_t secured) {
    return QStringLiteral("<a href=\"hbtstat://%1\">Connections monitored: %2, secured: %3</a>"
                          "                    <a href=\"hbtabout\">Harbinet %4</a>          ")
        .arg(QString::fromLatin1(kVendorWebSiteHost))
        .arg(monitored)
        .arg(secured)
        .arg(QString::fromStdString(VersionBannerText()));
}

}  // namespace

CLogWindow::CLogWindow(CHbtCore& core, DesktopShell& shell, QWidget* parent)
    : QMainWindow(parent), ui_(std::make_unique<Ui::LogWindow>()), core_(core), shell_(shell) {
    ui_->setupUi(this);
    setWindowIcon(WindowIcon());
    ui_->actionSettings->setIcon(ResourceIcon(QStringLiteral("log-settings.svg")));
    ui_->actionClearDisplay->setIcon(ResourceIcon(QStringLiteral("log-clear.svg")));
    ui_->actionSetLogFolder->setIcon(ResourceIcon(QStringLiteral("log-set-folder.svg")));
    ui_->actionOpenLogFolder->setIcon(ResourceIcon(QStringLiteral("log-open-folder.svg")));
    // The screen list follows "Clear Display", the file list "Open Log Folder".
    const QList<QAction*> actions = ui_->toolBar->actions();
    QAction* afterClear = actions.value(actions.indexOf(ui_->actionClearDisplay) + 1);
    screenLevel_ = AddLevelList(afterClear, QStringLiteral("Screen Log"),
                                {QStringLiteral("Errors Only"), QStringLiteral("Normal"), QStringLiteral("Verbose")});
    fileLevel_ = AddLevelList(nullptr, QStringLiteral("File Log"),
                              {QStringLiteral("None"), QStringLiteral("Errors Only"), QStringLiteral("Normal"),
                               QStringLiteral("Verbose")});
    screenLevel_->setObjectName(QStringLiteral("screenLevel"));
    fileLevel_->setObjectName(QStringLiteral("fileLevel"));
    screenLevel_->setCurrentIndex(1);
    fileLevel_->setCurrentIndex(0);

    statusLink_ = new QLabel;
    statusLink_->setObjectName(QStringLiteral("statusLink"));
    statusLink_->setTextFormat(Qt::RichText);
    statusLink_->setContentsMargins(4, 0, 4, 0);
    ui_->statusBar->addWidget(statusLink_, 1);
    SetStatistics(0, 0);

    connect(ui_->actionSettings, &QAction::triggered, this, [this] { shell_.ShowMainDialog(); });
    connect(ui_->actionClearDisplay, &QAction::triggered, ui_->lines, &CLogView::clear);
    connect(ui_->actionSetLogFolder, &QAction::triggered, this, &CLogWindow::ChooseLogFolder);
    connect(ui_->actionOpenLogFolder, &QAction::triggered, this, &CLogWindow::OpenLogFolder);
    connect(ui_->actionAbout, &QAction::triggered, this, &CLogWindow::ShowAbout);
    connect(screenLevel_, &QComboBox::activated, this, [this](int index) { ApplyLevel(index + 1, -1); });
    connect(fileLevel_, &QComboBox::activated, this, [this](int index) { ApplyLevel(-1, index); });
    connect(ui_->lines, &CLogView::linkPressed, this, &CLogWindow::OnLinkPressed);
    connect(statusLink_, &QLabel::linkActivated, this, &CLogWindow::OnStatusLink);
}

CLogWindow::~CLogWindow() = default;

QComboBox* CLogWindow::AddLevelList(QAction* before, const QString& label, const QStringList& levels) {
    auto* holder = new QWidget;
    auto* layout = new QHBoxLayout(holder);
    layout->setContentsMargins(6, 0, 6, 0);
    auto* list = new QComboBox;
    list->addItems(levels);
    auto* name = new QLabel(label);
    name->setBuddy(list);
    layout->addWidget(name);
    layout->addWidget(list);
    ui_->toolBar->insertWidget(before, holder);
    return list;
}

void CLogWindow::Write(const LogRecord& record) { ui_->lines->AppendRecord(record); }

void CLogWindow::EndBatch() { ui_->lines->EndBatch(); }

void CLogWindow::SetStatistics(uint64_t monitored, uint64_t secured) {
    // The blanks between and after the links are part of the text.
    statusLink_->setText(QStringLiteral("<p style=\"white-space:pre\">%1</p>").arg(StatusLinkText(monitored, secured)));
}

void CLogWindow::showEvent(QShowEvent* event) {
    ShowLevels();
    QMainWindow::showEvent(event);
}

void CLogWindow::ShowLevels() {
    const std::shared_ptr<const Preferences> preferences = core_.PreferencesSnapshot();
    // A stored screen level of 0 has no entry: the list then shows none.
    screenLevel_->setCurrentIndex(preferences->logLevel - 1);
    fileLevel_->setCurrentIndex(preferences->logFileLevel);
}

void CLogWindow::ApplyLevel(int32_t screenLevel, int32_t fileLevel) {
    Preferences changed = *core_.PreferencesSnapshot();
    if (screenLevel >= 0) changed.logLevel = screenLevel;
    if (fileLevel >= 0) changed.logFileLevel = fileLevel;
    core_.ApplyPreferences(changed, CHbtCore::kApplyAndSave);
}

void CLogWindow::ChooseLogFolder() {
    const QString folder =
        QFileDialog::getExistingDirectory(this, QStringLiteral("Select a directory for Harbinet logs:"),
                                          QString::fromStdWString(core_.PreferencesSnapshot()->logPath));
    if (folder.isEmpty()) return;
    Preferences changed = *core_.PreferencesSnapshot();
    changed.logPath = folder.toStdWString();
    core_.ApplyPreferences(changed, CHbtCore::kApplyAndSave);
    CLog(kLogNormal) << L"Log Directory is set to " << changed.logPath;
}

void CLogWindow::OpenLogFolder() {
    const std::wstring folder = core_.PreferencesSnapshot()->logPath;
    if (!folder.empty()) QDesktopServices::openUrl(QUrl::fromLocalFile(QString::fromStdWString(folder)));
}

void CLogWindow::OnLinkPressed(const QString& target) {
    const LogLinkAction action = LogLinkActionFor(target.toStdString());
    switch (action.kind) {
        case LogLinkAction::Kind::kHostPrompt: core_.PromptHostExclusion(action.value); break;
        case LogLinkAction::Kind::kApplicationPrompt: core_.PromptApplicationExclusion(action.value); break;
        case LogLinkAction::Kind::kOpen: QDesktopServices::openUrl(QUrl(QString::fromStdString(action.value))); break;
        case LogLinkAction::Kind::kNothing: break;
    }
}

void CLogWindow::OnStatusLink(const QString& link) {
    if (link.startsWith(QLatin1String("http"))) {
        QDesktopServices::openUrl(QUrl(link));
    } else if (link.startsWith(QLatin1String("hbtstat"))) {
        ShowStatisticsBox(core_.Statistics(), this);
    } else if (link.startsWith(QLatin1String("hbtabout"))) {
        ShowAbout();
    }
}

void CLogWindow::ShowAbout() {
    CAboutDlg about(core_, this);
    about.exec();
}

void CLogWindow::closeEvent(QCloseEvent* event) {
    // With the engine halted (a fatal start-up error) the program does nothing: closing its log ends it.
    if (core_.Halted() || !core_.Running()) {
        shell_.ExitProgram();
    } else {
        shell_.ShowMinimizedBalloon();
    }
    QMainWindow::closeEvent(event);
}

}  // namespace hbt
