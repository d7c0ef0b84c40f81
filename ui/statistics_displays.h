#pragma once
// Where the user sees the statistics: the links of the main dialog and of the
// log window's status bar, and the "Harbinet Statistics" box.
class QWidget;

namespace hbt {

struct HbtStatistics;
class CLogWindow;
class CPreferencesDlg;

// After each drain of the log queue: the main dialog's link, then the log
// window's, each from its own reading of the counters.
void RefreshStatisticsLinks(const HbtStatistics& statistics, CPreferencesDlg& dialog, CLogWindow& logWindow);
// The box with the current figures, owned by the window whose link was clicked.
void ShowStatisticsBox(const HbtStatistics& statistics, QWidget* owner);

}  // namespace hbt
