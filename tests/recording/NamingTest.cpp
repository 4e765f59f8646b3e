// Output naming and template names, as tables.
#include "platform/Paths.h"
#include "recording/RunPlan.h"
#include "support/TestFiles.h"

#include <gtest/gtest.h>

TEST(Naming, OutputPathFollowsTheOptions) {
    const struct {
        const char *midi;
        int index;
        bool quality, preferred;
        const char *folder, *path;
    } cases[] = {
        {"/music/Song.mid", 5, true, false, "", "/music/Song_22050161.wav"},
        {"/music/Song.mid", 5, false, false, "", "/music/Song.wav"},
        {"/music/Song.mid", 0, true, false, "", "/music/Song_44100162.wav"},
        {"/music/Song.mid", 11, true, false, "", "/music/Song_11025081.wav"},
        {"/music/song.midi", 0, true, false, "", "/music/song._44100162.wav"},
        {"/music/song.midi", 0, false, false, "", "/music/song..wav"},
        {"/music/Song.mid", -1, true, false, "", "/music/Song"}, // no extension then
        {"/music/Song.mid", -1, false, false, "", "/music/Song.wav"},
        {"/music/Song.mid", 0, false, true, "/rec/", "/rec/Song.wav"},
        {"/music/Song.mid", 0, false, true, "/rec", "/Song.wav"},
        {"/music/Song.mid", 0, false, true, "/rec/deep/er/", "/rec/deep/er/Song.wav"},
        {"/music/Song.mid", 0, false, true, "", "/music/Song.wav"}, // empty: the MIDI's folder
        {"/music/Song.mid", 0, false, false, "/rec/", "/music/Song.wav"}, // box unchecked
        // A name shorter than the extension is cut alone, never its folder.
        {"/music/ab", 0, false, false, "", "/music/.wav"},
        {"/music/abcd", 0, false, false, "", "/music/.wav"},
        {"/music/abcde", 0, false, false, "", "/music/a.wav"},
        {"/a b/Ünï cödé.mid", 1, true, false, "", "/a b/Ünï cödé_44100161.wav"},
    };
    for (const auto &c : cases) {
        Options options;
        options.quality = c.index;
        options.qualityInName = c.quality;
        options.preferDirectory = c.preferred;
        options.directory = c.folder;
        EXPECT_EQ(OutputFolder(options, c.midi) + OutputName(options, c.midi), c.path)
            << c.midi << " index " << c.index << " folder " << c.folder;
    }
}

TEST(Naming, TemplateBaseNamesOfTheFormat) {
    const std::pair<int, const char *> cases[] = {
        {0, "KWQF0000"}, {3, "KWQF0003"}, {11, "KWQF0011"}, {-1, "KWQF00-01"}};
    for (auto [index, base] : cases)
        EXPECT_EQ(TemplateBaseNameOf(index), base);
    EXPECT_EQ(paths::templateFolder(), paths::programFolder() + "binlib/");
}

TEST(Templates, EachIsAnEmptyPcmWaveInItsFormat) {
    const std::pair<int, audio::WaveFormat> rows[] = {
        {0, {44100, 2, 16}}, {1, {44100, 1, 16}}, {2, {44100, 2, 8}},  {3, {44100, 1, 8}},
        {4, {22050, 2, 16}}, {5, {22050, 1, 16}}, {6, {22050, 2, 8}},  {7, {22050, 1, 8}},
        {8, {11025, 2, 16}}, {9, {11025, 1, 16}}, {10, {11025, 2, 8}}, {11, {11025, 1, 8}}};
    for (auto [index, format] : rows) {
        char name[32];
        std::snprintf(name, sizeof name, "KWQF00%02d.bin", index);
        const test::WaveData w = test::readWave(paths::templateFolder() + name);
        EXPECT_EQ(w.format, format) << name;
        EXPECT_EQ(w.frames(), 0) << name;
    }
}
