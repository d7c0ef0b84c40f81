#pragma once
// The autorun record: the XDG autostart entry harbinet.desktop, whose Exec=
// line is the command that starts the program at login.
#include <string>

namespace hbt {

struct AutorunQuery {
    bool succeeded = false;
    bool exists = false;
    bool matches = false;  // the entry's command is the expected one
};

class AutorunRecord {
public:
    // `folder` holds the entry ($XDG_CONFIG_HOME/autostart in the program).
    AutorunRecord(std::string folder, std::string programPath);

    static std::string DefaultFolder();
    // The program's full path in double quotes, a blank, and "aut".
    const std::string& ExpectedCommand() const { return expectedCommand_; }
    std::string EntryPath() const;

    // Each failure leaves its reason in LastError().
    AutorunQuery Query();
    bool SetOn();
    bool SetOff();
    bool Set(bool on) { return on ? SetOn() : SetOff(); }
    const std::wstring& LastError() const { return lastError_; }
    // At start: whether the entry is there; an entry with another command is
    // rewritten, and `rewriteFailed` says when that did not work.
    bool TakeUpAtStart(bool& rewriteFailed);

private:
    bool Fail(const char* what, int error);

    std::string folder_;
    std::string expectedCommand_;
    std::wstring lastError_;
};

}  // namespace hbt
