#include "hsts/sts_header.h"

#include <algorithm>
#include <set>
#include <string>

#include "text/text_case.h"

namespace hbt {
namespace {

constexpr std::string_view kFieldName = "strict-transport-security";

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

// RFC 2616 token characters: visible ASCII except the separators.
bool IsTokenChar(char c) {
    if (c <= 0x20 || c >= 0x7F) return false;
    return std::string_view("()<>@,;:\\\"/[]?={}").find(c) == std::string_view::npos;
}

// Walks one header value directive by directive.
class DirectiveReader {
public:
    explicit DirectiveReader(std::string_view text) : text_(text) {}

    bool AtEnd() {
        SkipBlanks();
        return pos_ == text_.size();
    }
    bool Take(char c) {
        SkipBlanks();
        if (pos_ == text_.size() || text_[pos_] != c) return false;
        ++pos_;
        return true;
    }
    std::string Token() {
        SkipBlanks();
        const std::size_t start = pos_;
        while (pos_ < text_.size() && IsTokenChar(text_[pos_])) ++pos_;
        return std::string(text_.substr(start, pos_ - start));
    }
    // A token or a quoted string (without its quotes); nullopt when neither
    // stands here or a quoted string does not end.
    std::optional<std::string> Value() {
        SkipBlanks();
        if (pos_ == text_.size() || text_[pos_] != '"') {
            std::string token = Token();
            if (token.empty()) return std::nullopt;
            return token;
        }
        std::string value;
        for (++pos_; pos_ < text_.size(); ++pos_) {
            const char c = text_[pos_];
            if (c == '"') {
                ++pos_;
                return value;
            }
            if (c == '\\') {
                if (++pos_ == text_.size()) return std::nullopt;
                value += text_[pos_];
            } else if (static_cast<unsigned char>(c) < 0x20 && !IsBlank(c)) {
                return std::nullopt;
            } else {
                value += c;
            }
        }
        return std::nullopt;
    }

private:
    void SkipBlanks() {
        while (pos_ < text_.size() && IsBlank(text_[pos_])) ++pos_;
    }

    std::string_view text_;
    std::size_t pos_ = 0;
};

// delta-seconds: one or more digits; a number too large for the promise's
// limit counts as the limit.
std::optional<uint64_t> DeltaSeconds(const std::string& text) {
    if (text.empty() || !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        return std::nullopt;
    }
    uint64_t value = 0;
    for (const char c : text) {
        value = value * 10 + static_cast<uint64_t>(c - '0');
        if (value > kMaxPromiseSeconds) return kMaxPromiseSeconds;
    }
    return value;
}

}  // namespace

std::optional<StsDirectives> ParseStsHeaderValue(std::string_view value) {
    DirectiveReader reader(value);
    StsDirectives directives;
    bool maxAgeSeen = false;
    std::set<std::string> seen;
    while (!reader.AtEnd()) {
        if (reader.Take(';')) continue;  // an empty directive
        const std::string name = ToLowerAscii(reader.Token());
        if (name.empty()) return std::nullopt;
        if (!seen.insert(name).second) return std::nullopt;
        std::optional<std::string> directiveValue;
        if (reader.Take('=')) {
            directiveValue = reader.Value();
            if (!directiveValue) return std::nullopt;
        }
        if (name == "max-age") {
            const auto seconds = directiveValue ? DeltaSeconds(*directiveValue) : std::nullopt;
            if (!seconds) return std::nullopt;
            directives.maxAge = *seconds;
            maxAgeSeen = true;
        } else if (name == "includesubdomains") {
            if (directiveValue) return std::nullopt;
            directives.includeSubDomains = true;
        }
        if (!reader.AtEnd() && !reader.Take(';')) return std::nullopt;
    }
    if (!maxAgeSeen) return std::nullopt;
    return directives;
}

std::optional<std::string_view> FirstStsFieldValue(std::string_view head) {
    // Lines end with a carriage return, a line feed or both; the first line
    // is the status line, never a field.
    bool statusLine = true;
    for (std::size_t pos = 0; pos < head.size();) {
        std::size_t end = head.find_first_of("\r\n", pos);
        if (end == std::string_view::npos) end = head.size();
        const std::string_view line = head.substr(pos, end - pos);
        if (!statusLine && line.size() > kFieldName.size() && line[kFieldName.size()] == ':' &&
            ToLowerAscii(line.substr(0, kFieldName.size())) == kFieldName) {
            return line.substr(kFieldName.size() + 1);
        }
        statusLine = false;
        pos = end + 1;
    }
    return std::nullopt;
}

std::optional<StsDirectives> StsPromiseOf(std::string_view head) {
    const auto value = FirstStsFieldValue(head);
    if (!value) return std::nullopt;
    return ParseStsHeaderValue(*value);
}

}  // namespace hbt
