// TIniFile: the settings accessor, holding only the file's full path and
// reading or writing one key per call.
#pragma once

#include "platform/Exception.h"

#include <cstdint>
#include <optional>
#include <string>

/// A settings file that could not be written.
class EIniFileException : public Exception {
public:
    using Exception::Exception;
};

/// The integer text rule: decimal with an optional sign, or hexadecimal
/// after "$", "x", "X", "0x" or "0X" (32 bits, wrapping to negative), after
/// leading spaces and with nothing behind. Nothing when the text fails it.
std::optional<std::int32_t> IntegerText(const std::string &text);

class TIniFile {
public:
    explicit TIniFile(std::string fileName) : fileName_(std::move(fileName)) {}

    const std::string &FileName() const { return fileName_; }

    /// At most 2047 characters.
    std::string ReadString(const std::string &section, const std::string &key,
                           const std::string &defaultValue) const;
    std::int32_t ReadInteger(const std::string &section, const std::string &key,
                             std::int32_t defaultValue) const;
    bool ReadBool(const std::string &section, const std::string &key, bool defaultValue) const;

    /// Raise EIniFileException "<path> に書き込めません" when the file cannot be written.
    void WriteString(const std::string &section, const std::string &key,
                     const std::string &value) const;
    void WriteInteger(const std::string &section, const std::string &key, std::int32_t value) const;
    void WriteBool(const std::string &section, const std::string &key, bool value) const;

private:
    std::string fileName_;
};
