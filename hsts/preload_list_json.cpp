#include "hsts/preload_list_json.h"

#include <algorithm>

#include "hsts/hsts_host.h"

namespace hbt {
namespace {

constexpr int kMaxDepth = 64;

// A forward-only reader of JSON text that also takes "//" comments as blanks.
class JsonCursor {
public:
    explicit JsonCursor(std::string_view text) : text_(text) {}

    bool Failed() const { return !error_.empty(); }
    const std::string& Error() const { return error_; }
    void Fail(const std::string& expected) {
        if (Failed()) return;
        const auto line = std::count(text_.begin(), text_.begin() + static_cast<std::ptrdiff_t>(pos_), '\n') + 1;
        error_ = "line " + std::to_string(line) + ": " + expected + " expected";
    }

    bool Take(char c) {
        SkipBlanks();
        if (pos_ < text_.size() && text_[pos_] == c) {
            ++pos_;
            return true;
        }
        return false;
    }
    void Expect(char c) {
        if (!Take(c)) Fail(std::string("'") + c + "'");
    }
    char Peek() {
        SkipBlanks();
        return pos_ < text_.size() ? text_[pos_] : '\0';
    }
    bool AtEnd() {
        SkipBlanks();
        return pos_ == text_.size();
    }

    // Visits every member of an object: member(name) reads or skips its value.
    template <typename Member>
    void Object(Member member) {
        Expect('{');
        if (Failed() || Take('}')) return;
        do {
            const std::string name = String();
            Expect(':');
            if (Failed()) return;
            member(name);
        } while (!Failed() && Take(','));
        Expect('}');
    }

    // Visits every element of an array.
    template <typename Element>
    void Array(Element element) {
        Expect('[');
        if (Failed() || Take(']')) return;
        do {
            element();
        } while (!Failed() && Take(','));
        Expect(']');
    }

    std::string String();
    std::optional<bool> Bool();
    void SkipValue(int depth = 0);

private:
    void SkipBlanks();
    void AppendEscape(std::string& out);
    bool TakeWord(std::string_view word);

    std::string_view text_;
    std::size_t pos_ = 0;
    std::string error_;
};

void JsonCursor::SkipBlanks() {
    while (pos_ < text_.size()) {
        const char c = text_[pos_];
        if (c == ' ' || c == '\t' || c == '\r' || c == '\n') {
            ++pos_;
        } else if (text_.substr(pos_, 2) == "//") {
            const std::size_t end = text_.find('\n', pos_);
            pos_ = end == std::string_view::npos ? text_.size() : end;
        } else {
            return;
        }
    }
}

bool JsonCursor::TakeWord(std::string_view word) {
    SkipBlanks();
    if (text_.substr(pos_, word.size()) != word) return false;
    pos_ += word.size();
    return true;
}

void JsonCursor::AppendEscape(std::string& out) {
    const char c = pos_ < text_.size() ? text_[pos_++] : '\0';
    switch (c) {
        case '"': case '\\': case '/': out += c; return;
        case 'b': out += '\b'; return;
        case 'f': out += '\f'; return;
        case 'n': out += '\n'; return;
        case 'r': out += '\r'; return;
        case 't': out += '\t'; return;
        case 'u': break;
        default: Fail("escape"); return;
    }
    unsigned code = 0;
    for (int i = 0; i < 4; ++i, ++pos_) {
        const char h = pos_ < text_.size() ? text_[pos_] : '\0';
        const int digit = h >= '0' && h <= '9' ? h - '0' : h >= 'a' && h <= 'f' ? h - 'a' + 10
                        : h >= 'A' && h <= 'F' ? h - 'A' + 10 : -1;
        if (digit < 0) return Fail("four hexadecimal digits");
        code = code * 16 + static_cast<unsigned>(digit);
    }
    // Names are ASCII; anything else only has to make the name invalid.
    out += code < 0x80 ? static_cast<char>(code) : '\x80';
}

std::string JsonCursor::String() {
    std::string out;
    if (!Take('"')) {
        Fail("string");
        return out;
    }
    while (!Failed()) {
        if (pos_ == text_.size()) {
            Fail("'\"'");
            break;
        }
        const char c = text_[pos_++];
        if (c == '"') break;
        if (c == '\\') {
            AppendEscape(out);
        } else if (static_cast<unsigned char>(c) < 0x20) {
            Fail("'\"'");
        } else {
            out += c;
        }
    }
    return out;
}

std::optional<bool> JsonCursor::Bool() {
    if (TakeWord("true")) return true;
    if (TakeWord("false")) return false;
    return std::nullopt;
}

void JsonCursor::SkipValue(int depth) {
    if (depth > kMaxDepth) return Fail("a shallower value");
    switch (Peek()) {
        case '{': return Object([&](const std::string&) { SkipValue(depth + 1); });
        case '[': return Array([&] { SkipValue(depth + 1); });
        case '"': String(); return;
        default: break;
    }
    if (TakeWord("true") || TakeWord("false") || TakeWord("null")) return;
    const std::size_t start = pos_;
    while (pos_ < text_.size() && std::string_view("+-0123456789.eE").find(text_[pos_]) != std::string_view::npos) {
        ++pos_;
    }
    if (pos_ == start) Fail("value");
}

struct Entry {
    std::string name;
    bool includeSubDomains = false;
    std::string mode;
};

Entry ReadEntry(JsonCursor& json) {
    Entry entry;
    json.Object([&](const std::string& member) {
        if (member == "name") {
            entry.name = json.String();
        } else if (member == "mode") {
            entry.mode = json.String();
        } else if (member == "include_subdomains") {
            const auto value = json.Bool();
            if (!value) return json.Fail("true or false");
            entry.includeSubDomains = *value;
        } else {
            json.SkipValue();
        }
    });
    return entry;
}

void TakeEntry(const Entry& entry, PreloadListImport& import) {
    if (entry.mode != "force-https") {
        ++import.otherModes;
    } else if (const auto key = HstsHostKey(entry.name)) {
        import.hosts.push_back({*key, entry.includeSubDomains});
    } else {
        ++import.invalidNames;
    }
}

}  // namespace

std::optional<PreloadListImport> ReadChromiumPreloadList(std::string_view text, std::string& error) {
    JsonCursor json(text);
    PreloadListImport import;
    bool entriesSeen = false;
    json.Object([&](const std::string& member) {
        if (member != "entries") return json.SkipValue();
        entriesSeen = true;
        json.Array([&] { TakeEntry(ReadEntry(json), import); });
    });
    if (!json.Failed() && !json.AtEnd()) json.Fail("end of text");
    if (!json.Failed() && !entriesSeen) json.Fail("an \"entries\" list");
    if (json.Failed()) {
        error = json.Error();
        return std::nullopt;
    }
    return import;
}

}  // namespace hbt
