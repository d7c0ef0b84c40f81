#include <gtest/gtest.h>

#include "text/application_name.h"
#include "text/text_conversion.h"

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

TEST(Text, WideToUtf8EncodesEveryLengthAndReplacesInvalidCodePoints) {
    EXPECT_EQ(WideToUtf8(L"a\u00E9\u20AC\U0001F600"), "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80");
    if constexpr (sizeof(wchar_t) == 4) {
        EXPECT_EQ(WideToUtf8(std::wstring(1, static_cast<wchar_t>(0xD800))), "\xEF\xBF\xBD");
        EXPECT_EQ(WideToUtf8(std::wstring(1, static_cast<wchar_t>(0x110000))), "\xEF\xBF\xBD");
    }
}

TEST(Text, Utf16CarriesEveryPlane) {
    const std::u16string utf16 = u"/opt/\u00e9\u4e2d\U0001F600";
    EXPECT_EQ(Utf8ToUtf16("/opt/\xc3\xa9\xe4\xb8\xad\xf0\x9f\x98\x80"), utf16);
    EXPECT_EQ(Utf16ToWide(utf16), L"/opt/\u00e9\u4e2d\U0001F600");
    // A path that is not UTF-8 keeps the rest of its characters.
    EXPECT_EQ(Utf8ToUtf16("/a\xff" "b"), u"/a\ufffd" u"b");
    // A lone surrogate is passed on, not swallowed with its neighbour.
    EXPECT_EQ(Utf16ToWide(std::u16string{u'a', char16_t(0xD800), u'b'}), (std::wstring{L'a', wchar_t(0xD800), L'b'}));
}

TEST(ApplicationName, LastPathPartOrEmptyName) {
    EXPECT_EQ(ApplicationFileName(L"/opt/x/tool"), L"tool");
    EXPECT_EQ(ApplicationFileName(L"tool"), L"tool");
    EXPECT_EQ(ApplicationFileName(L""), L"<empty name>");
    EXPECT_EQ(ApplicationFileName(L"/opt/\u00e9t\u00e9"), L"\u00e9t\u00e9");
}

}  // namespace hbt
