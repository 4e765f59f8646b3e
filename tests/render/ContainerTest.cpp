// kestrune-render's containers, rates, depths and tags, read back by
// libsndfile and by outside tools (soxi, flac, ffprobe), and its output
// piped to them.
#include "engine/Levels.h"
#include "engine/MidiFile.h"
#include "engine/WaveJournal.h"
#include "render/Finish.h"
#include "render/RenderFixture.h"
#include "support/EventLoop.h"
#include "support/SoundFontWriter.h"

#include <QProcess>

#include <gtest/gtest.h>
#include <sndfile.h>

#include <cmath>
#include <fcntl.h>
#include <filesystem>
#include <numbers>
#include <unistd.h>

namespace {

bool have(const char *tool) {
    return std::system((std::string("command -v ") + tool + " >/dev/null 2>&1").c_str()) == 0;
}

// What a shell command prints on its standard output, and how it ended.
struct Shell {
    int exit = -1;
    std::string out;
};

Shell shell(const std::string &folder, const std::string &command) {
    QProcess process;
    process.setWorkingDirectory(QString::fromStdString(folder));
    process.start("sh", {"-c", QString::fromStdString(command)});
    EXPECT_TRUE(process.waitForFinished(120000)) << command;
    return {process.exitCode(), process.readAll().toStdString()};
}

// The program, as a shell command.
std::string program() {
    return "'" + paths::programFolder() + "kestrune-render'";
}

// The frames of the 0.9 s song at `rate`, where the synthesiser renders at
// the rate itself up to 96000 Hz: its whole frames at that rate, resampled.
std::int64_t framesAt(int rate) {
    const std::int64_t engine = std::min(rate, 96000);
    return (engine * 9 / 10 * rate + engine - 1) / engine;
}

long long number(const std::string &text) {
    return std::atoll(text.c_str());
}

struct Strings {
    std::string title, copyright;
};

Strings stringsOf(const std::string &path) {
    SF_INFO info{};
    SNDFILE *file = sf_open(path.c_str(), SFM_READ, &info);
    if (!file)
        return {"(unreadable)", ""};
    const char *title = sf_get_string(file, SF_STR_TITLE);
    const char *copyright = sf_get_string(file, SF_STR_COPYRIGHT);
    Strings strings{title ? title : "", copyright ? copyright : ""};
    sf_close(file);
    return strings;
}

} // namespace

TEST_F(Render, EveryContainerRateAndDepthReadsBackAsAskedFor) {
    song("tune.mid");
    const bool soxi = have("soxi"), ffprobe = have("ffprobe");
    struct Case {
        QStringList arguments;
        const char *file;
        int container, subFormat, rate, channels;
        int codecFrame; // 0: lossless, exact to the frame
    };
    const Case cases[] = {
        {{"-q", "48000/24/stereo"}, "tune.wav", SF_FORMAT_WAV, SF_FORMAT_PCM_24, 48000, 2, 0},
        {{"-q", "96000/32/mono"}, "tune.wav", SF_FORMAT_WAV, SF_FORMAT_PCM_32, 96000, 1, 0},
        {{"--rate", "8000", "--bits", "float"},
         "tune.wav",
         SF_FORMAT_WAV,
         SF_FORMAT_FLOAT,
         8000,
         2,
         0},
        {{"--rate", "192000"}, "tune.wav", SF_FORMAT_WAV, SF_FORMAT_PCM_16, 192000, 2, 0},
        {{"--format", "rf64", "--bits", "24"},
         "tune.wav",
         SF_FORMAT_RF64,
         SF_FORMAT_PCM_24,
         44100,
         2,
         0},
        {{"--format", "w64", "-q", "22050/8/mono"},
         "tune.w64",
         SF_FORMAT_W64,
         SF_FORMAT_PCM_U8,
         22050,
         1,
         0},
        {{"--format", "flac", "--rate", "48000", "--bits", "24"},
         "tune.flac",
         SF_FORMAT_FLAC,
         SF_FORMAT_PCM_24,
         48000,
         2,
         0},
        {{"--format", "flac", "-q", "11025/8/mono"},
         "tune.flac",
         SF_FORMAT_FLAC,
         SF_FORMAT_PCM_S8,
         11025,
         1,
         0},
        {{"--format", "aiff", "--bits", "float"},
         "tune.aiff",
         SF_FORMAT_AIFF,
         SF_FORMAT_FLOAT,
         44100,
         2,
         0},
        {{"--format", "ogg", "--rate", "48000"},
         "tune.ogg",
         SF_FORMAT_OGG,
         SF_FORMAT_VORBIS,
         48000,
         2,
         2048},
        {{"-o", "named.oga", "-q", "22050/16/mono"},
         "named.oga",
         SF_FORMAT_OGG,
         SF_FORMAT_VORBIS,
         22050,
         1,
         2048},
        {{"--format", "opus", "-q", "24000/16/mono"},
         "tune.opus",
         SF_FORMAT_OGG,
         SF_FORMAT_OPUS,
         24000,
         1,
         960},
        {{"--format", "mp3", "--rate", "32000"},
         "tune.mp3",
         SF_FORMAT_MPEG,
         SF_FORMAT_MPEG_LAYER_III,
         32000,
         2,
         1152},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.arguments.join(' ').toStdString());
        const Ran ran =
            render(QStringList{"-q", "0", "--tail", "0"} + c.arguments + QStringList{"tune.mid"});
        ASSERT_EQ(ran.exit, 0) << ran.said;
        const test::WaveData w = test::readWave(dir.path(c.file));
        EXPECT_EQ(w.container, c.container);
        EXPECT_EQ(w.subFormat, c.subFormat);
        EXPECT_EQ(w.format.sampleRate, c.rate);
        EXPECT_EQ(w.format.channels, c.channels);
        EXPECT_NEAR(double(w.frames()), double(framesAt(c.rate)), c.codecFrame);
        // The song, where its notes sound, and nothing before them.
        EXPECT_LT(w.rms(0.0, 0.08), 0.01);
        EXPECT_GT(w.rms(0.15, 0.38), 0.003);
        EXPECT_GT(w.rms(0.55, 0.78), 0.003);

        if (c.subFormat == SF_FORMAT_OPUS) {
            // sox has no Opus; ffprobe reads its length in 48 kHz frames.
            if (!ffprobe)
                continue;
            const Shell probe = shell(dir.root(), std::string("ffprobe -v error -show_entries "
                                                              "stream=duration_ts,channels "
                                                              "-of csv=p=0 ") +
                                                      c.file);
            EXPECT_EQ(probe.out.substr(0, 2), "1,") << probe.out;
            EXPECT_NEAR(double(number(probe.out.substr(2))), 0.9 * 48000, 960) << probe.out;
            continue;
        }
        if (!soxi)
            continue;
        const Shell info = shell(dir.root(), std::string("soxi -r ") + c.file + "; soxi -c " +
                                                 c.file + "; soxi -s " + c.file);
        std::istringstream lines(info.out);
        long long rate = 0, channels = 0, frames = 0;
        lines >> rate >> channels >> frames;
        EXPECT_EQ(rate, c.rate) << info.out;
        EXPECT_EQ(channels, c.channels) << info.out;
        // sox reads MP3 without the encoder's note of its delay and padding.
        const double slack =
            c.subFormat == SF_FORMAT_MPEG_LAYER_III ? 576 + 529 + 1152 : c.codecFrame;
        EXPECT_NEAR(double(frames), double(framesAt(c.rate)), slack) << info.out;
        if (c.codecFrame == 0 && c.subFormat != SF_FORMAT_FLOAT) {
            const Shell bits = shell(dir.root(), std::string("soxi -b ") + c.file);
            EXPECT_EQ(number(bits.out), w.format.bitsPerSample) << bits.out;
        }
    }
}

TEST_F(Render, ALosslessOutputHoldsTheSamplesOfTheWaveOneToTheBit) {
    // Written as the recording is made, every lossless container holds what
    // the WAVE file of the same song holds, at every depth (at a rate none
    // of the window's formats has, where both render alike).
    song("tune.mid");
    for (const char *depth : {"8", "16", "24", "float"}) {
        SCOPED_TRACE(depth);
        ASSERT_EQ(
            render({"-q", "32000/16/stereo", "--bits", depth, "-o", "wave/", "tune.mid"}).exit, 0);
        const test::WaveData wave = test::readWave(dir.path("wave/tune.wav"));
        const std::pair<const char *, const char *> containers[] = {{"flac", "tune.flac"},
                                                                    {"aiff", "tune.aiff"},
                                                                    {"w64", "tune.w64"},
                                                                    {"rf64", "tune.wav"}};
        for (const auto &[container, file] : containers) {
            if (std::string(container) == "flac" && std::string(depth) == "float")
                continue; // FLAC holds no float
            SCOPED_TRACE(container);
            const Ran ran = render({"-q", "32000/16/stereo", "--bits", depth, "--format", container,
                                    "-o", container, "tune.mid"});
            ASSERT_EQ(ran.exit, 0) << ran.said;
            EXPECT_TRUE(test::readWave(dir.path(std::string(container) + "/" + file)).samples ==
                        wave.samples);
        }
    }
}

TEST_F(Render, TheSynthesiserRendersAtTheRateAskedFor) {
    // The square wave's steps, played by the synthesiser at 96000 Hz, leave
    // sound above the 22050 Hz that a 44100 Hz rendering can hold: a
    // recording resampled from 44100 Hz would have none there.
    test::writeFile(dir.path("square.sf2"), test::squareSoundFont(0, 0));
    song("square.mid", test::simpleSong({{0.1, 0.6, 60}}, 0.7));
    const Ran ran = render(
        {"-q", "96000/float/mono", "--tail", "0", "--soundfont", "square.sf2", "square.mid"});
    ASSERT_EQ(ran.exit, 0) << ran.said;
    const test::WaveData w = test::readWave(dir.path("square.wav"));
    ASSERT_EQ(w.format.sampleRate, 96000);
    // A Hann-windowed DFT of 4096 frames from 0.3 s: the share of the
    // power from 26 kHz to 44 kHz.
    constexpr int kSize = 4096;
    const std::size_t from = std::size_t(0.3 * 96000);
    ASSERT_GT(w.samples.size(), from + kSize);
    double high = 0, total = 0;
    for (int k = 1; k < kSize / 2; ++k) {
        double re = 0, im = 0;
        for (int n = 0; n < kSize; ++n) {
            const double hann = 0.5 - 0.5 * std::cos(2 * std::numbers::pi * n / kSize);
            const double v = hann * w.samples[from + std::size_t(n)];
            const double phase = 2 * std::numbers::pi * k * n / kSize;
            re += v * std::cos(phase);
            im -= v * std::sin(phase);
        }
        const double power = re * re + im * im;
        const double hz = double(k) * 96000 / kSize;
        total += power;
        if (hz >= 26000 && hz <= 44000)
            high += power;
    }
    ASSERT_GT(total, 0);
    const double share = 10 * std::log10(high / total + 1e-30);
    EXPECT_GT(share, -90) << "dB of the power above 26 kHz";
}

TEST_F(Render, OutputsAreTaggedWithTheSongsNameAndCopyright) {
    // A track name in Latin-1 (as old files have them), a copyright notice.
    test::TrackWriter track;
    track.delta(0).raw(
        {0xFF, 0x03, 12, 0xC9, 'v', 'e', 'n', 'i', 'n', 'g', ' ', 'S', 'o', 'n', 'g'});
    track.delta(0).raw({0xFF, 0x02, 9, '(', 'c', ')', ' ', '1', '9', '9', '2', ' '});
    track.delta(0).raw({0xFF, 0x03, 5, 'L', 'a', 't', 'e', 'r'});
    track.delta(48).noteOn(0, 60, 100).delta(480).noteOff(0, 60).delta(48).end();
    song("tagged.mid", test::midiFile(0, 480, {track.bytes()}));
    song("plain.mid");
    const bool soxi = have("soxi");
    for (const char *format : {"wav", "flac", "ogg", "opus", "aiff", "mp3"}) {
        SCOPED_TRACE(format);
        const Ran ran =
            render({"-q", "0", "--format", format, "--rate", "48000", "tagged.mid", "plain.mid"});
        ASSERT_EQ(ran.exit, 0) << ran.said;
        const std::string tagged = dir.path(std::string("tagged.") + format);
        const Strings strings = stringsOf(tagged);
        EXPECT_EQ(strings.title, "\u00C9vening Song");
        // MP3's ID3 tag has the copyright as its comment.
        if (std::string(format) != "mp3") {
            EXPECT_EQ(strings.copyright, "(c) 1992");
        } else if (have("ffprobe")) {
            EXPECT_EQ(shell(dir.root(), "ffprobe -v error -show_entries format_tags=comment -of "
                                        "csv=p=0 tagged.mp3")
                          .out,
                      "(c) 1992\n");
        }
        EXPECT_EQ(stringsOf(dir.path(std::string("plain.") + format)).title, "plain");
        if (soxi && (std::string(format) == "flac" || std::string(format) == "ogg")) {
            const Shell comments = shell(dir.root(), std::string("soxi -a tagged.") + format);
            EXPECT_NE(comments.out.find("=\u00C9vening Song"), std::string::npos) << comments.out;
            EXPECT_NE(comments.out.find("=(c) 1992"), std::string::npos) << comments.out;
        }
    }
    // Titles and copyrights in other encodings come out as UTF-8, as read
    // back by soxi and ffprobe; --text-encoding forces one.
    const auto titled = [](std::initializer_list<std::uint8_t> title,
                           std::initializer_list<std::uint8_t> copyright) {
        test::TrackWriter t;
        test::Bytes meta{0xFF, 0x03, std::uint8_t(title.size())};
        meta.insert(meta.end(), title);
        t.delta(0).raw(meta);
        meta = {0xFF, 0x02, std::uint8_t(copyright.size())};
        meta.insert(meta.end(), copyright);
        t.delta(0).raw(meta).delta(48).noteOn(0, 60, 100).delta(480).noteOff(0, 60).delta(0).end();
        return test::midiFile(0, 480, {t.bytes()});
    };
    song("sjis.mid",
         titled({131, 81, 129, 91, 131, 128, 137, 185, 138, 121}, {0xA9, ' ', '1', '9', '9', '5'}));
    song("latin1.mid", titled({'S', 'p', 0xE5, 'r', ' ', '1'}, {'(', 'c', ')'}));
    song("utf8.mid", titled({'C', 'a', 'f', 0xC3, 0xA9}, {0xC2, 0xA9, ' ', 'X'}));
    const struct {
        const char *song, *encoding, *title, *copyright;
    } texts[] = {
        {"sjis", "auto", "\u30B2\u30FC\u30E0\u97F3\u697D", "\u00A9 1995"},
        {"utf8", "auto", "Caf\u00E9", "\u00A9 X"},
        {"latin1", "auto", "Sp\u00E5r 1", "(c)"}, // å then r: a kanji in Shift-JIS
        {"utf8", "latin-1", "Caf\u00C3\u00A9", "\u00C2\u00A9 X"},
    };
    for (const auto &t : texts) {
        SCOPED_TRACE(std::string(t.song) + " " + t.encoding);
        const std::string file = std::string(t.song) + ".mid";
        ASSERT_EQ(
            render({"--format", "flac", "--tail", "0", "--text-encoding", t.encoding, file.c_str()})
                .exit,
            0);
        const std::string flac = std::string(t.song) + ".flac";
        EXPECT_EQ(stringsOf(dir.path(flac)).title, t.title);
        if (soxi) {
            const std::string said = shell(dir.root(), "soxi -a " + flac).out;
            EXPECT_NE(said.find(std::string("=") + t.title + "\n"), std::string::npos) << said;
            EXPECT_NE(said.find(std::string("=") + t.copyright + "\n"), std::string::npos) << said;
        }
        if (have("ffprobe")) {
            const std::string said =
                shell(dir.root(),
                      "ffprobe -v error -show_entries format_tags=title -of csv=p=0 " + flac)
                    .out;
            EXPECT_EQ(said, std::string(t.title) + "\n");
        }
    }
    // The tags come after the samples of a WAVE file, which stay whole:
    // sox reads them all, and an in-progress file so tagged and left by a
    // kill gives back its samples and not the tags.
    ASSERT_EQ(render({"-q", "0", "--tail", "0", "plain.mid"}).exit, 0);
    EXPECT_EQ(test::readWave(dir.path("plain.wav")).frames(), songFrames(44100));
    if (soxi) {
        EXPECT_EQ(number(shell(dir.root(), "soxi -s plain.wav").out), songFrames(44100));
    }
    // Its RIFF size counts the tags: a reader that goes by it finds them.
    const std::string bytes = test::readFile(dir.path("plain.wav"));
    ASSERT_GT(bytes.size(), 44u);
    const auto *riff = reinterpret_cast<const unsigned char *>(bytes.data() + 4);
    EXPECT_EQ(riff[0] | riff[1] << 8 | riff[2] << 16 | std::size_t(riff[3]) << 24,
              bytes.size() - 8);
    EXPECT_NE(bytes.find("LIST"), std::string::npos);
    const int fd = ::open(dir.path("plain.wav").c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    audio::JournalContent content;
    std::string error;
    ASSERT_TRUE(audio::readJournal(fd, content, error)) << error;
    ::close(fd);
    EXPECT_EQ(content.dataBytes, std::uint64_t(songFrames(44100)) * 4);
}

TEST_F(Render, OneFilesOutputGoesToStandardOutputInAnyContainer) {
    song("tune.mid");
    if (have("flac")) {
        const Shell tested =
            shell(dir.root(), program() + " --quiet -q 0 --format flac -o - tune.mid | "
                                          "flac -t - 2>&1");
        EXPECT_EQ(tested.exit, 0) << tested.out;
        EXPECT_NE(tested.out.find("ok"), std::string::npos) << tested.out;
    }
    if (!have("soxi"))
        GTEST_SKIP() << "sox is not installed (scripts/install-deps installs it)";
    for (const auto &[format, says] : {std::pair{"flac", "16-bit FLAC"},
                                       {"ogg", "Vorbis"},
                                       {"wav", "16-bit Signed Integer PCM"}}) {
        SCOPED_TRACE(format);
        // soxi reads the header and goes: the program says its reader left early.
        const Shell info = shell(dir.root(), program() + " --quiet --rate 48000 --format " +
                                                 format + " -o - tune.mid 2>/dev/null | soxi -");
        EXPECT_NE(info.out.find(says), std::string::npos) << info.out;
        EXPECT_NE(info.out.find("48000"), std::string::npos) << info.out;
    }
    // sox reads a FLAC stream whole: every frame of the song.
    const Shell whole = shell(dir.root(), program() + " --quiet -q 0 --tail 0 --format flac "
                                                      "-o - tune.mid | sox -t flac - -n stat 2>&1");
    EXPECT_EQ(whole.exit, 0) << whole.out;
    const auto at = whole.out.find("Samples read:");
    ASSERT_NE(at, std::string::npos) << whole.out;
    EXPECT_EQ(number(whole.out.substr(at + 13)), 2 * songFrames(44100));
}

TEST_F(Render, OutputsInOtherContainersReportTheirLevelsAndCheckReadsThem) {
    song("tune.mid");
    ASSERT_EQ(
        render({"-q", "0", "--format", "flac", "--bits", "24", "--report", "r.jsonl", "tune.mid"})
            .exit,
        0);
    // Measured as written, they are the levels the file gives back.
    audio::Levels levels;
    std::string error;
    ASSERT_TRUE(audio::measureLevels(dir.path("tune.flac"), levels, error)) << error;
    const QJsonObject line = report(dir.path("r.jsonl"))["tune.mid"];
    EXPECT_NEAR(line["loudness_lufs"].toDouble(), levels.loudness, 0.01);
    EXPECT_NEAR(line["peak_dbfs"].toDouble(), levels.peakDb, 0.01);
    EXPECT_NEAR(line["true_peak_dbtp"].toDouble(), levels.truePeakDb, 0.01);
    EXPECT_LT(levels.loudness, -20);

    EXPECT_EQ(render({"-q", "0", "--format", "flac", "--bits", "24", "--check", "tune.mid"}).exit,
              0);
    // A FLAC file cut short is named as such.
    std::filesystem::resize_file(dir.path("tune.flac"),
                                 std::filesystem::file_size(dir.path("tune.flac")) / 2);
    const Ran cut = render({"-q", "0", "--format", "flac", "--bits", "24", "--check", "tune.mid"});
    EXPECT_EQ(cut.exit, 1);
    // The output of another container is missing, not this one.
    const Ran other = render({"-q", "0", "--format", "ogg", "--check", "tune.mid"});
    EXPECT_EQ(other.exit, 1);
}
