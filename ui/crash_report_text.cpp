#include "ui/crash_report_text.h"

#include "http/page_parts.h"
#include "text/text_conversion.h"

namespace hbt {
namespace {

std::wstring ReportText(const std::wstring& path, const CrashDumpStatus& status) {
    const std::wstring support = Utf8ToWide(kSupportAddress);
    const std::wstring error = std::to_wstring(status.error);
    switch (status.outcome) {
        case CrashDumpOutcome::kSaved:
            return L"The dump file was saved to:\n\"" + path + L"\"\n\nPlease email it to " + support + L"\nThanks!";
        case CrashDumpOutcome::kNotCreated:
            return L"Failed to create dump file \"" + path + L"\" (error " + error + L").\nPlease contact " + support;
        case CrashDumpOutcome::kNotSaved:
            return L"Failed to save dump file to \"" + path + L"\" (error " + error + L").\nPlease contact " + support;
    }
    return {};
}

}  // namespace

std::wstring CrashReportMessage(const std::string& path, const CrashDumpStatus& status) {
    std::wstring message = L"Harbinet has encountered a critical error! The program will be terminated.\n\n" +
                           ReportText(Utf8ToWide(path), status);
    if (message.size() > kCrashMessageLimit) message.resize(kCrashMessageLimit);
    return message;
}

}  // namespace hbt
