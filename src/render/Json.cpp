// A JSON string writer and a reader of one line of JSON: what the report
// and the workers' results need, without a JSON library.
#include "render/Json.h"

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace render {

std::size_t utf8Length(const std::string &text, std::size_t at) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char c = byte(at);
    std::size_t n = c < 0x80           ? 1
                    : (c >> 5) == 0x6  ? 2
                    : (c >> 4) == 0xE  ? 3
                    : (c >> 3) == 0x1E ? 4
                                       : 0;
    if (n == 0 || at + n > text.size())
        return 0;
    std::uint32_t code = n == 1 ? c : c & (0x7F >> n);
    for (std::size_t i = 1; i < n; ++i) {
        if ((byte(at + i) & 0xC0) != 0x80)
            return 0;
        code = (code << 6) | (byte(at + i) & 0x3F);
    }
    // Overlong forms, surrogates and code points past Unicode are not UTF-8.
    static const std::uint32_t least[] = {0, 0, 0x80, 0x800, 0x10000};
    if (code < least[n] || (code >= 0xD800 && code <= 0xDFFF) || code > 0x10FFFF)
        return 0;
    return n;
}

namespace {

void appendUtf8(std::string &out, std::uint32_t code) {
    if (code < 0x80) {
        out += char(code);
    } else if (code < 0x800) {
        out += char(0xC0 | (code >> 6));
        out += char(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
        out += char(0xE0 | (code >> 12));
        out += char(0x80 | ((code >> 6) & 0x3F));
        out += char(0x80 | (code & 0x3F));
    } else {
        out += char(0xF0 | (code >> 18));
        out += char(0x80 | ((code >> 12) & 0x3F));
        out += char(0x80 | ((code >> 6) & 0x3F));
        out += char(0x80 | (code & 0x3F));
    }
}

} // namespace

void JsonReader::blanks() {
    while (at_ < text_.size() &&
           (text_[at_] == ' ' || text_[at_] == '\t' || text_[at_] == '\r' || text_[at_] == '\n'))
        ++at_;
}
bool JsonReader::take(char c) {
    blanks();
    if (at_ < text_.size() && text_[at_] == c) {
        ++at_;
        return true;
    }
    return false;
}
bool JsonReader::atEnd() {
    blanks();
    return at_ == text_.size();
}
char JsonReader::peek() {
    blanks();
    return at_ < text_.size() ? text_[at_] : '\0';
}

bool JsonReader::string(std::string &out) {
    if (!take('"'))
        return false;
    while (at_ < text_.size()) {
        const char c = text_[at_++];
        if (c == '"')
            return true;
        if (static_cast<unsigned char>(c) < 0x20)
            return false;
        if (c != '\\') {
            out += c;
            continue;
        }
        if (at_ >= text_.size())
            return false;
        switch (text_[at_++]) {
        case '"':
            out += '"';
            break;
        case '\\':
            out += '\\';
            break;
        case '/':
            out += '/';
            break;
        case 'b':
            out += '\b';
            break;
        case 'f':
            out += '\f';
            break;
        case 'n':
            out += '\n';
            break;
        case 'r':
            out += '\r';
            break;
        case 't':
            out += '\t';
            break;
        case 'u': {
            std::uint32_t code = 0;
            if (!hex(code))
                return false;
            if (code >= 0xD800 && code <= 0xDBFF && text_.compare(at_, 2, "\\u") == 0) {
                // A surrogate pair is one character past the first plane.
                const std::size_t back = at_;
                at_ += 2;
                std::uint32_t low = 0;
                if (hex(low) && low >= 0xDC00 && low <= 0xDFFF) {
                    appendUtf8(out, 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00));
                    break;
                }
                at_ = back;
            }
            if (code >= 0xDC80 && code <= 0xDCFF)
                out += char(code - 0xDC00); // a byte that was not UTF-8
            else
                appendUtf8(out, code);
            break;
        }
        default:
            return false;
        }
    }
    return false;
}

bool JsonReader::skipValue(int depth) {
    if (depth > 64)
        return false;
    const char c = peek();
    if (c == '"') {
        std::string ignored;
        return string(ignored);
    }
    if (c == '{' || c == '[') {
        const char close = c == '{' ? '}' : ']';
        ++at_;
        if (take(close))
            return true;
        do {
            if (close == '}') {
                std::string key;
                if (!string(key) || !take(':'))
                    return false;
            }
            if (!skipValue(depth + 1))
                return false;
        } while (take(','));
        return take(close);
    }
    if (word("true") || word("false") || word("null"))
        return true;
    double ignored = 0;
    return number(ignored);
}

bool JsonReader::hex(std::uint32_t &code) {
    if (at_ + 4 > text_.size())
        return false;
    for (int i = 0; i < 4; ++i) {
        const char c = text_[at_++];
        code <<= 4;
        if (c >= '0' && c <= '9')
            code |= std::uint32_t(c - '0');
        else if (c >= 'a' && c <= 'f')
            code |= std::uint32_t(c - 'a' + 10);
        else if (c >= 'A' && c <= 'F')
            code |= std::uint32_t(c - 'A' + 10);
        else
            return false;
    }
    return true;
}

bool JsonReader::number(double &value) {
    const std::size_t from = (blanks(), at_);
    while (at_ < text_.size() && (std::isalnum(static_cast<unsigned char>(text_[at_])) ||
                                  text_[at_] == '-' || text_[at_] == '+' || text_[at_] == '.'))
        ++at_;
    // A whole number of up to 15 digits, as the report's lists hold by the
    // thousand, is read at once; anything else as strtod reads it.
    const bool negative = at_ > from && text_[from] == '-';
    if (at_ - from - negative > 0 && at_ - from - negative <= 15 &&
        std::all_of(text_.begin() + std::ptrdiff_t(from + negative),
                    text_.begin() + std::ptrdiff_t(at_),
                    [](char c) { return c >= '0' && c <= '9'; })) {
        std::int64_t whole = 0;
        for (std::size_t i = from + negative; i < at_; ++i)
            whole = whole * 10 + (text_[i] - '0');
        value = double(negative ? -whole : whole);
        return true;
    }
    const std::string token = text_.substr(from, at_ - from);
    char *end = nullptr;
    value = std::strtod(token.c_str(), &end);
    return !token.empty() && *end == '\0';
}

bool JsonReader::word(const char *expected) {
    blanks();
    const std::size_t n = std::strlen(expected);
    if (text_.compare(at_, n, expected) != 0)
        return false;
    at_ += n;
    return true;
}

std::string jsonText(const std::string &text) {
    std::string out = "\"";
    for (std::size_t at = 0; at < text.size();) {
        const char c = text[at];
        const std::size_t n = utf8Length(text, at);
        char escape[8];
        if (n == 0) {
            std::snprintf(escape, sizeof escape, "\\u%04x", 0xDC00 + static_cast<unsigned char>(c));
            out += escape;
            ++at;
            continue;
        }
        if (n > 1) {
            out.append(text, at, n);
            at += n;
            continue;
        }
        ++at;
        switch (c) {
        case '"':
            out += "\\\"";
            break;
        case '\\':
            out += "\\\\";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\t':
            out += "\\t";
            break;
        case '\r':
            out += "\\r";
            break;
        default:
            if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) {
                std::snprintf(escape, sizeof escape, "\\u%04x", static_cast<unsigned char>(c));
                out += escape;
            } else {
                out += c;
            }
        }
    }
    return out + "\"";
}

bool jsonStrings(const std::string &line, std::map<std::string, std::string> &strings) {
    JsonReader in(line);
    if (!in.take('{'))
        return false;
    if (!in.take('}')) {
        do {
            std::string key;
            if (!in.string(key) || !in.take(':'))
                return false;
            if (in.peek() == '"') {
                std::string value;
                if (!in.string(value))
                    return false;
                strings[key] = value;
            } else if (!in.skipValue()) {
                return false;
            }
        } while (in.take(','));
        if (!in.take('}'))
            return false;
    }
    return in.atEnd();
}

} // namespace render
