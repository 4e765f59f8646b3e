// Private-profile files (ini files): reading and writing one key at a time
// by the rules of the platform's private-profile functions.
#pragma once

#include <string>
#include <vector>

namespace profile {

/// An ini file's text as lines, each known as a section header, a key, or
/// anything else (comments, blank lines, junk), which is kept as it stands.
class ProfileText {
public:
    explicit ProfileText(const std::string &text = {});

    /// The value of `key` in `section` (both matched ignoring case), with
    /// the blanks around it and a matching pair of enclosing quotes removed;
    /// false when there is no such key.
    bool find(const std::string &section, const std::string &key, std::string &value) const;
    /// Sets `key` in `section`, adding the section at the end and the key at
    /// the end of its section when they are missing. Every other line stays.
    void set(const std::string &section, const std::string &key, const std::string &value);
    /// The whole text. Each line keeps the end it had ("\r\n" or "\n");
    /// new lines, and a last line that had none, end as the file's first
    /// line does ("\n" in a new file).
    std::string text() const;

private:
    struct Line {
        enum Kind { Other, Section, Key } kind = Other;
        std::string raw;           // the line as it stands in the file, without its end
        std::string name;          // section or key name, trimmed
        const char *end = nullptr; // "\r\n", "\n", or null for the file's own style
    };
    std::vector<Line> lines_;
    bool byteOrderMark_ = false; // kept on write
    const char *lineEnd_ = "\n"; // the file's own style, from its first line
};

/// Whether `fileName` can be read as a settings file: true when it is a
/// regular file of a settings file's size, or does not exist; else false,
/// with `why` ("it is not a regular file"). Never waits on a FIFO.
bool isReadableFile(const char *fileName, std::string &why);

/// As the platform's GetPrivateProfileString with a section and a key
/// (a file that cannot be read, a FIFO or a folder among them, gives the
/// default):
/// copies the value (or `defaultValue`, without its trailing blanks) into
/// `buffer`, cut to `size` − 1 bytes and never inside a character; returns
/// the number of bytes copied.
unsigned getPrivateProfileString(const char *section, const char *key, const char *defaultValue,
                                 char *buffer, unsigned size, const char *fileName);

/// As the platform's WritePrivateProfileString with a section, a key and a
/// value: creates the file, section or key as needed. The file is replaced
/// whole (a temporary file, then a rename), so it is never left half
/// written. Returns false when it cannot be written: the folder or the file
/// is write-protected, the disk is full, or the name or value holds a line
/// break, which the format cannot store.
bool writePrivateProfileString(const char *section, const char *key, const char *value,
                               const char *fileName);

/// One key's value in a section.
struct ProfileEntry {
    std::string section, key, value;
};

/// Sets several keys at once, by the same rules, in one replacement of the
/// file: it holds all of them or none.
bool writeProfileStrings(const std::vector<ProfileEntry> &entries, const char *fileName);

} // namespace profile
