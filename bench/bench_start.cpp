// Where the window's recording starts against its song: the real window
// records a short song that opens on a note, over and over. For each run:
// the time between the play and the record commands, the frames between
// where the song began playing and where the recording began, and where
// the song's first note lands in the file against its own frame (0: in
// the synthesiser block that holds it). Run it on an idle machine and
// beside busy loops (`yes >/dev/null &` once per core).
// Usage: bench_start [--runs N]
#include "app/Application.h"
#include "app/MainWindow.h"
#include "engine/Engine.h"
#include "media/mci/Mci.h"
#include "support/MidiWriter.h"

#include "BenchSupport.h"

#include <QDir>
#include <QTemporaryDir>

#include <sndfile.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

namespace {

// The song's one note, at 0.1 s: tick 96 at 960 ticks a second.
constexpr std::int64_t kNoteFrame = 96LL * 44100 / 960;

// The first frame of `path` louder than 16-bit dither, or -1.
std::int64_t onset(const std::string &path) {
    SF_INFO info{};
    SNDFILE *file = sf_open(path.c_str(), SFM_READ, &info);
    if (!file)
        return -1;
    std::vector<float> samples(std::size_t(info.frames * info.channels));
    sf_readf_float(file, samples.data(), info.frames);
    sf_close(file);
    for (std::size_t i = 0; i < samples.size(); ++i)
        if (std::fabs(samples[i]) > 4.0f / 32768)
            return std::int64_t(i) / info.channels;
    return -1;
}

struct Run {
    double commandGapMs = 0;
    long long startFrames = 0, noteOff = 0;
};

template <typename T> T median(std::vector<T> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

} // namespace

int main(int argc, char **argv) {
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    int runs = 20;
    for (int i = 1; i < argc; ++i)
        if (std::strcmp(argv[i], "--runs") == 0 && i + 1 < argc)
            runs = std::max(1, std::atoi(argv[++i]));
    TApplication app(argc, argv);
    QTemporaryDir dir;
    const std::string song = QDir(dir.path()).filePath("start.mid").toStdString();
    const std::string output = QDir(dir.path()).filePath("start.wav").toStdString();
    const test::Bytes bytes = test::simpleSong({{0.1, 0.3, 69}}, 0.4, test::kSquareLead);
    std::ofstream(song, std::ios::binary)
        .write(reinterpret_cast<const char *>(bytes.data()), std::streamsize(bytes.size()));

    MainWindow window;
    window.show();
    window.Mode_Record();
    window.CBox_RecordingQuality->setItemIndex(0);
    window.CB_RecordingDelayTime->setChecked(false);
    window.CB_MPEG1AudioLayerIIIEncode->setChecked(false);
    window.CB_PreferencesWAVEFileDirectory->setChecked(true);
    window.Edit_WAVEFileDirectory->setText(dir.path() + "/");
    window.CB_PutQualityInformationonWAVEFileName->setChecked(false);

    // The play command to the sequencer, the first record command after it.
    std::chrono::steady_clock::time_point played, recorded;
    bool playSeen = false, recordSeen = false;
    mci::setTraceHook([&](const mci::TraceEntry &entry) {
        const auto now = std::chrono::steady_clock::now();
        if (entry.command == mci::MCI_PLAY && !playSeen) {
            played = now;
            playSeen = true;
        } else if (entry.command == mci::MCI_RECORD && playSeen && !recordSeen) {
            recorded = now;
            recordSeen = true;
        }
    });

    std::vector<Run> all;
    std::printf("run  command gap (ms)  recording start - song start (frames)  first note "
                "(frames off its block)\n");
    for (int i = 0; i < runs; ++i) {
        playSeen = recordSeen = false;
        window.MP_MIDI->FileName = song;
        window.ModeSet(1);
        auto engine = window.Sound->acquire(); // its start frames are read after the run
        window.Btn_RecordClick();
        bench::spinUntil([&] { return window.Pnl_State->caption() == "Select MIDI File"; }, 20);
        Run run;
        run.commandGapMs = std::chrono::duration<double, std::milli>(recorded - played).count();
        run.startFrames = engine->lastRecordStartFrame - engine->lastPlayStartFrame;
        run.noteOff = onset(output) - kNoteFrame / 64 * 64;
        std::remove(output.c_str());
        all.push_back(run);
        std::printf("%3d  %17.2f  %38lld  %lld\n", i + 1, run.commandGapMs, run.startFrames,
                    run.noteOff);
        std::fflush(stdout);
    }
    mci::setTraceHook({});
    std::vector<double> gaps;
    std::vector<long long> starts, notes;
    for (const Run &r : all) {
        gaps.push_back(r.commandGapMs);
        starts.push_back(r.startFrames);
        notes.push_back(r.noteOff);
    }
    std::printf("command gap: median %.2f ms, worst %.2f ms\n", median(gaps),
                *std::max_element(gaps.begin(), gaps.end()));
    std::printf("recording start - song start: median %lld, worst %lld frames (target 0)\n",
                median(starts), *std::max_element(starts.begin(), starts.end()));
    std::printf("first note off its block: median %lld, range %lld to %lld frames (target 0 to "
                "63)\n",
                median(notes), *std::min_element(notes.begin(), notes.end()),
                *std::max_element(notes.begin(), notes.end()));
    return 0;
}
