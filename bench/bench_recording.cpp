// Measures the sound system stand-in as the program uses it:
//   1. CPU per second of audio while playing and recording a real file to
//      44100 Hz 16-bit stereo, against `fluidsynth -ni -F` on the same file
//      and SoundFont;
//   2. the gap between the start of playback and the start of recording;
//   3. resident memory after 10 seconds and after 10 minutes of recording.
// Usage: bench_recording [song.mid] [--quick] [--scale N]
// (--scale runs the first measurement's clock N times faster than real time)
#include "engine/DeviceConfig.h"
#include "engine/Engine.h"
#include "engine/MidiFile.h"
#include "engine/SoundSystem.h"
#include "engine/WaveFile.h"
#include "media/MPlayer.h"

#include "BenchSupport.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

namespace {

void writeTemplate(const std::string &path) {
    std::FILE *empty = std::tmpfile();
    std::string error;
    audio::writeWaveFile(path, audio::WaveFormat{44100, 2, 16}, empty, 0, error);
    std::fclose(empty);
}

struct Run {
    double audioSeconds = 0;
    double cpuSeconds = 0;
    double cpuWithSave = 0;
    long long gapFrames = 0;
    // With an in-progress file: the most audio a kill (not on the disk) and
    // a power cut (not counted by a synced header) would have lost, looked
    // at every 5 ms, and the syncs seen.
    double killLoss = 0, cutLoss = 0;
    int syncs = 0;
};

// One recording as the program makes it: output from the template, play with
// notify, record, and at the notice (or after `seconds`) stop, save, close.
// With `inProgress`, the recording goes to an in-progress file beside the
// output, renamed into place at the save; `watched` looks at that file
// every 5 ms for what a crash would lose.
Run record(const std::string &song, const std::string &templ, const std::string &output,
           double seconds, const std::function<void(double)> &atSecond = {},
           bool inProgress = false, bool watched = false) {
    auto engine = bench::sound()->acquire();
    TMediaPlayer midi, wave;
    midi.DeviceType = dtSequencer;
    wave.DeviceType = dtWaveAudio;
    midi.Engine = wave.Engine = engine;
    bool ended = false;
    midi.OnNotify = [&](QObject *) { ended = true; };

    wave.FileName = templ;
    wave.Open();
    wave.FileName = output;
    wave.Save();
    wave.Close();

    midi.FileName = song;
    midi.Open();
    const double cpuBefore = bench::cpuSeconds(RUSAGE_SELF);
    midi.setNotify(true);
    midi.Play();
    wave.Open();
    const std::string journal = output + ".recording";
    if (inProgress)
        wave.setRecordJournal(journal);
    wave.StartRecording();
    const long long start = engine->lastRecordStartFrame.load();
    Run run;
    QTimer watch;
    std::uint32_t lastHeader = 0;
    QObject::connect(&watch, &QTimer::timeout, [&] {
        const double captured = double(engine->framesRendered() - start) / audio::kSampleRate;
        std::ifstream file(journal, std::ios::binary | std::ios::ate);
        const double onDisk = double(std::max<long long>(0, (long long)file.tellg() - 44)) /
                              (4.0 * audio::kSampleRate);
        unsigned char size[4] = {};
        file.seekg(40);
        file.read(reinterpret_cast<char *>(size), 4);
        const std::uint32_t header =
            size[0] | size[1] << 8 | size[2] << 16 | std::uint32_t(size[3]) << 24;
        if (header != lastHeader)
            ++run.syncs;
        lastHeader = header;
        run.killLoss = std::max(run.killLoss, captured - onDisk);
        run.cutLoss = std::max(run.cutLoss, captured - double(header) / (4.0 * audio::kSampleRate));
    });
    if (inProgress && watched)
        watch.start(5);
    double nextReport = 1;
    bench::spinUntil([&] {
        const double at = double(engine->framesRendered() - start) / audio::kSampleRate;
        if (atSecond && at >= nextReport) {
            atSecond(at);
            nextReport += 1;
        }
        return seconds > 0 ? at >= seconds : ended;
    });
    watch.stop();
    midi.setNotify(false);
    midi.Stop();
    midi.Close();
    wave.Stop();
    run.audioSeconds = double(engine->framesRendered() - start) / audio::kSampleRate;
    run.cpuSeconds = bench::cpuSeconds(RUSAGE_SELF) - cpuBefore;
    run.gapFrames = engine->lastRecordStartFrame - engine->lastPlayStartFrame;
    wave.FileName = output;
    wave.Save();
    wave.Close();
    run.cpuWithSave = bench::cpuSeconds(RUSAGE_SELF) - cpuBefore;
    return run;
}

// The first `seconds` of `song` as a Standard MIDI File of its own (format
// 0, a millisecond a tick), so that fluidsynth renders the same music the
// recording took.
void writePrefix(const std::string &song, double seconds, const std::string &path) {
    const audio::MidiSong midi = audio::readMidiFile(song);
    const std::int64_t endMs = std::int64_t(seconds * 1000);
    std::string track;
    auto varLen = [&](std::uint32_t v) {
        char bytes[5];
        int n = 0;
        bytes[n++] = char(v & 0x7F);
        while (v >>= 7)
            bytes[n++] = char(0x80 | (v & 0x7F));
        while (n > 0)
            track += bytes[--n];
    };
    track += std::string("\x00\xFF\x51\x03\x0F\x42\x40", 7); // 1,000,000 us a quarter
    std::int64_t at = 0;
    for (const audio::MidiEvent &e : midi.events) {
        const std::int64_t ms = e.timeUs / 1000;
        if (ms >= endMs)
            break;
        varLen(std::uint32_t(ms - at));
        at = ms;
        if (e.status == 0xF0) {
            track += char(0xF0);
            varLen(e.sysexLength + 1);
            track.append(reinterpret_cast<const char *>(midi.sysex.data()) + e.sysexOffset,
                         e.sysexLength);
            track += char(0xF7);
            continue;
        }
        track += char(e.status);
        track += char(e.data1);
        const int kind = e.status & 0xF0;
        if (kind != 0xC0 && kind != 0xD0)
            track += char(e.data2);
    }
    // Every note released where the recording stopped, so that the song
    // ends there (fluidsynth plays on while notes sound).
    varLen(std::uint32_t(endMs - at));
    for (int channel = 0; channel < 16; ++channel) {
        if (channel > 0)
            track += char(0);
        track += char(0xB0 | channel);
        track += std::string("\x40\x00\x00\x7B\x00", 5); // sustain off; all notes off
    }
    track += std::string("\x00\xFF\x2F\x00", 4);
    std::ofstream out(path, std::ios::binary);
    const std::uint32_t size = std::uint32_t(track.size());
    out << std::string("MThd\0\0\0\x06\0\0\0\x01\x03\xE8", 14) << "MTrk" << char(size >> 24)
        << char(size >> 16) << char(size >> 8) << char(size) << track;
}

} // namespace

int main(int argc, char **argv) {
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QApplication app(argc, argv);
    std::string song = "/usr/share/games/openttd/baseset/openmsx/busy_schedule.mid";
    bool quick = false;
    double scale = 1;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--quick") == 0)
            quick = true;
        else if (std::strcmp(argv[i], "--scale") == 0 && i + 1 < argc)
            scale = std::atof(argv[++i]);
        else
            song = argv[i];
    }
    QTemporaryDir dir;
    const std::string templ = dir.filePath("template.wav").toStdString();
    const std::string output = dir.filePath("out.wav").toStdString();
    const std::string reference = dir.filePath("fluidsynth.wav").toStdString();
    writeTemplate(templ);
    const std::string soundFont = bench::soundFont();
    std::printf("song: %s\nSoundFont: %s\n", song.c_str(), soundFont.c_str());

    // 1. CPU in real time, the whole song.
    bench::useTimeScale(scale);
    Run run = record(song, templ, output, quick ? 20 : 0);
    std::printf("kestrune: %.1f s of audio, %.3f s CPU, %.4f s CPU per audio second\n",
                run.audioSeconds, run.cpuSeconds, run.cpuSeconds / run.audioSeconds);

    // fluidsynth renders the same music: the part of the song recorded.
    const std::string prefix = dir.filePath("prefix.mid").toStdString();
    writePrefix(song, run.audioSeconds, prefix);
    std::printf("fluidsynth renders the first %.1f s of the song\n",
                double(audio::readMidiFile(prefix).lengthUs) / 1e6);
    const double childBefore = bench::cpuSeconds(RUSAGE_CHILDREN);
    QProcess fluidsynth;
    fluidsynth.start("fluidsynth",
                     {"-ni", "-r", "44100", "-F", QString::fromStdString(reference),
                      QString::fromStdString(soundFont), QString::fromStdString(prefix)});
    fluidsynth.waitForFinished(600000);
    const double fluidCpu = bench::cpuSeconds(RUSAGE_CHILDREN) - childBefore;
    const double fluidSeconds =
        double(QFileInfo(QString::fromStdString(reference)).size() - 44) / (44100.0 * 4);
    std::printf("fluidsynth -ni -F: %.1f s of audio, %.3f s CPU, %.4f s CPU per audio second\n",
                fluidSeconds, fluidCpu, fluidCpu / fluidSeconds);
    // The same music, each to its own end (fluidsynth plays on until its
    // last voice has died away, which costs it a little more).
    std::printf("CPU for the same music, kestrune / fluidsynth: %.2f (target <= 1.1)\n",
                run.cpuSeconds / fluidCpu);

    // 2. The crash-safe recording against a spooled one copied at the save:
    // CPU with the save; then, in a third run watched every 5 ms, what a
    // kill or a power cut would have lost.
    {
        const double length = quick ? 20 : 60;
        const Run spooled = record(song, templ, output, length);
        Run safe = record(song, templ, output, length, {}, true);
        const Run watched = record(song, templ, output, length, {}, true, true);
        safe.syncs = watched.syncs;
        safe.killLoss = watched.killLoss;
        safe.cutLoss = watched.cutLoss;
        std::printf("spooled, copied at the save: %.3f s CPU for %.1f s (%.3f s with the save)\n",
                    spooled.cpuSeconds, spooled.audioSeconds, spooled.cpuWithSave);
        std::printf("in-progress file, renamed:   %.3f s CPU for %.1f s (%.3f s with the save)\n",
                    safe.cpuSeconds, safe.audioSeconds, safe.cpuWithSave);
        std::printf("crash-safe CPU / spooled CPU, with the save: %.3f (target <= 1.05)\n",
                    safe.cpuWithSave / spooled.cpuWithSave);
        std::printf("syncs: %d in %.1f s (%.2f a second); worst audio lost: %.3f s by a kill, "
                    "%.3f s by a power cut\n",
                    safe.syncs, safe.audioSeconds, safe.syncs / safe.audioSeconds, safe.killLoss,
                    safe.cutLoss);
    }

    // 3. The play-to-record gap over several starts.
    long long worst = 0;
    for (int i = 0; i < 10; ++i) {
        Run r = record(song, templ, output, 0.3);
        worst = std::max(worst, r.gapFrames);
        std::printf("%lld ", r.gapFrames);
    }
    std::printf("\nplay-to-record gap: worst %lld frames (target <= 512)\n", worst);

    // 4. Memory after 10 s and after 10 min of recording, on a clock 20 times
    // faster than real time.
    bench::useTimeScale(20);
    double at10 = 0, atEnd = 0;
    const double minutes = quick ? 2 : 10;
    record(song, templ, output, minutes * 60, [&](double second) {
        if (at10 == 0 && second >= 10)
            at10 = bench::statusMegabytes("VmRSS:");
        atEnd = bench::statusMegabytes("VmRSS:");
    });
    std::printf(
        "resident memory: %.1f MB after 10 s, %.1f MB after %.0f min (target: within 5 MB)\n", at10,
        atEnd, minutes);
    return 0;
}
