// A whole song played and recorded as the program does, through its
// devices: what the benchmarks that need a real run share.
#pragma once

#include "BenchSupport.h"

#include "engine/Engine.h"
#include "engine/Output.h"
#include "engine/SoundSystem.h"
#include "engine/WaveFile.h"
#include "media/MPlayer.h"

#include <QEventLoop>
#include <QObject>
#include <QTimer>

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

namespace bench {

/// Writes `bytes` to `path`.
inline void writeBytes(const std::string &path, const std::vector<std::uint8_t> &bytes) {
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char *>(bytes.data()), std::streamsize(bytes.size()));
}

/// An empty 44100 Hz, 16-bit stereo template, as the program's own.
inline void writeTemplate(const std::string &path) {
    std::FILE *empty = std::tmpfile();
    std::string error;
    audio::writeWaveFile(path, {44100, 2, 16}, empty, 0, error);
    std::fclose(empty);
}

struct Run {
    double audioSeconds = 0, cpuSeconds = 0, latency = 0;
    long underruns = 0;
    std::int64_t played = 0, started = 0, ended = 0;
    std::string output;
};

/// Records `song` into `wave` (from the template `templ`) on the engine the
/// configured devices clock.
inline Run record(const std::string &song, const std::string &templ, const std::string &wave) {
    auto engine = sound()->acquire();
    TMediaPlayer midi, recorder;
    midi.DeviceType = dtSequencer;
    recorder.DeviceType = dtWaveAudio;
    midi.Engine = recorder.Engine = engine;
    bool ended = false;
    midi.OnNotify = [&](QObject *) { ended = true; };
    recorder.FileName = templ;
    recorder.Open();
    recorder.FileName = wave;
    recorder.Save();
    recorder.Close();
    midi.FileName = song;
    midi.Open();
    Run run;
    if (engine->output())
        run.output = engine->output()->describe();
    const double cpu = cpuSeconds(RUSAGE_SELF);
    midi.setNotify(true);
    midi.Play();
    recorder.Open();
    recorder.StartRecording();
    QEventLoop loop;
    QTimer tick;
    QObject::connect(&tick, &QTimer::timeout, &loop, [&] {
        if (engine->output() && run.latency == 0)
            run.latency = engine->output()->latency();
        if (ended)
            loop.quit();
    });
    tick.start(500);
    loop.exec();
    midi.setNotify(false);
    midi.Close();
    recorder.Stop();
    run.cpuSeconds = cpuSeconds(RUSAGE_SELF) - cpu;
    run.played = engine->lastPlayStartFrame;
    run.started = engine->lastRecordStartFrame;
    run.ended = engine->lastRecordEndFrame;
    run.audioSeconds = double(run.ended - run.started) / audio::kSampleRate;
    if (engine->output())
        run.underruns = engine->output()->underruns();
    recorder.Save();
    recorder.Close();
    return run;
}

} // namespace bench
