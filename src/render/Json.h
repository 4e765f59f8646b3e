// The report's JSON lines: strings written in ASCII and UTF-8 only (with the
// bytes of names that are not UTF-8 kept), and read back by --check.
#pragma once

#include <cstdint>
#include <map>
#include <string>

namespace render {

/// Reads JSON from one line, one value at a time. Each call passes over
/// blanks first and returns false, having read no further than it could,
/// when what it expects is not there.
class JsonReader {
public:
    explicit JsonReader(const std::string &text) : text_(text) {}
    bool take(char c);
    char peek();
    bool atEnd();
    /// A string, decoded (lone surrogates U+DC80 to U+DCFF back into bytes).
    bool string(std::string &out);
    bool number(double &value);
    /// A literal such as "true" or "null".
    bool word(const char *expected);
    /// Any one value, passed over.
    bool skipValue(int depth = 0);

private:
    void blanks();
    bool hex(std::uint32_t &code);

    const std::string &text_;
    std::size_t at_ = 0;
};

/// The length of the well-formed UTF-8 character at `at` of `text`, or 0.
std::size_t utf8Length(const std::string &text, std::size_t at);

/// `text` as a JSON string, quotes included. A byte that is not part of a
/// well-formed UTF-8 character (file names are bytes) is written as the
/// lone surrogate U+DC00 + the byte, as Python's "surrogateescape" does, so
/// that the exact bytes can be had back.
std::string jsonText(const std::string &text);

/// The members of the JSON object `line` whose values are strings, decoded
/// (lone surrogates U+DC80 to U+DCFF back into their bytes). False when
/// the line is not one well-formed JSON object.
bool jsonStrings(const std::string &line, std::map<std::string, std::string> &strings);

} // namespace render
