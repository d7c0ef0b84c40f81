#pragma once
// What a message box with a check box shows, and the answers it gives.
#include <string>

namespace hbt {

// The answers, as the buttons' results.
inline constexpr int kAnswerOk = 1;
inline constexpr int kAnswerCancel = 2;
inline constexpr int kAnswerYes = 6;
inline constexpr int kAnswerNo = 7;

enum class MessageBoxIcon { Exclamation, Information, Error };

struct MessageBoxExContent {
    std::wstring title;
    std::wstring text;
    std::wstring checkBoxText;  // empty: "Do not show this message again"
    MessageBoxIcon icon = MessageBoxIcon::Exclamation;
    bool yesNo = false;          // Yes/No instead of OK/Cancel
    bool secondIsDefault = false;
};

// The notice of a newer version.
MessageBoxExContent UpdateNotice();

}  // namespace hbt
