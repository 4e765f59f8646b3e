// A recording's levels: the true peak found between the samples, measured
// only where it can be raised, as a pass over every sample finds it.
#include "engine/Levels.h"
#include "support/TestFiles.h"

#include <ebur128.h>
#include <gtest/gtest.h>
#include <sndfile.h>

#include <algorithm>
#include <cmath>
#include <vector>

TEST(Levels, TheTruePeakIsFoundBetweenSamplesAsAWholePassFindsIt) {
    // A quiet stretch, then a tone at a quarter of the rate whose samples
    // all miss its crests: its true peak is 3 dB over its sample peak.
    test::TempDir dir;
    const std::string path = dir.path("tone.wav");
    std::vector<short> samples;
    for (int i = 0; i < 44100; ++i) {
        const double quiet = 0.05 * std::sin(2 * M_PI * 440.0 * i / 44100);
        samples.push_back(short(quiet * 32767));
        samples.push_back(short(quiet * 32767));
    }
    for (int i = 0; i < 4410; ++i) {
        const double tone = 0.5 * std::sin(2 * M_PI * i / 4 + M_PI / 4);
        samples.push_back(short(tone * 32767));
        samples.push_back(short(-tone * 32767));
    }
    SF_INFO info{};
    info.samplerate = 44100;
    info.channels = 2;
    info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
    SNDFILE *file = sf_open(path.c_str(), SFM_WRITE, &info);
    ASSERT_NE(file, nullptr);
    sf_write_short(file, samples.data(), sf_count_t(samples.size()));
    sf_close(file);

    audio::Levels levels;
    std::string error;
    ASSERT_TRUE(audio::measureLevels(path, levels, error)) << error;
    EXPECT_NEAR(levels.truePeakDb - levels.peakDb, 3.01, 0.3);
    // The same as libebur128 over every sample.
    ebur128_state *whole = ebur128_init(2, 44100, EBUR128_MODE_TRUE_PEAK);
    ebur128_add_frames_short(whole, samples.data(), samples.size() / 2);
    double left = 0, right = 0;
    ebur128_true_peak(whole, 0, &left);
    ebur128_true_peak(whole, 1, &right);
    ebur128_destroy(&whole);
    EXPECT_NEAR(levels.truePeakDb, 20 * std::log10(std::max(left, right)), 0.01);
}

TEST(Levels, TheTruePeakAndLoudnessAreLibebur128sAtEveryRateAndLayout) {
    // Noise rising and falling over each other in the channels, with crests
    // between samples and a silent stretch: at 4, 2 and 1 times
    // oversampling; mono, stereo, and six channels that count differently.
    for (const int channels : {1, 2, 6}) {
        std::vector<float> samples;
        std::uint32_t noise = 12345;
        for (int i = 0; i < 300000; ++i) {
            const double swell =
                i > 200000 && i < 250000 ? 0 : 0.5 + 0.5 * std::sin(2 * M_PI * i / 90000.0);
            for (int c = 0; c < channels; ++c) {
                noise = noise * 1664525u + 1013904223u;
                const double white = double(noise >> 8) / double(1u << 23) - 1;
                const double crest = std::sin(2 * M_PI * i / 4 + M_PI / 4 + c);
                const double level = c % 2 ? 1 - swell : swell;
                samples.push_back(float(level * (0.3 * white + 0.6 * crest) / (1 + c)));
            }
        }
        const std::size_t frames = samples.size() / std::size_t(channels);
        for (const int rate : {11025, 44100, 96000, 192000}) {
            SCOPED_TRACE(testing::Message() << channels << " channels at " << rate);
            audio::LevelMeter meter(channels, rate, 1.0);
            meter.add(samples.data(), frames);
            ebur128_state *whole = ebur128_init(unsigned(channels), unsigned(rate),
                                                EBUR128_MODE_TRUE_PEAK | EBUR128_MODE_I);
            ebur128_add_frames_float(whole, samples.data(), frames);
            double peak = 0, loudness = 0;
            for (int c = 0; c < channels; ++c) {
                double channel = 0;
                ebur128_true_peak(whole, unsigned(c), &channel);
                peak = std::max(peak, channel);
            }
            ebur128_loudness_global(whole, &loudness);
            ebur128_destroy(&whole);
            EXPECT_EQ(meter.levels().truePeakDb, 20 * std::log10(peak));
            EXPECT_NEAR(meter.levels().loudness, loudness, 1e-9);
        }
    }
}

TEST(Levels, WhatIsMeasuredDoesNotDependOnHowTheSamplesComeInBlocks) {
    // Short loud bursts between quiet stretches: the true peak's context
    // reaches back over block boundaries, however short the blocks.
    std::vector<float> samples;
    for (int i = 0; i < 20000; ++i) {
        const double loud = (i / 700) % 3 == 0 ? 0.9 : 0.02;
        samples.push_back(float(loud * std::sin(2 * M_PI * i / 4 + M_PI / 4)));
        samples.push_back(float(-loud * std::sin(2 * M_PI * i / 5.3)));
    }
    auto measure = [&](std::size_t block) {
        audio::LevelMeter meter(2, 44100, 32767.0 / 32768);
        for (std::size_t at = 0; at < samples.size() / 2; at += block)
            meter.add(&samples[2 * at], std::min(block, samples.size() / 2 - at));
        return meter.levels();
    };
    const audio::Levels whole = measure(8192);
    for (const std::size_t block : {1u, 7u, 31u, 256u}) {
        SCOPED_TRACE(block);
        const audio::Levels levels = measure(block);
        EXPECT_EQ(levels.truePeakDb, whole.truePeakDb);
        EXPECT_EQ(levels.peakDb, whole.peakDb);
        EXPECT_EQ(levels.loudness, whole.loudness);
    }
    // A tone, noise too quiet to raise its true peak, then two loud
    // samples at a block's start whose crest between them is the peak: it
    // is summed over the noise before them, which blocks passed over keep.
    samples.clear();
    std::uint32_t noise = 99;
    for (int i = 0; i < 6144 + 512; ++i) {
        noise = noise * 1664525u + 1013904223u;
        const float white = float(double(noise >> 8) / double(1u << 23) - 1);
        const float v = i < 2048                 ? float(0.9 * std::sin(M_PI * i / 2 + M_PI / 4))
                        : i == 6144 || i == 6145 ? 0.9f
                                                 : 0.3f * white;
        samples.push_back(v);
        samples.push_back(-v);
    }
    ebur128_state *pass = ebur128_init(2, 44100, EBUR128_MODE_TRUE_PEAK);
    ebur128_add_frames_float(pass, samples.data(), samples.size() / 2);
    double peak = 0;
    ebur128_true_peak(pass, 0, &peak);
    ebur128_destroy(&pass);
    for (const std::size_t block : {7u, 256u})
        EXPECT_EQ(measure(block).truePeakDb, 20 * std::log10(peak)) << block;
}

TEST(Levels, TwoMetersFedTogetherMeasureToTheBitWhatEachMeasuresAlone) {
    // A song's mix and a part that falls silent: its loudness filter rings
    // down to nothing while the other's goes on. Blocks of uneven lengths
    // cross the 100 ms steps.
    std::vector<float> mix, part;
    for (int i = 0; i < 30000; ++i) {
        const double t = double(i) / 44100;
        mix.push_back(float(0.4 * std::sin(2 * M_PI * 220 * t)));
        mix.push_back(float(0.3 * std::sin(2 * M_PI * 331 * t + 1)));
        const float v = i < 9000 ? float(0.8 * std::sin(2 * M_PI * 3000 * t)) : 0.0f;
        part.push_back(v);
        part.push_back(-v);
    }
    const auto meter = [] { return audio::LevelMeter(2, 44100, 32767.0 / 32768); };
    audio::LevelMeter mixAlone = meter(), partAlone = meter(), mixBeside = meter(),
                      partBeside = meter();
    for (std::size_t at = 0, n = 1; at < mix.size() / 2; at += n, n = n * 5 % 3001 + 1) {
        n = std::min(n, mix.size() / 2 - at);
        mixAlone.add(&mix[2 * at], n);
        partAlone.add(&part[2 * at], n);
        audio::LevelMeter::addTogether(mixBeside, &mix[2 * at], partBeside, &part[2 * at], n);
    }
    EXPECT_EQ(mixBeside.levels(), mixAlone.levels());
    EXPECT_EQ(partBeside.levels(), partAlone.levels());
    EXPECT_NE(mixAlone.levels().loudness, partAlone.levels().loudness);
}

TEST(Levels, TheOverviewPlacesEachStretchInItsColumnHoweverLongTheRecording) {
    // 2^22 frames at 8 kHz (almost nine minutes, long enough that the
    // meter's lists are halved twice): silence, then from the middle a
    // tone at half of full scale, fed in uneven blocks.
    constexpr std::size_t kFrames = std::size_t(1) << 22;
    audio::LevelMeter meter(1, 8000, 1.0);
    std::vector<float> block;
    for (std::size_t at = 0, n = 1; at < kFrames; at += n, n = n * 7 % 40000 + 1) {
        n = std::min(n, kFrames - at);
        block.resize(n);
        for (std::size_t i = 0; i < n; ++i)
            block[i] = at + i < kFrames / 2 ? 0.0f : float(0.5 * std::sin(0.3 * double(at + i)));
        meter.add(block.data(), n);
    }
    const audio::Levels levels = meter.levels();
    const audio::Overview &o = levels.overview;
    ASSERT_EQ(o.peaks.size(), audio::Overview::kColumns);
    ASSERT_EQ(o.loudness.size(), audio::Overview::kColumns);
    for (std::size_t c = 0; c < audio::Overview::kColumns; ++c) {
        const bool loud = c >= audio::Overview::kColumns / 2;
        EXPECT_NEAR(o.peaks[c], loud ? 500 : 0, 1) << "column " << c;
        // A loudness step that straddles the middle blurs the two next to it.
        if (c + 1 < audio::Overview::kColumns / 2) {
            EXPECT_EQ(o.loudness[c], audio::Overview::kQuiet) << "column " << c;
        } else if (c > audio::Overview::kColumns / 2) {
            EXPECT_NEAR(o.loudness[c], levels.loudness, 0.6) << "column " << c;
        }
    }
}
