#include <gtest/gtest.h>

#include "platform/text.h"

namespace hbt {

TEST(Text, Utf8RoundTripsEveryPlane) {
    const std::wstring wide = L"plain \u00e9\u4e2d\U0001F600 end";
    EXPECT_EQ(WideToUtf8(wide), "plain \xc3\xa9\xe4\xb8\xad\xf0\x9f\x98\x80 end");
    EXPECT_EQ(Utf8ToWide(WideToUtf8(wide)), wide);
}

TEST(Text, InvalidUtf8BecomesReplacementCharacters) {
    EXPECT_EQ(Utf8ToWide("a\xff" "b"), L"a\ufffd" L"b");
    EXPECT_EQ(Utf8ToWide("\xe4\xb8"), L"\ufffd\ufffd");  // truncated sequence, nothing read past the end
    EXPECT_EQ(Utf8ToWide("\xc0\x80"), L"\ufffd");         // overlong NUL
}

TEST(Text, ByteWiseWideningKeepsEveryByte) {
    std::string bytes = "A\x80\xff";
    EXPECT_EQ(WidenBytes(bytes), std::wstring({L'A', wchar_t(0x80), wchar_t(0xff)}));
    EXPECT_EQ(NarrowBytes(WidenBytes(bytes)), bytes);
}

}  // namespace hbt
