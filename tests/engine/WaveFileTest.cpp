// WAVE file reading and writing, and the wave input's format conversion.
#include "engine/WaveFile.h"
#include "engine/Engine.h"
#include "engine/WaveInput.h"
#include "engine/WaveJournal.h"
#include "support/TestFiles.h"

#include <gtest/gtest.h>
#include <sndfile.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <limits>
#include <linux/magic.h>
#include <sys/mman.h>
#include <sys/vfs.h>
#include <unistd.h>

using audio::WaveFormat;

namespace {

void writeWithSndfile(const std::string &path, int format, int rate, int channels,
                      const std::vector<short> &samples) {
    SF_INFO info{};
    info.samplerate = rate;
    info.channels = channels;
    info.format = format;
    SNDFILE *f = sf_open(path.c_str(), SFM_WRITE, &info);
    ASSERT_NE(f, nullptr) << sf_strerror(nullptr);
    sf_write_short(f, samples.data(), sf_count_t(samples.size()));
    sf_close(f);
}

std::string readError(const std::string &path) {
    WaveFormat format;
    std::FILE *data = std::tmpfile();
    std::uint64_t bytes = 0;
    std::string error;
    bool ok = audio::readWaveFile(path, format, data, bytes, error);
    std::fclose(data);
    return ok ? "accepted" : error;
}

std::vector<char> fileBytes(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

} // namespace

TEST(WaveFile, ReadsPcmFormatsAndTheirSamplesAsStored) {
    test::TempDir dir;
    writeWithSndfile(dir.path("s16.wav"), SF_FORMAT_WAV | SF_FORMAT_PCM_16, 32000, 2,
                     {1, -2, 300, -400});
    writeWithSndfile(dir.path("u8.wav"), SF_FORMAT_WAV | SF_FORMAT_PCM_U8, 11025, 1,
                     {0, 256, -256});

    WaveFormat format;
    std::FILE *data = std::tmpfile();
    std::uint64_t bytes = 0;
    std::string error;
    ASSERT_TRUE(audio::readWaveFile(dir.path("s16.wav"), format, data, bytes, error)) << error;
    EXPECT_EQ(format, (WaveFormat{32000, 2, 16}));
    EXPECT_EQ(bytes, 8u);
    short back[4];
    std::rewind(data);
    ASSERT_EQ(std::fread(back, 2, 4, data), 4u);
    EXPECT_EQ(back[2], 300);
    EXPECT_EQ(back[3], -400);
    std::fclose(data);

    data = std::tmpfile();
    ASSERT_TRUE(audio::readWaveFile(dir.path("u8.wav"), format, data, bytes, error)) << error;
    EXPECT_EQ(format, (WaveFormat{11025, 1, 8}));
    EXPECT_EQ(bytes, 3u);
    unsigned char u8[3];
    std::rewind(data);
    ASSERT_EQ(std::fread(u8, 1, 3, data), 3u);
    EXPECT_EQ(u8[0], 128); // unsigned: silence is 128
    EXPECT_EQ(u8[1], 129);
    EXPECT_EQ(u8[2], 127);
    std::fclose(data);
}

TEST(WaveFile, RefusesWhatIsNeitherPcmNorFloat) {
    test::TempDir dir;
    writeWithSndfile(dir.path("double.wav"), SF_FORMAT_WAV | SF_FORMAT_DOUBLE, 44100, 1, {1, 2});
    writeWithSndfile(dir.path("ulaw.wav"), SF_FORMAT_WAV | SF_FORMAT_ULAW, 44100, 1, {1, 2});
    writeWithSndfile(dir.path("aiff.wav"), SF_FORMAT_AIFF | SF_FORMAT_PCM_16, 44100, 1, {1, 2});
    writeWithSndfile(dir.path("quad.wav"), SF_FORMAT_WAV | SF_FORMAT_PCM_16, 44100, 4,
                     {1, 2, 3, 4});
    test::writeFile(dir.path("junk.wav"), test::Bytes(300, 0x41));
    test::writeFile(dir.path("empty.wav"), {});

    EXPECT_NE(readError(dir.path("double.wav")).find("not 8-, 16-, 24- or 32-bit PCM"),
              std::string::npos);
    EXPECT_NE(readError(dir.path("ulaw.wav")).find("not 8-, 16-, 24- or 32-bit PCM"),
              std::string::npos);
    EXPECT_NE(readError(dir.path("aiff.wav")).find("not a WAVE"), std::string::npos);
    EXPECT_NE(readError(dir.path("quad.wav")).find("4 channels"), std::string::npos);
    EXPECT_NE(readError(dir.path("junk.wav")).find("not a WAVE"), std::string::npos);
    EXPECT_NE(readError(dir.path("empty.wav")).find("not a WAVE"), std::string::npos);
    EXPECT_NE(readError(dir.root()).find("folder"), std::string::npos);
    EXPECT_NE(readError(dir.path("missing.wav")).find("No such file"), std::string::npos);
}

TEST(WaveFile, WritesACanonicalHeaderAndPadsOddData) {
    test::TempDir dir;
    std::FILE *data = std::tmpfile();
    std::fwrite("\x80\x81\x82", 1, 3, data);
    std::string error;
    ASSERT_TRUE(audio::writeWaveFile(dir.path("odd.wav"), WaveFormat{8000, 1, 8}, data, 3, error));
    std::fclose(data);
    std::vector<char> b = fileBytes(dir.path("odd.wav"));
    ASSERT_EQ(b.size(), 44u + 4u);
    EXPECT_EQ(std::string(b.data(), 4), "RIFF");
    EXPECT_EQ(std::uint8_t(b[4]), 40); // 36 + 3 data bytes + 1 pad byte
    EXPECT_EQ(std::string(b.data() + 8, 8), "WAVEfmt ");
    EXPECT_EQ(std::uint8_t(b[28]), 0x40); // 8000 bytes per second
    EXPECT_EQ(std::uint8_t(b[29]), 0x1F);
    EXPECT_EQ(std::uint8_t(b[40]), 3); // the data chunk's own size is unpadded
    EXPECT_EQ(dir.entries(), std::vector<std::string>{"odd.wav"}); // no temporary left
    EXPECT_EQ(test::readWave(dir.path("odd.wav")).frames(), 3);
}

TEST(WaveFile, AFailedWriteLeavesNothingBehind) {
    test::TempDir dir;
    test::writeFile(dir.path("plain"), {1});
    std::FILE *data = std::tmpfile();
    std::string error;
    EXPECT_FALSE(audio::writeWaveFile(dir.path("gone/out.wav"), WaveFormat{}, data, 0, error));
    EXPECT_FALSE(error.empty());
    error.clear();
    EXPECT_FALSE(audio::writeWaveFile(dir.path("plain/out.wav"), WaveFormat{}, data, 0, error));
    // Asking for more data than the spool holds fails too, and removes its temporary.
    error.clear();
    EXPECT_FALSE(audio::writeWaveFile(dir.path("short.wav"), WaveFormat{}, data, 1000, error));
    std::fclose(data);
    EXPECT_EQ(dir.entries(), std::vector<std::string>{"plain"});
}

TEST(WaveInput, ConvertsRateChannelsAndBits) {
    // One second of a 1 kHz tone at half scale, left and right alike.
    std::vector<float> in(44100 * 2);
    for (std::size_t i = 0; i < 44100; ++i)
        in[2 * i] = in[2 * i + 1] = 0.5f * float(std::sin(2 * M_PI * 1000 * double(i) / 44100));

    struct Case {
        WaveFormat format;
    } cases[] = {{{22050, 1, 16}}, {{11025, 2, 8}}, {{44100, 2, 16}}, {{8000, 1, 8}}};
    for (const Case &c : cases) {
        audio::WaveConverter converter(c.format);
        std::vector<std::uint8_t> out;
        for (std::size_t at = 0; at < 44100; at += 256)
            converter.process(in.data() + 2 * at, std::min<std::size_t>(256, 44100 - at), out);
        converter.flush(out);
        const auto frames = out.size() / std::size_t(c.format.bytesPerFrame());
        EXPECT_NEAR(double(frames), c.format.sampleRate, 2) << c.format.sampleRate;
        // The tone's RMS (0.5 / sqrt 2) survives, away from the edges.
        double sum = 0;
        std::size_t n = 0;
        for (std::size_t f = frames / 4; f < 3 * frames / 4; ++f) {
            std::size_t at = f * std::size_t(c.format.bytesPerFrame());
            double v = c.format.bitsPerSample == 16
                           ? double(std::int16_t(out[at] | (out[at + 1] << 8))) / 32768.0
                           : (double(out[at]) - 128.0) / 128.0;
            sum += v * v;
            ++n;
        }
        EXPECT_NEAR(std::sqrt(sum / double(n)), 0.3536, 0.02) << c.format.sampleRate;
    }
}

TEST(WaveInput, SixteenBitsRoundHalfStepsUpAndClipWhatIsOutOfRange) {
    // Undithered: each sample x is stored as floor(x * 32767 + 0.5) within
    // the 16-bit range; what is no number as silence. Eleven frames, so
    // that samples go both through the runs of eight and the rest.
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    const struct {
        float in;
        std::int16_t stored;
    } cases[] = {{0.0f, 0},
                 {1.0f, 32767},
                 {-1.0f, -32767},
                 {1.5f, 32767},
                 {-1.5f, -32768},
                 {inf, 32767},
                 {-inf, -32768},
                 {nan, 0},
                 {0.5f / 32767, 1},
                 {-0.5f / 32767, 0},
                 {-1.5f / 32767, -1},
                 {2.5f / 32767, 3},
                 {-2.5f / 32767, -2},
                 {1e-9f, 0},
                 {-32768.0f / 32767, -32768},
                 {0.25f, 8192},
                 {-0.25f, -8192},
                 {0.99999f, 32767},
                 {-0.99999f, -32767},
                 {0.1f, 3277},
                 {-0.1f, -3277},
                 {2.0f, 32767}};
    std::vector<float> in;
    for (const auto &c : cases)
        in.push_back(c.in);
    audio::WaveConverter converter(WaveFormat{44100, 2, 16}, audio::kSampleRate, false);
    std::vector<std::uint8_t> out;
    converter.process(in.data(), in.size() / 2, out);
    ASSERT_EQ(out.size(), 2 * in.size());
    for (std::size_t i = 0; i < in.size(); ++i)
        EXPECT_EQ(std::int16_t(out[2 * i] | out[2 * i + 1] << 8), cases[i].stored)
            << "sample " << i << ": " << cases[i].in;
}

TEST(WaveInput, EachConverterDithersOnItsOwnHoweverConvertersTakeTurns) {
    // Silence dithered to 16 bits, period by period: each converter alone,
    // then three taking turns, two of them asking for as many values.
    const std::vector<float> silence(2 * 256, 0.0f);
    const WaveFormat format{44100, 2, 16};
    using Periods = std::vector<std::vector<std::uint8_t>>;
    auto alone = [&](std::size_t frames) {
        audio::WaveConverter converter(format);
        Periods out(4);
        for (std::vector<std::uint8_t> &period : out)
            converter.process(silence.data(), frames, period);
        return out;
    };
    const Periods whole = alone(256), part = alone(100);
    for (std::size_t i = 1; i < whole.size(); ++i)
        EXPECT_NE(whole[i], whole[i - 1]) << "the dither repeats at period " << i;
    audio::WaveConverter first(format), same(format), fewer(format);
    Periods firsts(4), sames(4), fewers(4);
    for (std::size_t i = 0; i < 4; ++i) {
        first.process(silence.data(), 256, firsts[i]);
        same.process(silence.data(), 256, sames[i]);
        fewer.process(silence.data(), 100, fewers[i]);
    }
    EXPECT_EQ(firsts, whole);
    EXPECT_EQ(sames, whole);
    EXPECT_EQ(fewers, part);
}

TEST(WaveInput, AFormatWithoutARateConverterIsRefusedNotFilledAtTheWrongRate) {
    for (const WaveFormat &format : {WaveFormat{22050, 2, 16}, WaveFormat{44100, 1, 8}})
        EXPECT_EQ(audio::WaveConverter(format).error(), "") << format.sampleRate;
    // libsoxr makes no converter to 0 Hz: the recorder says so before it starts.
    audio::EngineSettings settings;
    settings.clock = audio::Engine::Clock::Driven;
    auto engine = std::make_shared<audio::Engine>(settings);
    std::FILE *spool = std::tmpfile();
    audio::WaveRecorder recorder(engine, WaveFormat{0, 2, 16}, spool);
    EXPECT_NE(recorder.formatError().find("to 0 Hz"), std::string::npos) << recorder.formatError();
    std::fclose(spool);
}

TEST(WaveFile, PastFourGibibytesTheFileIsRf64ThatLibsndfileAndSoxRead) {
    // 4.3 GB of silence: a sparse spool, a real file written (then removed).
    const std::uint64_t bytes = 4'300'000'000ull;
    std::FILE *data = std::tmpfile();
    ASSERT_EQ(::ftruncate(fileno(data), off_t(bytes)), 0);
    test::TempDir dir;
    const std::string path = dir.path("long.wav");
    std::string error;
    ASSERT_TRUE(audio::writeWaveFile(path, WaveFormat{44100, 2, 16}, data, bytes, error)) << error;
    std::fclose(data);
    EXPECT_EQ(std::filesystem::file_size(path), 80 + bytes);
    std::ifstream in(path, std::ios::binary);
    char head[80];
    in.read(head, sizeof head);
    EXPECT_EQ(std::string(head, 4), "RF64");
    EXPECT_EQ(std::string(head + 12, 4), "ds64");
    std::uint64_t dataSize = 0, frames = 0;
    std::memcpy(&dataSize, head + 28, 8); // little-endian, as this machine
    std::memcpy(&frames, head + 36, 8);
    EXPECT_EQ(dataSize, bytes);
    EXPECT_EQ(frames, bytes / 4);

    SF_INFO info{};
    SNDFILE *file = sf_open(path.c_str(), SFM_READ, &info);
    ASSERT_NE(file, nullptr) << sf_strerror(nullptr);
    EXPECT_EQ(info.format & SF_FORMAT_TYPEMASK, SF_FORMAT_RF64);
    EXPECT_EQ(info.frames, sf_count_t(bytes / 4));
    EXPECT_EQ(info.samplerate, 44100);
    sf_close(file);
    if (std::filesystem::exists("/usr/bin/soxi")) {
        // sox reads the whole file.
        EXPECT_EQ(test::runProgram({"/usr/bin/soxi", "-s", path}).output,
                  std::to_string(bytes / 4) + "\n");
    }
    std::filesystem::remove(path);
}

TEST(WaveJournal, AFinishedInProgressFileIsByteForByteTheFileAWholeSaveWrites) {
    // 8-bit mono with an odd count of samples: the pad byte too.
    test::TempDir dir;
    const WaveFormat format{11025, 1, 8};
    std::vector<char> samples(100001);
    for (std::size_t i = 0; i < samples.size(); ++i)
        samples[i] = char(i * 7);
    std::string error;
    auto journal = audio::WaveJournal::create(dir.path(".a.recording"), format, 0, error);
    ASSERT_TRUE(journal) << error;
    EXPECT_EQ(journal->headerBytes(), 44u);
    std::fwrite(samples.data(), 1, samples.size(), journal->file());
    ASSERT_TRUE(journal->sync(samples.size()));
    // What the sync made durable has left the page cache (a folder in
    // memory keeps its pages, whatever it is told); the header's first
    // page and the page being filled stay.
    struct statfs folder {};
    ASSERT_EQ(::statfs(dir.root().c_str(), &folder), 0);
    if (folder.f_type != TMPFS_MAGIC) {
        const long page = ::sysconf(_SC_PAGESIZE);
        const std::size_t pages = (44 + samples.size() + std::size_t(page) - 1) / std::size_t(page);
        void *mapped =
            ::mmap(nullptr, 44 + samples.size(), PROT_READ, MAP_SHARED, fileno(journal->file()), 0);
        ASSERT_NE(mapped, MAP_FAILED);
        std::vector<unsigned char> resident(pages);
        ASSERT_EQ(::mincore(mapped, 44 + samples.size(), resident.data()), 0);
        ::munmap(mapped, 44 + samples.size());
        EXPECT_EQ(std::count_if(resident.begin() + 1, resident.end() - 1,
                                [](unsigned char r) { return r & 1; }),
                  0);
    }
    ASSERT_TRUE(journal->canFinishAs(dir.path("a.wav"), samples.size()));
    ASSERT_TRUE(journal->finish(dir.path("a.wav"), samples.size(), error)) << error;
    journal.reset();
    std::FILE *data = std::tmpfile();
    std::fwrite(samples.data(), 1, samples.size(), data);
    ASSERT_TRUE(audio::writeWaveFile(dir.path("b.wav"), format, data, samples.size(), error));
    std::fclose(data);
    EXPECT_EQ(fileBytes(dir.path("a.wav")), fileBytes(dir.path("b.wav")));
    EXPECT_FALSE(std::filesystem::exists(dir.path(".a.recording")));
}

TEST(WaveJournal, AKilledInProgressFileIsSealedWithEveryWholeFrameThatReachedIt) {
    test::TempDir dir;
    const std::string path = dir.path(".k.recording");
    std::string error;
    auto journal = audio::WaveJournal::create(path, WaveFormat{44100, 2, 16}, 0, error);
    ASSERT_TRUE(journal) << error;
    std::vector<char> samples(4000 * 4 + 3, 5); // a partial frame at the end
    std::fwrite(samples.data(), 1, 1000 * 4, journal->file());
    ASSERT_TRUE(journal->sync(1000 * 4)); // the header counts 1000 frames
    std::fwrite(samples.data(), 1, samples.size() - 1000 * 4, journal->file());
    std::fflush(journal->file());
    journal.reset(); // as a kill leaves it: written, not counted
    const int fd = ::open(path.c_str(), O_RDWR);
    audio::JournalContent content;
    ASSERT_TRUE(audio::readJournal(fd, content, error)) << error;
    EXPECT_EQ(content.format, (WaveFormat{44100, 2, 16}));
    EXPECT_EQ(content.dataBytes, 4000u * 4);
    ASSERT_TRUE(audio::sealJournal(fd, content, error)) << error;
    ::close(fd);
    SF_INFO info{};
    SNDFILE *file = sf_open(path.c_str(), SFM_READ, &info);
    ASSERT_NE(file, nullptr) << sf_strerror(nullptr);
    EXPECT_EQ(info.frames, 4000);
    sf_close(file);
    // Not a WAVE file at all: refused, never guessed.
    test::writeFile(dir.path("junk"), {'j', 'u', 'n', 'k'});
    const int junk = ::open(dir.path("junk").c_str(), O_RDONLY);
    EXPECT_FALSE(audio::readJournal(junk, content, error));
    ::close(junk);
}

TEST(WaveJournal, ARecordingKnownToPassFourGibibytesIsRf64FromItsFirstHeader) {
    test::TempDir dir;
    const std::uint64_t bytes = 4'300'000'000ull;
    std::string error;
    auto journal = audio::WaveJournal::create(dir.path(".l.recording"), WaveFormat{44100, 2, 16},
                                              bytes, error);
    ASSERT_TRUE(journal) << error;
    EXPECT_EQ(journal->headerBytes(), 80u);
    // Its samples: silence, a sparse stretch the test removes after.
    ASSERT_EQ(::ftruncate(fileno(journal->file()), off_t(80 + bytes)), 0);
    ASSERT_TRUE(journal->canFinishAs(dir.path("l.wav"), bytes));
    ASSERT_TRUE(journal->finish(dir.path("l.wav"), bytes, error)) << error;
    journal.reset();
    SF_INFO info{};
    SNDFILE *file = sf_open(dir.path("l.wav").c_str(), SFM_READ, &info);
    ASSERT_NE(file, nullptr) << sf_strerror(nullptr);
    EXPECT_EQ(info.format & SF_FORMAT_TYPEMASK, SF_FORMAT_RF64);
    EXPECT_EQ(info.frames, sf_count_t(bytes / 4));
    sf_close(file);
    std::filesystem::remove(dir.path("l.wav"));
}
