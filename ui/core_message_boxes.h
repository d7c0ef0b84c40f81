#pragma once
// The message boxes the core asks the desktop program for (through
// CoreUserInterface), owned by the window given.
#include <string>

class QWidget;

namespace hbt {

// Question icon, Yes and No, No the default; true for Yes.
bool AskYesNoBox(QWidget* owner, const std::wstring& caption, const std::wstring& text);
// Error icon and OK.
void ShowErrorBox(QWidget* owner, const std::wstring& caption, const std::wstring& text);

}  // namespace hbt
