#include <gtest/gtest.h>

#include "text/text_case.h"

namespace hbt {
namespace {

TEST(ToLowerWide, FixedTableIndependentOfTheLocale) {
    EXPECT_EQ(ToLowerWide(L"ABC.EXE"), L"abc.exe");
    EXPECT_EQ(ToLowerWide(L"\u00C4\u00D6\u00DC\u00D7\u00DF"), L"\u00E4\u00F6\u00FC\u00D7\u00DF");
    EXPECT_EQ(ToLowerWide(L"\u0100\u0139\u0178\u017D\u0130\u0149"), L"\u0101\u013A\u00FF\u017Ei\u0149");
    EXPECT_EQ(ToLowerWide(L"\u0391\u03A9\u0401\u0416"), L"\u03B1\u03C9\u0451\u0436");
    EXPECT_EQ(ToLowerWide(L"\u4E2D1"), L"\u4E2D1");
}

}  // namespace
}  // namespace hbt
