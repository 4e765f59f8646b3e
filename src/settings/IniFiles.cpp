// TIniFile over the private-profile functions, and the integer text rule.
#include "settings/IniFiles.h"

#include "platform/Texts.h"
#include "platform/profile/Profile.h"

#include <vector>

std::optional<std::int32_t> IntegerText(const std::string &original) {
    std::string text = original;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X'))
        text.replace(0, 2, "$");
    std::size_t at = text.find_first_not_of(' ');
    if (at == std::string::npos)
        return std::nullopt;
    auto isHexPrefix = [&](std::size_t i) -> std::size_t {
        if (i < text.size() && (text[i] == '$' || text[i] == 'x' || text[i] == 'X'))
            return 1;
        if (i + 1 < text.size() && text[i] == '0' && (text[i + 1] == 'x' || text[i + 1] == 'X'))
            return 2;
        return 0;
    };
    if (const std::size_t prefix = isHexPrefix(at)) {
        at += prefix;
        if (at == text.size())
            return std::nullopt;
        std::uint64_t value = 0;
        for (; at < text.size(); ++at) {
            const char c = text[at];
            int digit;
            if (c >= '0' && c <= '9')
                digit = c - '0';
            else if (c >= 'a' && c <= 'f')
                digit = c - 'a' + 10;
            else if (c >= 'A' && c <= 'F')
                digit = c - 'A' + 10;
            else
                return std::nullopt;
            value = value * 16 + static_cast<std::uint64_t>(digit);
            if (value > 0xFFFFFFFFull)
                return std::nullopt;
        }
        return static_cast<std::int32_t>(static_cast<std::uint32_t>(value));
    }
    bool negative = false;
    if (text[at] == '+' || text[at] == '-')
        negative = text[at++] == '-';
    if (at == text.size())
        return std::nullopt;
    std::int64_t value = 0;
    for (; at < text.size(); ++at) {
        const char c = text[at];
        if (c < '0' || c > '9')
            return std::nullopt;
        value = value * 10 + (c - '0');
        if (value > 2147483648LL)
            return std::nullopt;
    }
    if (negative)
        value = -value;
    if (value > 2147483647LL)
        return std::nullopt;
    return static_cast<std::int32_t>(value);
}

std::string TIniFile::ReadString(const std::string &section, const std::string &key,
                                 const std::string &defaultValue) const {
    std::vector<char> buffer(2048);
    const unsigned n = profile::getPrivateProfileString(
        section.c_str(), key.c_str(), defaultValue.c_str(), buffer.data(),
        static_cast<unsigned>(buffer.size()), fileName_.c_str());
    return std::string(buffer.data(), n);
}

std::int32_t TIniFile::ReadInteger(const std::string &section, const std::string &key,
                                   std::int32_t defaultValue) const {
    return IntegerText(ReadString(section, key, "")).value_or(defaultValue);
}

bool TIniFile::ReadBool(const std::string &section, const std::string &key,
                        bool defaultValue) const {
    return ReadInteger(section, key, defaultValue ? 1 : 0) != 0;
}

void TIniFile::WriteString(const std::string &section, const std::string &key,
                           const std::string &value) const {
    if (profile::writePrivateProfileString(section.c_str(), key.c_str(), value.c_str(),
                                           fileName_.c_str()))
        return;
    std::string message = platform::translate("TIniFile", "%1 に書き込めません");
    if (const auto at = message.find("%1"); at != std::string::npos)
        message.replace(at, 2, fileName_);
    throw EIniFileException(message);
}

void TIniFile::WriteInteger(const std::string &section, const std::string &key,
                            std::int32_t value) const {
    WriteString(section, key, std::to_string(value));
}

void TIniFile::WriteBool(const std::string &section, const std::string &key, bool value) const {
    WriteString(section, key, value ? "1" : "0");
}
