#include "ui/message_box_ex_content.h"

namespace hbt {

MessageBoxExContent UpdateNotice() {
    MessageBoxExContent content;
    content.title = L"Harbinet Update";
    content.text = L"There is an update for this version of Harbinet.\n\nDo you want to open the download page right now?";
    content.checkBoxText = L"Disable product updates check";
    content.icon = MessageBoxIcon::Information;
    content.yesNo = true;
    return content;
}

}  // namespace hbt
