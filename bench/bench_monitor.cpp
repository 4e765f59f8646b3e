// The monitor through real sound servers started here (a PulseAudio with a
// null sink, a JACK dummy server), in one run:
//   1. CPU per audio second recording a song with the monitor on (pulse,
//      jack) against none;
//   2. the monitor's latency as each server reports it;
//   3. monitor underruns over a long recording while two other processes
//      keep both cores busy, and whether the recording shows any of them
//      (it is compared frame by frame with kestrune-render's).
// Usage: bench_monitor [--minutes N] [--outputs LIST]
//   --minutes: the long recording (default 10; 0 leaves it out)
//   --outputs: which of none,pulse,jack,jack1024 to measure (default all)
#include "engine/DeviceConfig.h"
#include "engine/Engine.h"
#include "engine/Output.h"
#include "platform/Paths.h"
#include "support/MidiWriter.h"
#include "support/SoundServers.h"

#include "BenchRecord.h"

#include "BenchSupport.h"

#include <QApplication>
#include <QProcess>
#include <QTemporaryDir>

#include <sndfile.h>

#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <vector>

namespace {

void useOutput(const std::string &backend, const std::string &device) {
    audio::DevicesConfig config = audio::readDevicesConfig();
    config.backend = backend;
    config.device = device;
    std::string error;
    if (!audio::writeDevicesConfig(paths::devicesFile(), config, error))
        std::fprintf(stderr, "%s\n", error.c_str());
}

// A song of `minutes` minutes: a chord on every beat, always something sounding.
void writeLongSong(const std::string &path, int minutes) {
    test::TrackWriter t;
    t.delta(0).program(0, 0);
    const int keys[] = {60, 64, 67, 65, 69, 72, 62, 67};
    for (int beat = 0; beat < minutes * 120; ++beat) {
        const int key = keys[beat % 8];
        t.delta(0).noteOn(0, key, 90).delta(0).noteOn(0, key - 12, 70);
        t.delta(470).noteOff(0, key).delta(0).noteOff(0, key - 12);
        t.delta(10).raw({0xB0, 1, std::uint8_t(beat % 64)});
    }
    t.delta(480).end();
    bench::writeBytes(path, test::midiFile(0, 480, {t.bytes()}));
}

std::vector<short> samples(const std::string &path) {
    SF_INFO info{};
    SNDFILE *file = sf_open(path.c_str(), SFM_READ, &info);
    std::vector<short> out(std::size_t(info.frames * info.channels));
    if (file) {
        sf_read_short(file, out.data(), sf_count_t(out.size()));
        sf_close(file);
    }
    return out;
}

} // namespace

int main(int argc, char **argv) {
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    QApplication app(argc, argv);
    int minutes = 10;
    std::string outputs = ",none,pulse,jack,jack1024,";
    for (int i = 1; i + 1 < argc; ++i)
        if (std::strcmp(argv[i], "--minutes") == 0)
            minutes = std::atoi(argv[i + 1]);
        else if (std::strcmp(argv[i], "--outputs") == 0)
            outputs = "," + std::string(argv[i + 1]) + ",";
    QTemporaryDir dir;
    const std::string templ = dir.filePath("template.wav").toStdString();
    const std::string wave = dir.filePath("out.wav").toStdString();
    bench::writeTemplate(templ);
    test::PulseServer pulse;
    auto jack = std::make_unique<test::JackServer>();
    if (!pulse.ready() || !jack->ready()) {
        std::fprintf(stderr, "the servers did not start\n");
        return 1;
    }
    const std::string song = "/usr/share/games/openttd/baseset/openmsx/busy_schedule.mid";
    std::printf("song: %s, SoundFont: %s\n\n", song.c_str(), bench::soundFont().c_str());

    // 1 and 2: CPU and latency per backend; JACK at 256 frames a period and
    // again at 1024.
    double noneCpu = 0;
    for (const auto &[backend, device] : std::vector<std::pair<std::string, std::string>>{
             {"none", ""}, {"pulse", pulse.sink()}, {"jack", ""}, {"jack1024", ""}}) {
        if (outputs.find("," + backend + ",") == std::string::npos)
            continue;
        if (backend == "jack1024") {
            jack.reset();
            jack = std::make_unique<test::JackServer>(1024);
        }
        useOutput(backend.substr(0, 4) == "jack" ? "jack" : backend, device);
        const bench::Run run = bench::record(song, templ, wave);
        const double perSecond = run.cpuSeconds / run.audioSeconds;
        if (backend == "none")
            noneCpu = perSecond;
        std::printf("%-5s %-40s %6.1f s audio  %.4f CPU s per audio s  ratio %.2f  latency "
                    "%.1f ms  underruns %ld\n",
                    backend.c_str(), run.output.empty() ? "(nothing heard)" : run.output.c_str(),
                    run.audioSeconds, perSecond, perSecond / noneCpu, run.latency * 1000,
                    run.underruns);
    }
    std::printf("target: CPU with the monitor on at most 1.2 times none's\n\n");
    jack.reset();
    jack = std::make_unique<test::JackServer>();

    // 3: a long recording with both cores busy elsewhere.
    if (minutes <= 0) {
        useOutput("none", "");
        return 0;
    }
    const std::string longSong = dir.filePath("long.mid").toStdString();
    writeLongSong(longSong, minutes);
    QProcess render;
    render.start(QString::fromStdString(paths::programFolder() + "../kestrune-render"),
                 {"-q", "0", "--tail", "2", "--soundfont",
                  QString::fromStdString(bench::soundFont()), "-o", dir.path(),
                  QString::fromStdString(longSong)});
    render.waitForFinished(-1);
    const std::vector<short> reference = samples(dir.filePath("long.wav").toStdString());
    for (const auto &[backend, device] :
         std::vector<std::pair<std::string, std::string>>{{"pulse", pulse.sink()}, {"jack", ""}}) {
        useOutput(backend, device);
        test::Process busy1({"sh", "-c", "while :; do :; done"}, {});
        test::Process busy2({"sh", "-c", "while :; do :; done"}, {});
        const bench::Run run = bench::record(longSong, templ, wave);
        busy1.end(SIGKILL);
        busy2.end(SIGKILL);
        const std::vector<short> recorded = samples(wave);
        // The recording against the render, song frame by song frame.
        const long long shift = run.started - run.played;
        long long unlike = 0;
        for (std::size_t i = 0;
             i < recorded.size() && i + std::size_t(2 * shift) < reference.size(); ++i)
            if (std::abs(recorded[i] - reference[i + std::size_t(2 * shift)]) > 2)
                ++unlike;
        std::printf("%s, %d minutes, both cores busy: %ld monitor underruns; recording %lld "
                    "frames of %lld run frames, %lld samples unlike the render\n",
                    backend.c_str(), minutes, run.underruns, (long long)recorded.size() / 2,
                    (long long)(run.ended - run.started), unlike);
    }
    useOutput("none", "");
    return 0;
}
