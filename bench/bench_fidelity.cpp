// Records real files of the OpenMSX set through the real recording run
// (offscreen, format 0) and compares each result with a `fluidsynth -ni -F`
// render of the same file with the same SoundFont and synthesiser settings:
// the offset that best aligns the two (cross-correlation of 10 ms loudness
// envelopes, refined on the waveform) against the play-to-record gap the
// engine reports, the envelope and waveform correlations at that offset,
// CPU per second of audio against fluidsynth's, and the peak resident memory.
// Usage: bench_fidelity [--soundfont SF2] [--scale N] [--keep FOLDER] [file.mid ...]
// (--keep leaves the last recording and render in FOLDER)
#include "app/Application.h"
#include "app/MainWindow.h"
#include "engine/DeviceConfig.h"
#include "engine/Engine.h"
#include "engine/SoundSystem.h"
#include "platform/Paths.h"

#include "BenchSupport.h"

#include <QDir>
#include <QElapsedTimer>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>

#include <sndfile.h>
#include <sys/resource.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <numeric>
#include <string>
#include <vector>

namespace {

// A file's samples as one mono channel.
std::vector<float> readMono(const std::string &path, int &rate) {
    SF_INFO info{};
    SNDFILE *f = sf_open(path.c_str(), SFM_READ, &info);
    if (!f)
        return {};
    std::vector<float> all(std::size_t(info.frames * info.channels));
    sf_readf_float(f, all.data(), info.frames);
    sf_close(f);
    rate = info.samplerate;
    std::vector<float> mono(std::size_t(info.frames));
    for (std::size_t i = 0; i < mono.size(); ++i) {
        float sum = 0;
        for (int c = 0; c < info.channels; ++c)
            sum += all[i * std::size_t(info.channels) + std::size_t(c)];
        mono[i] = sum / float(info.channels);
    }
    return mono;
}

std::vector<double> envelope(const std::vector<float> &x, std::size_t window) {
    std::vector<double> e(x.size() / window);
    for (std::size_t w = 0; w < e.size(); ++w) {
        double sum = 0;
        for (std::size_t i = 0; i < window; ++i)
            sum += double(x[w * window + i]) * x[w * window + i];
        e[w] = std::sqrt(sum / double(window));
    }
    return e;
}

// Pearson correlation of a[i] with b[i + lag] over their overlap.
template <typename T>
double correlation(const std::vector<T> &a, const std::vector<T> &b, long lag) {
    double sa = 0, sb = 0, saa = 0, sbb = 0, sab = 0;
    long n = 0;
    for (long i = std::max(0L, -lag); i < long(a.size()) && i + lag < long(b.size()); ++i) {
        const double x = a[std::size_t(i)], y = b[std::size_t(i + lag)];
        sa += x, sb += y, saa += x * x, sbb += y * y, sab += x * y;
        ++n;
    }
    if (n < 2)
        return 0;
    const double cov = sab - sa * sb / double(n);
    const double va = saa - sa * sa / double(n), vb = sbb - sb * sb / double(n);
    return va > 0 && vb > 0 ? cov / std::sqrt(va * vb) : 0;
}

struct Result {
    double audioSeconds, cpu, fluidCpu, fluidSeconds, envelopeCorrelation, waveCorrelation;
    long offset, gap;
};

Result measure(MainWindow &window, const std::string &song, const std::string &soundFont,
               const QString &folder) {
    Result r{};
    const std::string output = QDir(folder).filePath("recorded.wav").toStdString();
    const std::string reference = QDir(folder).filePath("reference.wav").toStdString();
    window.CBox_RecordingQuality->setItemIndex(0);
    window.CB_PreferencesWAVEFileDirectory->setChecked(true);
    window.Edit_WAVEFileDirectory->setText(folder + "/");
    window.CB_PutQualityInformationonWAVEFileName->setChecked(false);
    window.MP_MIDI->FileName = song;
    window.ModeSet(1);
    // The run names its output after the song.
    std::string name = song.substr(song.rfind('/') + 1);
    name = QDir(folder)
               .filePath(QString::fromStdString(name.substr(0, name.size() - 4)) + ".wav")
               .toStdString();

    // Held through the run, so that its start frames can be read afterwards.
    auto engine = window.Sound->acquire();
    const double cpuBefore = bench::cpuSeconds(RUSAGE_SELF);
    window.Btn_RecordClick();
    bench::spinUntil([&] { return window.Pnl_State->caption() == "Select MIDI File"; });
    r.cpu = bench::cpuSeconds(RUSAGE_SELF) - cpuBefore;
    r.gap = long(engine->lastRecordStartFrame - engine->lastPlayStartFrame);
    std::rename(name.c_str(), output.c_str());

    const double childBefore = bench::cpuSeconds(RUSAGE_CHILDREN);
    QProcess fluidsynth;
    fluidsynth.start("fluidsynth",
                     {"-ni", "-r", "44100", "-F", QString::fromStdString(reference),
                      QString::fromStdString(soundFont), QString::fromStdString(song)});
    fluidsynth.waitForFinished(-1);
    r.fluidCpu = bench::cpuSeconds(RUSAGE_CHILDREN) - childBefore;

    int rate = 0, refRate = 0;
    const std::vector<float> ours = readMono(output, rate);
    const std::vector<float> ref = readMono(reference, refRate);
    r.audioSeconds = double(ours.size()) / rate;
    r.fluidSeconds = double(ref.size()) / refRate;

    // Coarse: 10 ms envelopes, lags within ±2 s. Fine: the waveform, ±10 ms around.
    const std::size_t window10 = 441;
    const auto a = envelope(ours, window10), b = envelope(ref, window10);
    long best = 0;
    double bestCorrelation = -2;
    for (long lag = -200; lag <= 200; ++lag) {
        const double c = correlation(a, b, lag);
        if (c > bestCorrelation)
            bestCorrelation = c, best = lag;
    }
    // Refine on the first 20 seconds of the waveform.
    const std::vector<float> ourHead(
        ours.begin(), ours.begin() + long(std::min<std::size_t>(ours.size(), 44100 * 20)));
    long fine = best * long(window10);
    double fineCorrelation = -2;
    for (long lag = best * long(window10) - 441; lag <= best * long(window10) + 441; ++lag) {
        const double c = correlation(ourHead, ref, lag);
        if (c > fineCorrelation)
            fineCorrelation = c, fine = lag;
    }
    r.offset = fine;
    r.waveCorrelation = fineCorrelation;
    // The envelopes again, with the two files aligned at that offset.
    if (fine >= 0) {
        const std::vector<float> shifted(ref.begin() + std::min<long>(fine, long(ref.size())),
                                         ref.end());
        r.envelopeCorrelation = correlation(a, envelope(shifted, window10), 0);
    } else {
        const std::vector<float> shifted(ours.begin() + std::min<long>(-fine, long(ours.size())),
                                         ours.end());
        r.envelopeCorrelation = correlation(envelope(shifted, window10), b, 0);
    }
    return r;
}

} // namespace

int main(int argc, char **argv) {
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    std::vector<std::string> songs;
    std::string soundFontArgument;
    std::string keep;
    double scale = 1;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--soundfont") == 0 && i + 1 < argc)
            soundFontArgument = argv[++i];
        else if (std::strcmp(argv[i], "--keep") == 0 && i + 1 < argc)
            keep = argv[++i];
        else if (std::strcmp(argv[i], "--scale") == 0 && i + 1 < argc)
            scale = std::atof(argv[++i]);
        else
            songs.push_back(argv[i]);
    }
    // The SoundFont the program will load: named in devices.ini beside this program.
    const std::string devices = paths::devicesFile();
    std::remove(devices.c_str());
    if (!soundFontArgument.empty())
        std::ofstream(devices) << "[Synth]\nSoundFont=" << soundFontArgument << "\n";
    if (songs.empty())
        for (const char *name :
             {"5432gone_redfarn.mid", "coconut_run2.mid", "ttsong_iii_imuh3.mid"})
            songs.push_back(std::string("/usr/share/games/openttd/baseset/openmsx/") + name);
    bench::useTimeScale(scale);

    TApplication app(argc, argv);
    MainWindow window;
    window.Sound = bench::sound();
    window.show();
    window.Mode_Record();
    const std::string soundFont = bench::soundFont();
    std::printf("SoundFont: %s\n", soundFont.c_str());
    QTemporaryDir dir;
    for (const std::string &song : songs) {
        const QString folder = keep.empty() ? dir.path() : QString::fromStdString(keep);
        const Result r = measure(window, song, soundFont, folder);
        std::printf("%s\n  %.1f s recorded; play-to-record gap %ld frames; offset %ld frames "
                    "(off the gap by %ld; target within 512)\n"
                    "  envelope correlation %.4f (target >= 0.95); waveform correlation %.4f\n"
                    "  CPU %.4f s per audio second, fluidsynth %.4f: ratio %.2f (target <= 1.5)\n",
                    song.c_str(), r.audioSeconds, r.gap, r.offset,
                    std::labs(std::labs(r.offset) - r.gap), r.envelopeCorrelation,
                    r.waveCorrelation, r.cpu / r.audioSeconds, r.fluidCpu / r.fluidSeconds,
                    (r.cpu / r.audioSeconds) / (r.fluidCpu / r.fluidSeconds));
        std::fflush(stdout);
    }
    std::printf("peak resident memory: %.1f MB (target < 120 MB)\n",
                bench::statusMegabytes("VmHWM:"));
    std::remove(devices.c_str());
    return 0;
}
