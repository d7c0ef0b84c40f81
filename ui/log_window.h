#pragma once
// CLogWindow: the "Harbinet Log" window. It shows the log's lines, sets the
// two log levels and the log folder, turns clicks on host and application
// links into the core's exclusion prompts, and carries the statistics and
// version links in its status bar. Closing hides it, except while the engine
// is halted: then closing ends the program.
#include <QMainWindow>

#include <cstdint>
#include <memory>

#include "log/log_sink.h"

class QComboBox;
class QLabel;

namespace Ui {
class LogWindow;
}

namespace hbt {

class CHbtCore;
class CLogView;
class DesktopShell;

class CLogWindow : public QMainWindow, public LogSink {
    Q_OBJECT
public:
    CLogWindow(CHbtCore& core, DesktopShell& shell, QWidget* parent = nullptr);
    ~CLogWindow() override;

    // LogSink: the lines meant for the screen.
    bool Admits(const LogRecord& record) const override { return record.toScreen; }
    void Write(const LogRecord& record) override;
    void EndBatch() override;

    // The status bar's statistics link.
    void SetStatistics(uint64_t monitored, uint64_t secured);

protected:
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    QComboBox* AddLevelList(QAction* before, const QString& label, const QStringList& levels);
    void ShowLevels();
    void ApplyLevel(int32_t screenLevel, int32_t fileLevel);
    void ChooseLogFolder();
    void OpenLogFolder();
    void OnLinkPressed(const QString& target);
    void OnStatusLink(const QString& link);
    void ShowAbout();

    std::unique_ptr<Ui::LogWindow> ui_;
    CHbtCore& core_;
    DesktopShell& shell_;
    QComboBox* screenLevel_ = nullptr;
    QComboBox* fileLevel_ = nullptr;
    QLabel* statusLink_ = nullptr;
};

}  // namespace hbt
