// Stems and parts: every channel on its own in one pass, adding up to the
// song; channels muted, played alone or held on a preset; songs whose tracks
// name MIDI ports.
#include "render/Stems.h"
#include "engine/Engine.h"
#include "engine/Levels.h"
#include "render/RenderFixture.h"
#include "support/SoundFontWriter.h"

#include <QJsonArray>

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>

namespace {

// The samples of several files added up, as doubles.
std::vector<double> sumOf(const std::vector<std::string> &files) {
    std::vector<double> sum;
    for (const std::string &file : files) {
        const test::WaveData w = test::readWave(file);
        sum.resize(std::max(sum.size(), w.samples.size()));
        for (std::size_t i = 0; i < w.samples.size(); ++i)
            sum[i] += w.samples[i];
    }
    return sum;
}

// The largest difference between two sets of samples, and whether they are
// as long.
double largestDifference(const std::vector<double> &a, const std::vector<float> &b) {
    if (a.size() != b.size())
        return 1e9;
    double most = 0;
    for (std::size_t i = 0; i < a.size(); ++i)
        most = std::max(most, std::fabs(a[i] - double(b[i])));
    return most;
}

std::vector<std::string> filesIn(const std::string &folder) {
    std::vector<std::string> files;
    for (const auto &entry : std::filesystem::directory_iterator(folder))
        files.push_back(entry.path().string());
    std::sort(files.begin(), files.end());
    return files;
}

// Sign changes of the left channel from 0.2 s to 0.5 s (a 441 Hz square: 265).
int signChanges(const test::WaveData &w) {
    int changes = 0;
    for (std::size_t i = std::size_t(0.2 * 44100); i < std::size_t(0.5 * 44100); ++i)
        changes += (w.samples[2 * i] > 0) != (w.samples[2 * i - 2] > 0);
    return changes;
}

test::Bytes meta(int type, const std::string &text) {
    test::Bytes b{0xFF, std::uint8_t(type), std::uint8_t(text.size())};
    for (const char c : text)
        b.push_back(std::uint8_t(c));
    return b;
}

} // namespace

TEST_F(Render, TheStemsAddUpToTheSongAtEveryDepth) {
    const std::string file = "/usr/share/games/openttd/baseset/openmsx/5432gone_redfarn.mid";
    if (!std::filesystem::exists(file))
        GTEST_SKIP() << "the OpenMSX set is not installed (scripts/install-deps installs it)";
    std::filesystem::copy_file(file, dir.path("song.mid"));
    // Each channel with its own effects at every depth; dry, with the
    // shared reverb's and chorus's returns.
    const struct {
        const char *bits;
        double step; // of the depth; 0 for float
        const char *stems;
    } depths[] = {{"float", 0, "--stems"},
                  {"24", 1.0 / 8388607, "--stems"},
                  {"16", 1.0 / 32767, "--stems"},
                  {"float", 0, "--stems=dry"}};
    for (const auto &d : depths) {
        SCOPED_TRACE(std::string(d.bits) + " " + d.stems);
        const QStringList common{"--bits",   d.bits, "--dither", "off", "--reverb", "on",
                                 "--chorus", "on",   "--tail",   "1",   "song.mid"};
        ASSERT_EQ(render(QStringList{"-o", "plain/"} + common).exit, 0);
        const Ran ran = render(QStringList{d.stems} + common);
        ASSERT_EQ(ran.exit, 0) << ran.said;
        const std::vector<std::string> stems = filesIn(dir.path("song.stems"));
        ASSERT_GE(stems.size(), 4u);
        const test::WaveData plain = test::readWave(dir.path("plain/song.wav"));
        // Float: rounding only. PCM: each stem rounded to its step, then added.
        const double allowed = d.step == 0 ? 1e-5 : (0.5 * double(stems.size()) + 1) * d.step;
        EXPECT_LE(largestDifference(sumOf(stems), plain.samples), allowed);
        // The song written beside its stems is the plain render.
        EXPECT_LE(largestDifference(sumOf({dir.path("song.wav")}), plain.samples), allowed);
        if (std::string(d.stems) == "--stems=dry") {
            // The reverb is in its own stem, not in the channels'.
            const std::vector<double> reverb = sumOf({dir.path("song.stems/Reverb.wav")});
            EXPECT_GT(*std::max_element(reverb.begin(), reverb.end()), 0.01);
            EXPECT_EQ(stems.back(), dir.path("song.stems/Reverb.wav"));
        }
        std::filesystem::remove_all(dir.path("song.stems"));
    }
}

TEST_F(Render, AStemHoldsItsChannelAloneAndPartsChangeWhatPlays) {
    // A piano on channel 1; on channel 2 a square wave (bank 5, program 7,
    // only in the test's SoundFont) named by its track.
    test::writeFile(dir.path("square.sf2"), test::squareSoundFont(5, 7));
    test::TrackWriter piano, square;
    piano.delta(0).program(0, 0).delta(96).noteOn(0, 48, 110).delta(480).noteOff(0, 48);
    piano.delta(96).end();
    square.delta(0).raw(meta(0x03, "Lead: Square")).delta(0).raw({0xB1, 0x00, 0x05});
    square.delta(0).raw({0xC1, 0x07}).delta(96).noteOn(1, 60, 127).delta(480).noteOff(1, 60);
    square.delta(96).end();
    song("parts.mid", test::midiFile(1, 480, {piano.bytes(), square.bytes()}));
    const QString gm = QString::fromStdString(audio::findSoundFont({}, audio::readDevicesConfig()));
    const QStringList common{"--soundfont", gm,       "--soundfont", "square.sf2", "--bits",
                             "float",       "--tail", "0.5",         "--dither",   "off"};
    ASSERT_EQ(render(common + QStringList{"--stems", "only", "parts.mid"}).exit, 0);
    EXPECT_FALSE(std::filesystem::exists(dir.path("parts.wav")));
    const std::string one = dir.path("parts.stems/01 Acoustic Grand Piano.wav");
    const std::string two = dir.path("parts.stems/02 Lead_ Square.wav");
    ASSERT_EQ(filesIn(dir.path("parts.stems")), (std::vector<std::string>{one, two}));
    EXPECT_NEAR(signChanges(test::readWave(two)), 265, 10);
    EXPECT_GT(std::abs(signChanges(test::readWave(one)) - 132), 20);

    // A part left out is the rest of the stems; one played alone is its stem.
    const struct {
        const char *option, *channels;
        std::string stem;
    } alone[] = {{"--mute", "2", one}, {"--solo", "2", two}};
    for (const auto &a : alone) {
        SCOPED_TRACE(a.option);
        ASSERT_EQ(render(common + QStringList{a.option, a.channels, "parts.mid"}).exit, 0);
        EXPECT_LE(largestDifference(sumOf({a.stem}), test::readWave(dir.path("parts.wav")).samples),
                  1e-5);
    }
    // Held on a preset, a channel keeps it through the song's own program
    // changes, and plays what the preset sounds like.
    const struct {
        const char *held;
        bool squareOnOne, squareOnTwo;
    } holds[] = {{"2=0", false, false}, {"1=7:5", true, true}};
    for (const auto &h : holds) {
        SCOPED_TRACE(h.held);
        ASSERT_EQ(render(common + QStringList{"--stems", "--program", h.held, "parts.mid"}).exit,
                  0);
        // Key 48 on channel 1: the square an octave down.
        EXPECT_EQ(std::abs(signChanges(test::readWave(one)) - 132) <= 6, h.squareOnOne);
        EXPECT_EQ(std::abs(signChanges(test::readWave(two)) - 265) <= 10, h.squareOnTwo);
    }
    // Channels that do not exist, and a preset no SoundFont holds, are refused by name.
    for (const char *wrong : {"17", "C0", "x"})
        EXPECT_EQ(render({"--mute", wrong, "parts.mid"}).exit, 2) << wrong;
    const Ran missing = render(common + QStringList{"--program", "1=7:9", "parts.mid"});
    EXPECT_EQ(missing.exit, 1);
    EXPECT_NE(missing.said.find("preset 7 of bank 9"), std::string::npos) << missing.said;
}

TEST_F(Render, TwoPortSongsPlayEachPortOnChannelsOfTheirOwn) {
    // Port A's piano on channel 1; port B's track sets its channel 1 silent,
    // or plays the same part there.
    auto track = [](int port, bool silent, bool notes) {
        test::TrackWriter t;
        t.delta(0).raw({0xFF, 0x21, 0x01, std::uint8_t(port)});
        if (silent)
            t.delta(0).raw({0xB0, 0x07, 0x00});
        if (notes)
            t.delta(96).noteOn(0, 60, 110).delta(480).noteOff(0, 60);
        return t.delta(96).end().bytes();
    };
    song("silencer.mid", test::midiFile(1, 480, {track(0, false, true), track(1, true, false)}));
    song("both.mid", test::midiFile(1, 480, {track(0, false, true), track(1, false, true)}));
    song("a.mid", test::midiFile(1, 480, {track(0, false, true), track(1, false, false)}));
    song("b.mid", test::midiFile(1, 480, {track(0, false, false), track(1, false, true)}));
    const QStringList common{"--bits", "float", "--tail", "0.5", "--dither", "off", "--stems"};
    for (const char *file : {"silencer.mid", "both.mid", "a.mid", "b.mid"})
        ASSERT_EQ(render(common + QStringList{file}).exit, 0) << file;
    EXPECT_GT(test::readWave(dir.path("silencer.wav")).rms(0.1, 0.5), 0.003);
    const std::string a1 = "both.stems/A01 Acoustic Grand Piano.wav";
    const std::string b1 = "both.stems/B01 Acoustic Grand Piano.wav";
    ASSERT_EQ(filesIn(dir.path("both.stems")),
              (std::vector<std::string>{dir.path(a1), dir.path(b1)}));
    EXPECT_GT(test::readWave(dir.path(b1)).rms(0.1, 0.5), 0.003);
    // Each port's stem is that port's part rendered alone.
    EXPECT_LE(
        largestDifference(sumOf({dir.path(a1)}),
                          test::readWave(dir.path("a.stems/01 Acoustic Grand Piano.wav")).samples),
        1e-6);
    EXPECT_LE(
        largestDifference(sumOf({dir.path(b1)}),
                          test::readWave(dir.path("b.stems/B01 Acoustic Grand Piano.wav")).samples),
        1e-6);
}

TEST_F(Render, StemsAreReportedCheckedAndRecordedAgainWhenOneIsMissingOrShort) {
    // Two channels: a stem each, in the report with its levels.
    test::TrackWriter t;
    t.delta(0).program(1, 40).delta(48).noteOn(0, 60, 100).delta(0).noteOn(1, 67, 100);
    t.delta(480).noteOff(0, 60).delta(0).noteOff(1, 67).delta(48).end();
    song("duo.mid", test::midiFile(0, 480, {t.bytes()}));
    const QStringList common{"--stems", "--tail", "0", "duo.mid"};
    ASSERT_EQ(render(common + QStringList{"--report", "r.jsonl"}).exit, 0);
    const QJsonObject line = report(dir.path("r.jsonl"))["duo.mid"];
    const QJsonArray stems = line["stems"].toArray();
    ASSERT_EQ(stems.size(), 2);
    EXPECT_EQ(stems[1].toObject()["output"].toString(), "duo.stems/02 Violin.wav");
    // What each reports is what its file holds: the mix and its stems are
    // measured as they are written, two at a time.
    QJsonArray outputs = stems;
    outputs.prepend(line);
    for (const QJsonValue &output : outputs) {
        const QJsonObject o = output.toObject();
        const std::string path = dir.path(o["output"].toString().toStdString());
        audio::Levels levels;
        std::string error;
        ASSERT_TRUE(audio::measureLevels(path, levels, error)) << error;
        EXPECT_NEAR(o["loudness_lufs"].toDouble(), levels.loudness, 0.01) << path;
        EXPECT_NEAR(o["true_peak_dbtp"].toDouble(), levels.truePeakDb, 0.01) << path;
        EXPECT_LT(o["peak_dbfs"].toDouble(), 0) << path;
    }
    EXPECT_EQ(render(QStringList{"--check"} + common).exit, 0);
    // A stem missing, or cut short, is a problem, and is recorded again.
    const std::string violin = dir.path("duo.stems/02 Violin.wav");
    for (const bool missing : {true, false}) {
        SCOPED_TRACE(missing ? "missing" : "short");
        if (missing)
            std::filesystem::remove(violin);
        else
            std::filesystem::resize_file(violin, 1000);
        const Ran check = render(QStringList{"--check"} + common);
        EXPECT_EQ(check.exit, 1);
        ASSERT_EQ(render(QStringList{"--skip-existing", "--report", "again.jsonl"} + common).exit,
                  0);
        EXPECT_EQ(report(dir.path("again.jsonl"))["duo.mid"]["status"].toString(), "ok");
        EXPECT_EQ(render(QStringList{"--check"} + common).exit, 0);
        std::filesystem::remove(dir.path("again.jsonl"));
    }
    // All whole: left out.
    ASSERT_EQ(render(QStringList{"--skip-existing", "--report", "again.jsonl"} + common).exit, 0);
    EXPECT_EQ(report(dir.path("again.jsonl"))["duo.mid"]["status"].toString(), "skipped");
}

TEST(StemNames, ATrackNamesAStemOnlyWhenItPlaysThatChannelAlone) {
    // A format-0 song named "Drums" plays brass and drums; a format-1 song's
    // "Strings" track plays two channels and its "Bass" track one.
    test::TrackWriter whole, strings, bass;
    whole.delta(0).raw(meta(0x03, "Drums")).delta(0).raw({0xC0, 61}).delta(0).noteOn(0, 60, 100);
    whole.delta(0)
        .noteOn(9, 36, 100)
        .delta(96)
        .noteOff(0, 60)
        .delta(0)
        .noteOff(9, 36)
        .delta(0)
        .end();
    strings.delta(0).raw(meta(0x03, "Strings")).delta(0).raw({0xC2, 48}).delta(0).raw({0xC3, 40});
    strings.delta(0).noteOn(2, 60, 100).delta(0).noteOn(3, 64, 100).delta(96).end();
    bass.delta(0).raw(meta(0x03, "Bass")).delta(0).raw({0xC4, 33}).delta(0).noteOn(4, 40, 100);
    bass.delta(96).end();
    const test::TempDir dir;
    const struct {
        test::Bytes song;
        std::vector<std::string> stems;
    } cases[] = {
        {test::midiFile(0, 480, {whole.bytes()}), {"01 Brass Section.wav", "10 Drums.wav"}},
        {test::midiFile(1, 480, {strings.bytes(), bass.bytes()}),
         {"03 String Ensemble 1.wav", "04 Violin.wav", "05 Bass.wav"}},
    };
    for (const auto &c : cases) {
        test::writeFile(dir.path("song.mid"), c.song);
        std::vector<std::string> names;
        for (const render::StemOutput &stem :
             render::stemOutputsOf(render::Request{}, dir.path("song.mid"), "out/song.wav"))
            names.push_back(stem.path.substr(std::string("out/song.stems/").size()));
        EXPECT_EQ(names, c.stems);
    }
}
