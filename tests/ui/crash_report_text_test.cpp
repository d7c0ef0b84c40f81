// What the crash reporter says about each outcome of the dump.
#include <gtest/gtest.h>

#include <string>

#include "ui/crash_report_text.h"

namespace hbt {
namespace {

TEST(CrashReportText, EachOutcomeHasItsReport) {
    const std::wstring head = L"Harbinet has encountered a critical error! The program will be terminated.\n\n";
    EXPECT_EQ(CrashReportMessage("/tmp/Harbinet.dmp", {CrashDumpOutcome::kSaved, 0}),
              head + L"The dump file was saved to:\n\"/tmp/Harbinet.dmp\"\n\nPlease email it to "
                     L"support@corvant.example\nThanks!");
    EXPECT_EQ(CrashReportMessage("/tmp/Harbinet.dmp", {CrashDumpOutcome::kNotCreated, 13}),
              head + L"Failed to create dump file \"/tmp/Harbinet.dmp\" (error 13).\nPlease contact "
                     L"support@corvant.example");
    EXPECT_EQ(CrashReportMessage("/tmp/Harbinet.dmp", {CrashDumpOutcome::kNotSaved, 28}),
              head + L"Failed to save dump file to \"/tmp/Harbinet.dmp\" (error 28).\nPlease contact "
                     L"support@corvant.example");
}

TEST(CrashReportText, ALongPathIsCutAtTheBoxLimit) {
    const std::string path = "/tmp/" + std::string(400, 'd') + "/Harbinet.dmp";
    const std::wstring message = CrashReportMessage(path, {CrashDumpOutcome::kSaved, 0});
    EXPECT_EQ(message.size(), kCrashMessageLimit);
    EXPECT_EQ(message.find(L"Please email"), std::wstring::npos);
}

}  // namespace
}  // namespace hbt
