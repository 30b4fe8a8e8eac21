#include "platform/foundation/StringsFile.h"

#include <cctype>

#include "platform/foundation/Text.h"

namespace foundation {
namespace {

class Parser {
public:
    explicit Parser(std::string_view text) : text_(text) {}

    std::optional<std::map<std::string, std::string>> run() {
        std::map<std::string, std::string> entries;
        for (;;) {
            if (!skipBlanksAndComments()) return std::nullopt;
            if (pos_ == text_.size()) return entries;
            auto key = quoted();
            if (!key || !skipBlanksAndComments() || !expect('=') || !skipBlanksAndComments()) return std::nullopt;
            auto value = quoted();
            if (!value || !skipBlanksAndComments() || !expect(';')) return std::nullopt;
            entries[*key] = *value;
        }
    }

private:
    bool expect(char c) {
        if (pos_ >= text_.size() || text_[pos_] != c) return false;
        ++pos_;
        return true;
    }

    // Skips white space and comments; false on an unterminated block comment.
    bool skipBlanksAndComments() {
        while (pos_ < text_.size()) {
            if (std::isspace(static_cast<unsigned char>(text_[pos_]))) {
                ++pos_;
            } else if (text_.substr(pos_, 2) == "//") {
                auto end = text_.find('\n', pos_);
                pos_ = end == std::string_view::npos ? text_.size() : end + 1;
            } else if (text_.substr(pos_, 2) == "/*") {
                auto end = text_.find("*/", pos_ + 2);
                if (end == std::string_view::npos) return false;
                pos_ = end + 2;
            } else {
                break;
            }
        }
        return true;
    }

    std::optional<std::string> quoted() {
        if (!expect('"')) return std::nullopt;
        std::string out;
        while (pos_ < text_.size()) {
            char c = text_[pos_++];
            if (c == '"') return out;
            if (c != '\\') {
                out += c;
                continue;
            }
            if (pos_ >= text_.size()) return std::nullopt;
            char e = text_[pos_++];
            switch (e) {
                case 'n': out += '\n'; break;
                case 't': out += '\t'; break;
                case 'r': out += '\r'; break;
                case 'U':
                case 'u': {
                    if (pos_ + 4 > text_.size()) return std::nullopt;
                    uint32_t cp = 0;
                    for (int i = 0; i < 4; ++i) {
                        char h = text_[pos_++];
                        if (!std::isxdigit(static_cast<unsigned char>(h))) return std::nullopt;
                        cp = cp * 16 + static_cast<uint32_t>(std::isdigit(static_cast<unsigned char>(h))
                                                                 ? h - '0'
                                                                 : std::tolower(h) - 'a' + 10);
                    }
                    appendUtf8(out, cp);
                    break;
                }
                default: out += e; break;  // \" \\ and anything else stand for themselves
            }
        }
        return std::nullopt;
    }

    std::string_view text_;
    size_t pos_ = 0;
};

}  // namespace

std::optional<std::map<std::string, std::string>> parseStringsFile(std::string_view text) {
    if (text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);  // byte-order mark
    return Parser(text).run();
}

}  // namespace foundation
