#include "http/page_parts.h"

#include <cstring>
#include <iomanip>
#include <locale>
#include <sstream>

#include "update/version.h"

namespace hbt {
namespace {

constexpr std::string_view kPrologue =
    "<!DOCTYPE html PUBLIC \"-//W3C//DTD XHTML 1.0 Transitional//EN\" "
    "\"http://www.w3.org/TR/xhtml1/DTD/xhtml1-transitional.dtd\">\r\n"
    "<html xmlns=\"http://www.w3.org/1999/xhtml\">\r\n"
    "<head>\r\n"
    "<meta http-equiv=\"Content-Type\" content=\"text/html; charset=utf-8\" />\r\n";

#define HBT_GRADIENT_STOPS \
    "rgba(170,170,170,0) 0%, rgba(170,170,170,1) 20%, rgba(170,170,170,1) 80%, rgba(170,170,170,0) 100%"

constexpr std::string_view kStyleBlock =
    "<style type=\"text/css\">\r\n"
    ".hr_table {\r\n"
    "\tbackground: -moz-linear-gradient(left, " HBT_GRADIENT_STOPS "); /* FF3.6+ */\r\n"
    "\tbackground: -webkit-gradient(linear, left top, right top, color-stop(0%,rgba(170,170,170,0)), "
    "color-stop(20%,rgba(170,170,170,1)), color-stop(80%,rgba(170,170,170,1)), "
    "color-stop(100%,rgba(170,170,170,0))); /* Chrome,Safari4+ */\r\n"
    "\tbackground: -webkit-linear-gradient(left, " HBT_GRADIENT_STOPS "); /* Chrome10+,Safari5.1+ */\r\n"
    "\tbackground: -o-linear-gradient(left, " HBT_GRADIENT_STOPS "); /* Opera 11.10+ */\r\n"
    "\tbackground: -ms-linear-gradient(left, " HBT_GRADIENT_STOPS "); /* IE10+ */\r\n"
    "\tbackground: linear-gradient(to right, " HBT_GRADIENT_STOPS "); /* W3C */\r\n"
    "}\r\n"
    ".spoiler {\r\n"
    "\tborder-bottom: 1px dashed;\r\n"
    "\tcolor: gray;\r\n"
    "\tcursor: pointer;\r\n"
    "}\r\n"
    ".spoiler:hover {\r\n"
    "\tcolor: black;\r\n"
    "}\r\n"
    ".spoiler_content {\r\n"
    "\tdisplay: none;\r\n"
    "}\r\n"
    "</style>\r\n"
    "<noscript><style type=\"text/css\">.spoiler_content { display: block; } .spoiler { display: none; }"
    "</style></noscript>\r\n";

#undef HBT_GRADIENT_STOPS

constexpr char kBase64UrlAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";

}  // namespace

std::string_view PageDocumentPrologue() { return kPrologue; }

std::string_view PageStyleBlock() { return kStyleBlock; }

std::string PageFooter(std::time_t now) {
    std::tm local{};
    localtime_r(&now, &local);
    std::ostringstream time;
    time.imbue(std::locale::classic());
    time << std::put_time(&local, "%c");
    return "<p>" + time.str() + "<br />\r\n<a href=\"https://" + kVendorWebSiteHost + "\">Harbinet v" +
           ShortVersion() + " " + BuildLabel() + "</a></p>\r\n";
}

std::string HtmlEscape(std::string_view text) {
    std::string escaped;
    escaped.reserve(text.size());
    for (const char c : text) {
        switch (c) {
            case '&': escaped += "&amp;"; break;
            case '<': escaped += "&lt;"; break;
            case '>': escaped += "&gt;"; break;
            case '"': escaped += "&quot;"; break;
            case '\'': escaped += "&#39;"; break;
            default: escaped += c;
        }
    }
    return escaped;
}

std::string Base64UrlEncode(std::string_view bytes) {
    std::string encoded;
    encoded.reserve((bytes.size() + 2) / 3 * 4);
    std::size_t i = 0;
    for (; i + 3 <= bytes.size(); i += 3) {
        const uint32_t group = static_cast<uint8_t>(bytes[i]) << 16 | static_cast<uint8_t>(bytes[i + 1]) << 8 |
                               static_cast<uint8_t>(bytes[i + 2]);
        for (int shift = 18; shift >= 0; shift -= 6) encoded += kBase64UrlAlphabet[(group >> shift) & 63];
    }
    const std::size_t rest = bytes.size() - i;
    if (rest > 0) {
        uint32_t group = static_cast<uint8_t>(bytes[i]) << 16;
        if (rest == 2) group |= static_cast<uint8_t>(bytes[i + 1]) << 8;
        // One byte gives two characters, two bytes three.
        for (std::size_t k = 0; k <= rest; ++k) encoded += kBase64UrlAlphabet[(group >> (18 - 6 * k)) & 63];
    }
    return encoded;
}

std::string Base64UrlDecode(std::string_view text) {
    std::string decoded;
    uint32_t group = 0;
    int count = 0;
    for (char c : text) {
        const char* found = std::strchr(kBase64UrlAlphabet, c);
        if (c == '\0' || !found) break;
        group = (group << 6) | static_cast<uint32_t>(found - kBase64UrlAlphabet);
        if (++count == 4) {
            decoded += static_cast<char>((group >> 16) & 0xFF);
            decoded += static_cast<char>((group >> 8) & 0xFF);
            decoded += static_cast<char>(group & 0xFF);
            group = 0;
            count = 0;
        }
    }
    if (count == 2) {
        decoded += static_cast<char>((group >> 4) & 0xFF);
    } else if (count == 3) {
        decoded += static_cast<char>((group >> 10) & 0xFF);
        decoded += static_cast<char>((group >> 2) & 0xFF);
    }
    return decoded;
}

}  // namespace hbt
