#pragma once
// The front end as the core sees it: actions run on the calling thread, the
// exclusion prompts' boxes are recorded and answered as the test says, and
// the update check's verdicts are kept.
#include <atomic>
#include <mutex>
#include <string>
#include <vector>

#include "core/core_user_interface.h"

namespace hbt {

class RecordingInterface : public CoreUserInterface {
public:
    struct Box {
        std::wstring caption;
        std::wstring text;
    };

    void RefreshTrayAndDialog() override { ++refreshes; }
    void RunOnUiThread(const std::function<void()>& action) override { action(); }
    void EngineUnavailable() override { engineUnavailable = true; }
    void ShowFatalError(const std::wstring& text) override {
        std::lock_guard lock(mutex);
        fatalText = text;
    }
    void ReportUpdateVerdict(const UpdateVerdict& verdict) override {
        std::lock_guard lock(mutex);
        verdicts.push_back(verdict);
    }
    bool AskYesNo(const std::wstring& caption, const std::wstring& text) override {
        questions.push_back({caption, text});
        return answerYes;
    }
    void ShowError(const std::wstring& caption, const std::wstring& text) override { errors.push_back({caption, text}); }

    std::wstring FatalText() {
        std::lock_guard lock(mutex);
        return fatalText;
    }
    std::vector<UpdateVerdict> Verdicts() {
        std::lock_guard lock(mutex);
        return verdicts;
    }
    std::atomic<int> refreshes{0};
    std::atomic<bool> engineUnavailable{false};
    std::mutex mutex;
    std::wstring fatalText;
    std::vector<UpdateVerdict> verdicts;
    // The prompts run on the test's own thread.
    bool answerYes = false;
    std::vector<Box> questions;
    std::vector<Box> errors;
};

}  // namespace hbt
