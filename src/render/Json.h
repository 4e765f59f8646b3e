// The report's JSON lines: strings written in ASCII and UTF-8 only (with the
// bytes of names that are not UTF-8 kept), and read back by --check.
#pragma once

#include <map>
#include <string>

namespace render {

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
