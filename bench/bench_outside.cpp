// An outside synthesiser recorded in sync, through real servers started
// here (a JACK dummy server, a PulseAudio with a null sink) and a real
// fluidsynth of its own, in one run:
//   1. the onset error after compensation: each path (fluidsynth into JACK,
//      fluidsynth into the null sink recorded from its monitor) calibrated
//      once as a user would, then 20 recordings of a song whose wood-block
//      note falls a little later in the JACK cycle each time; where the note
//      begins in the recording against where it belongs, median and worst,
//      in frames;
//   2. the CPU the program spends per audio second recording a whole song
//      through JACK from the outside fluidsynth (its own share, not
//      fluidsynth's nor the server's).
// Usage: bench_outside [--runs N] [--song FILE.mid]
#include "engine/Calibration.h"
#include "engine/DeviceConfig.h"
#include "platform/Paths.h"
#include "support/MidiWriter.h"
#include "support/SoundServers.h"

#include "BenchRecord.h"

#include <QApplication>
#include <QTemporaryDir>

#include <sndfile.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <vector>

namespace {

constexpr int kDivision = 480; // ticks a quarter note, at 120 beats a minute

// Frame of `ticks` after the play start, as the sequencer places it.
long long frameOfTicks(std::uint32_t ticks) {
    const long long us = std::llround(double(ticks) * 500000 / kDivision);
    return us * 44100 / 1000000;
}

// A wood block (drum 76) at `noteTicks`, alone, then a few piano notes.
void writeSong(const std::string &path, std::uint32_t noteTicks) {
    test::TrackWriter t;
    t.delta(0).program(0, 0);
    t.delta(noteTicks).noteOn(9, 76, 127).delta(48).noteOff(9, 76);
    for (const int key : {60, 64, 67})
        t.delta(96).noteOn(0, key, 100).delta(192).noteOff(0, key);
    t.delta(144).end();
    bench::writeBytes(path, test::midiFile(0, kDivision, {t.bytes()}));
}

std::vector<float> samples(const std::string &path) {
    SF_INFO info{};
    SNDFILE *file = sf_open(path.c_str(), SFM_READ, &info);
    std::vector<float> out(std::size_t(std::max<sf_count_t>(0, info.frames * info.channels)));
    if (file) {
        sf_read_float(file, out.data(), sf_count_t(out.size()));
        sf_close(file);
    }
    return out;
}

void useDevices(const audio::DevicesConfig &config) {
    std::string error;
    if (!audio::writeDevicesConfig(paths::devicesFile(), config, error))
        std::fprintf(stderr, "%s\n", error.c_str());
}

audio::DevicesConfig outside(const std::string &port, const std::string &input,
                             const std::string &device) {
    audio::DevicesConfig config = audio::readDevicesConfig();
    config.backend = "none";
    config.sequencer = "jack";
    config.port = port;
    config.input = input;
    config.inputDevice = device;
    config.offset = 0;
    return config;
}

// Calibrates, then records `runs` songs; prints each onset error and the
// median and worst.
void onsetErrors(const char *path, audio::DevicesConfig config, int runs, const QTemporaryDir &dir,
                 const std::string &templ) {
    const audio::Calibration calibration = audio::calibrate(config);
    std::printf("%s: calibration %s\n", path, calibration.message.c_str());
    if (!calibration.stored)
        return;
    config.offset = calibration.offset;
    useDevices(config);
    const std::string song = dir.filePath("note.mid").toStdString();
    const std::string wave = dir.filePath("note.wav").toStdString();
    // The synthesiser's own share: fluidsynth plays a JACK cycle's events
    // at the cycle's start, so a note `n` frames into its cycle sounds `n`
    // frames early whatever the program does. What remains is the path's.
    std::vector<long long> errors, remaining;
    for (int i = 0; i < runs; ++i) {
        const std::uint32_t ticks = 301 + std::uint32_t(i);
        writeSong(song, ticks);
        const bench::Run run = bench::record(song, templ, wave);
        const long long belongs = run.played + frameOfTicks(ticks) - run.started;
        const long long heard =
            audio::onsetFrame(samples(wave), 0, std::max(0LL, belongs - 8820), belongs + 8820);
        if (heard < 0) {
            std::printf("  run %2d: the note was not heard\n", i + 1);
            continue;
        }
        const long long intoCycle = (run.played + frameOfTicks(ticks)) % 256;
        errors.push_back(heard - belongs);
        remaining.push_back(heard - belongs + intoCycle);
        std::printf("  run %2d: note %3lld frames into its cycle, error %+lld frames\n", i + 1,
                    intoCycle, heard - belongs);
    }
    if (errors.empty())
        return;
    auto summary = [&](const char *what, std::vector<long long> values) {
        std::sort(values.begin(), values.end(),
                  [](long long a, long long b) { return std::llabs(a) < std::llabs(b); });
        std::printf("%s: %s over %zu runs: median |%lld| frames, worst |%lld| frames (%.2f ms)\n",
                    path, what, values.size(), std::llabs(values[values.size() / 2]),
                    std::llabs(values.back()), double(std::llabs(values.back())) * 1000 / 44100);
    };
    summary("onset error", errors);
    summary("beyond the synthesiser's cycle start", remaining);
    std::printf("\n");
}

} // namespace

int main(int argc, char **argv) {
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    QApplication app(argc, argv);
    int runs = 20;
    std::string song = "/usr/share/games/openttd/baseset/openmsx/busy_schedule.mid";
    for (int i = 1; i + 1 < argc; ++i) {
        if (std::strcmp(argv[i], "--runs") == 0)
            runs = std::atoi(argv[i + 1]);
        else if (std::strcmp(argv[i], "--song") == 0)
            song = argv[i + 1];
    }
    QTemporaryDir dir;
    const std::string templ = dir.filePath("template.wav").toStdString();
    bench::writeTemplate(templ);
    const audio::DevicesConfig before = audio::readDevicesConfig();

    {
        test::JackServer jack;
        test::OutsideSynth synth("BenchSynth");
        if (!jack.ready() || !synth.ready()) {
            std::fprintf(stderr, "the JACK server or fluidsynth did not start\n");
            return 1;
        }
        onsetErrors("JACK", outside(synth.midiPort(), "jack", synth.audioPorts()), runs, dir,
                    templ);

        // 2: a whole song, the program's own CPU.
        const bench::Run run = bench::record(song, templ, dir.filePath("song.wav").toStdString());
        std::printf("%s through JACK from fluidsynth: %.1f s audio, %.4f CPU s per audio s "
                    "(the program's own)\n\n",
                    song.c_str(), run.audioSeconds, run.cpuSeconds / run.audioSeconds);
    }
    {
        test::PulseServer pulse;
        test::JackServer jack;
        test::OutsideSynth synth("BenchSynthP", pulse.sink());
        if (!pulse.ready() || !jack.ready() || !synth.ready()) {
            std::fprintf(stderr, "the servers or fluidsynth did not start\n");
            return 1;
        }
        onsetErrors("PulseAudio", outside(synth.midiPort(), "pulse", pulse.sink() + ".monitor"),
                    runs, dir, templ);
    }
    useDevices(before);
    return 0;
}
