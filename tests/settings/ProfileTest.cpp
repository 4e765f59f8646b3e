// The integer text rule, and private-profile files read and written by the
// platform's rules: names matched ignoring case, blanks and quotes, other
// content kept, the 2047-character limit, refused and protected writes.
#include "platform/profile/Profile.h"
#include "settings/IniFiles.h"
#include "support/TestFiles.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <sys/stat.h>

TEST(IntegerText, FollowsTheRule) {
    const std::pair<const char *, std::optional<std::int32_t>> cases[] = {
        {"0", 0},
        {"312", 312},
        {"-1", -1},
        {"+7", 7},
        {"   42", 42},
        {"2147483647", 2147483647},
        {"-2147483648", INT32_MIN},
        {"0x3", 3},
        {"0X1f", 31},
        {"$3", 3},
        {"x3", 3},
        {"X3", 3},
        {"$FFFFFFFF", -1},
        {"$80000000", INT32_MIN},
        {"$000000001", 1},
        {"  0x10", 16},
        {"", std::nullopt},
        {"   ", std::nullopt},
        {"42 ", std::nullopt},
        {"3x", std::nullopt},
        {"-$3", std::nullopt},
        {"-0x3", std::nullopt},
        {"+", std::nullopt},
        {"-", std::nullopt},
        {"$", std::nullopt},
        {"0x", std::nullopt},
        {"2147483648", std::nullopt},
        {"-2147483649", std::nullopt},
        {"$100000000", std::nullopt},
        {"true", std::nullopt},
        {"yes", std::nullopt},
        {"\t5", std::nullopt},
        {"1.5", std::nullopt},
    };
    for (auto [text, expected] : cases)
        EXPECT_EQ(IntegerText(text), expected) << '"' << text << '"';
}

TEST(Profile, ReadsByThePlatformsRules) {
    test::TempDir dir;
    const std::string file = dir.path("a.ini");
    test::writeFile(file, {});
    std::string text = "; a comment\r\n"
                       "[Other]\r\n"
                       "Key=other\r\n"
                       "  [ kestrune V0.3 ]  \r\n"
                       "  key one  =  spaced value  \r\n"
                       "quoted=\"  kept blanks \"\r\n"
                       "single='x'\r\n"
                       "half=\"open\r\n"
                       "noequals\r\n"
                       "empty=\r\n";
    std::ofstream(file, std::ios::binary) << "\xEF\xBB\xBF" << text;
    auto read = [&](const char *section, const char *key) {
        char buffer[2048];
        unsigned n = profile::getPrivateProfileString(section, key, "dflt  ", buffer, sizeof buffer,
                                                      file.c_str());
        return std::string(buffer, n);
    };
    EXPECT_EQ(read("Kestrune v0.3", "KEY ONE"), "spaced value");
    EXPECT_EQ(read("Kestrune v0.3", "quoted"), "  kept blanks ");
    EXPECT_EQ(read("Kestrune v0.3", "single"), "x");
    EXPECT_EQ(read("Kestrune v0.3", "half"), "\"open");
    EXPECT_EQ(read("Kestrune v0.3", "empty"), "");
    EXPECT_EQ(read("Kestrune v0.3", "noequals"), "");
    EXPECT_EQ(read("Kestrune v0.3", "Key"), "dflt"); // only in the other section
    EXPECT_EQ(read("other", "key"), "other");
    EXPECT_EQ(read("Missing", "key"), "dflt");
    EXPECT_EQ(read("Kestrune v0.3", "; a comment"), "dflt");
    EXPECT_EQ(read("Other", "Key"), read("OTHER", "KEY"));
    // A missing file answers with the default too.
    char buffer[16];
    EXPECT_EQ(profile::getPrivateProfileString("s", "k", "d", buffer, sizeof buffer,
                                               dir.path("none.ini").c_str()),
              1u);
}

TEST(Profile, WritingKeepsEverythingElse) {
    test::TempDir dir;
    const std::string file = dir.path("a.ini");
    test::writeFile(file, {});
    std::ofstream(file) << "; settings\n[First]\nA = 1\n\n[Kestrune v0.3]\nKEEP=me\nRecording "
                           "Quality = 4\n\n[Last]\nz=9\n";
    ASSERT_TRUE(profile::writePrivateProfileString("kestrune v0.3", "recording quality", "7",
                                                   file.c_str()));
    ASSERT_TRUE(profile::writePrivateProfileString("Kestrune v0.3", "New", "x", file.c_str()));
    ASSERT_TRUE(profile::writePrivateProfileString("Added", "k", "", file.c_str()));
    std::ifstream in(file);
    const std::string text{std::istreambuf_iterator<char>(in), {}};
    EXPECT_EQ(text, "; settings\n[First]\nA = 1\n\n[Kestrune v0.3]\nKEEP=me\nRecording "
                    "Quality=7\nNew=x\n\n[Last]\nz=9\n\n[Added]\nk=\n");
    EXPECT_EQ(dir.entries(), std::vector<std::string>{"a.ini"}); // no temporary left
}

TEST(Profile, WritingKeepsTheFilesLineEnds) {
    test::TempDir dir;
    auto text = [](const std::string &file) {
        std::ifstream in(file, std::ios::binary);
        return std::string{std::istreambuf_iterator<char>(in), {}};
    };
    struct Case {
        const char *name, *before, *after;
    } cases[] = {
        // Written by another tool with CRLF: a changed key, a new key and a
        // new section all end in CRLF, and so does a last line that had no end.
        {"CRLF", "[Kestrune v0.3]\r\nRecording Quality=4\r\n\r\n[Other]\r\nx=1",
         "[Kestrune v0.3]\r\nRecording Quality=7\r\nNew=n\r\n\r\n[Other]\r\nx=1\r\n\r\n"
         "[Added]\r\nk=v\r\n"},
        {"LF", "[Kestrune v0.3]\nRecording Quality=4\n",
         "[Kestrune v0.3]\nRecording Quality=7\nNew=n\n\n[Added]\nk=v\n"},
        // Mixed: every line keeps its own end; new lines follow the first line.
        {"mixed", "; made by hand\r\n[Kestrune v0.3]\nRecording Quality=4\r\n",
         "; made by hand\r\n[Kestrune v0.3]\nRecording Quality=7\r\nNew=n\r\n\r\n"
         "[Added]\r\nk=v\r\n"},
        {"new file", nullptr, "[Kestrune v0.3]\nRecording Quality=7\nNew=n\n\n[Added]\nk=v\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const std::string file = dir.path(std::string(c.name) + ".ini");
        if (c.before)
            std::ofstream(file, std::ios::binary) << c.before;
        ASSERT_TRUE(profile::writePrivateProfileString("Kestrune v0.3", "Recording Quality", "7",
                                                       file.c_str()));
        ASSERT_TRUE(profile::writePrivateProfileString("Kestrune v0.3", "New", "n", file.c_str()));
        ASSERT_TRUE(profile::writePrivateProfileString("Added", "k", "v", file.c_str()));
        EXPECT_EQ(text(file), c.after);
    }
}

TEST(Profile, RefusesWhatWouldDamageTheFileAndProtectedFiles) {
    test::TempDir dir;
    const std::string file = dir.path("a.ini");
    ASSERT_TRUE(profile::writePrivateProfileString("S", "k", "v", file.c_str()));
    const std::string before = [&] {
        std::ifstream in(file);
        return std::string{std::istreambuf_iterator<char>(in), {}};
    }();
    // A folder name with a line break would add a key of its own.
    EXPECT_FALSE(profile::writePrivateProfileString("S", "k", "/tmp/a\nEvil=1", file.c_str()));
    EXPECT_FALSE(profile::writePrivateProfileString("S", "k\r", "v", file.c_str()));
    EXPECT_FALSE(profile::writePrivateProfileString("S]x", "k", "v", file.c_str()));
    ::chmod(file.c_str(), 0444);
    EXPECT_FALSE(profile::writePrivateProfileString("S", "k", "w", file.c_str()));
    EXPECT_FALSE(profile::writePrivateProfileString("S", "k", "w", dir.path("gone/a.ini").c_str()));
    std::ifstream in(file);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), before);
    EXPECT_EQ(dir.entries(), std::vector<std::string>{"a.ini"});
}

TEST(IniFile, ReadsAtMost2047CharactersAndReportsFailedWrites) {
    test::TempDir dir;
    TIniFile ini(dir.path("k.ini"));
    ini.WriteString("S", "long", std::string(3000, 'a'));
    EXPECT_EQ(ini.ReadString("S", "long", ""), std::string(2047, 'a'));
    // Never cut inside a character.
    ini.WriteString("S", "wide", std::string(2046, 'a') + "あい");
    EXPECT_EQ(ini.ReadString("S", "wide", "").size(), 2046u);

    ini.WriteBool("S", "b", true);
    ini.WriteInteger("S", "i", -12);
    EXPECT_TRUE(ini.ReadBool("S", "b", false));
    EXPECT_EQ(ini.ReadInteger("S", "i", 0), -12);
    EXPECT_EQ(ini.ReadInteger("S", "long", 5), 5);

    TIniFile nowhere(dir.path("gone/k.ini"));
    try {
        nowhere.WriteString("S", "k", "v");
        ADD_FAILURE() << "no error raised";
    } catch (const EIniFileException &e) {
        EXPECT_EQ(e.Message(), dir.path("gone/k.ini") + " に書き込めません");
    }
}
