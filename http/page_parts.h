#pragma once
// The pieces that every page of the program is built from: the proxy's
// redirect, block and loop pages and the control endpoint's pages share the
// document prologue, the style block, the separator and the footer.
#include <cstdint>
#include <ctime>
#include <string>
#include <string_view>

namespace hbt {

inline constexpr char kVendorWebSiteHost[] = "corvant.example";
// Where the fatal-error report and the crash reporter send the user.
inline constexpr char kSupportAddress[] = "support@corvant.example";

// The horizontal rule between page sections (166 characters).
inline constexpr std::string_view pageSeparator =
    "<table border=\"0\"><tr><td height=\"10\"></td></tr><tr><td width=\"50\"></td>"
    "<td height=\"2\" width=\"500\" class=\"hr_table\"></td></tr><tr><td height=\"10\"></td></tr></table>\r\n";

// Document type, html element, "<head>" and the content-type meta element,
// each line ended by "\r\n".
std::string_view PageDocumentPrologue();
// The style element and the noscript element that follows it.
std::string_view PageStyleBlock();
// "<p>" + the local time in the classic "%c" form + "<br />\r\n", the anchor
// to the vendor's site with the version, "</a></p>\r\n".
std::string PageFooter(std::time_t now);

// Replaces &, <, >, " and ' by their character references; any other text is
// returned unchanged.
std::string HtmlEscape(std::string_view text);
// RFC 4648 section 5 alphabet, without padding.
std::string Base64UrlEncode(std::string_view bytes);
// The reverse: decoding stops at the first character outside the alphabet; a
// final group of two or three characters gives one or two bytes.
std::string Base64UrlDecode(std::string_view text);

}  // namespace hbt
