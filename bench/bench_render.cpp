// kestrune-render against fluidsynth's file renderer, side by side in one
// run: one file's CPU and wall time, the OpenMSX set with two jobs against
// the same files one by one, the peak memory of a job, a 60-file corpus
// (the OpenMSX set and one-second songs) read from a list, and the start-up
// cost of a one-second song.
//
//   bench_render [SOUNDFONT]   (default: TimGM6mb)
#include "support/MidiWriter.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

const char kOpenMsx[] = "/usr/share/games/openttd/baseset/openmsx/";

struct Measured {
    double wall = 0, cpu = 0, peakMb = 0;
    int status = 0;
};

// Runs a command and measures it with its children (wait4 counts the
// children a process has waited for).
Measured run(const std::vector<std::string> &command) {
    std::vector<char *> argv;
    for (const std::string &a : command)
        argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    std::fflush(stdout); // not again from the child
    const auto start = std::chrono::steady_clock::now();
    const pid_t pid = ::fork();
    if (pid == 0) {
        std::freopen("/dev/null", "w", stdout);
        std::freopen("/dev/null", "w", stderr);
        ::execvp(argv[0], argv.data());
        std::_Exit(127);
    }
    Measured m;
    rusage usage{};
    ::wait4(pid, &m.status, 0, &usage);
    m.wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    m.cpu = double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
            double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    m.peakMb = double(usage.ru_maxrss) / 1024.0;
    return m;
}

Measured median(std::vector<Measured> runs) {
    std::sort(runs.begin(), runs.end(),
              [](const Measured &a, const Measured &b) { return a.cpu < b.cpu; });
    return runs[runs.size() / 2];
}

std::string programFolder() {
    char buffer[4096];
    const ssize_t n = ::readlink("/proc/self/exe", buffer, sizeof buffer - 1);
    std::string path(buffer, n > 0 ? std::size_t(n) : 0);
    return path.substr(0, path.rfind('/') + 1);
}

} // namespace

int main(int argc, char **argv) {
    // bench_render [SOUNDFONT] [--against OLD-KESTRUNE-RENDER]
    std::string soundFont = "/usr/share/sounds/sf2/TimGM6mb.sf2", against;
    for (int i = 1; i < argc; ++i) {
        if (std::string(argv[i]) == "--against" && i + 1 < argc)
            against = argv[++i];
        else
            soundFont = argv[i];
    }
    const std::string render = programFolder() + "../kestrune-render";
    const std::string out = std::filesystem::temp_directory_path() / "kestrune-bench-render";
    std::filesystem::remove_all(out);
    std::filesystem::create_directories(out + "/fs");
    std::filesystem::create_directories(out + "/kr");
    const std::vector<std::string> ours = {render,    "-q",          "0",        "--tail",
                                           "0",       "--no-suffix", "--no-mp3", "--soundfont",
                                           soundFont, "--quiet",     "-o"};

    // Each container against fluidsynth -F writing the same one (the same
    // rate and depth, libsndfile's defaults for both), on a format-0 file
    // and on a long one, median CPU of 5, run in turns.
    struct Container {
        const char *name, *type, *sample, *rate;
        std::vector<std::string> options;
    };
    const Container containers[] = {
        {"WAV 16-bit", "wav", "s16", "44100", {"--format", "wav"}},
        {"WAV 24-bit 48000", "wav", "s24", "48000", {"--format", "wav", "-q", "48000/24/stereo"}},
        {"FLAC", "flac", "s16", "44100", {"--format", "flac"}},
        {"Ogg Vorbis", "oga", "s16", "44100", {"--format", "ogg"}},
    };
    const std::string song = std::string(kOpenMsx) + "busy_schedule.mid";
    double peakMb = 0;
    for (const char *name : {"busy_schedule.mid", "keep_on_rolling.mid"}) {
        const std::string file = std::string(kOpenMsx) + name;
        std::printf("%s against fluidsynth -F, %s (median CPU of 5)\n", name, soundFont.c_str());
        for (const Container &c : containers) {
            std::vector<Measured> fs, kr;
            for (int i = 0; i < 5; ++i) {
                fs.push_back(run({"fluidsynth", "-ni", "-q", "-r", c.rate, "-O", c.sample, "-T",
                                  c.type, "-F", out + "/fs/out." + c.type, soundFont, file}));
                std::vector<std::string> command = ours;
                command.insert(command.end(), {out + "/kr", "-j", "1"});
                command.insert(command.end(), c.options.begin(), c.options.end());
                command.push_back(file);
                kr.push_back(run(command));
            }
            const Measured f = median(fs), k = median(kr);
            peakMb = std::max(peakMb, k.peakMb);
            std::printf("  %-17s fluidsynth cpu %6.3f s  kestrune-render cpu %6.3f s  peak %5.1f MB"
                        "  ratio %.3f (target <= 1.1)\n",
                        c.name, f.cpu, k.cpu, k.peakMb, k.cpu / f.cpu);
        }
        std::printf("\n");
    }
    std::printf("peak memory of kestrune-render %.1f MB (target < 80 MB)\n\n", peakMb);

    {
        // Two-pass loudness normalisation against a plain render (whose
        // levels are measured too), on the same file.
        std::vector<Measured> plain, normal;
        for (int i = 0; i < 5; ++i) {
            std::vector<std::string> command = ours;
            command.insert(command.end(), {out + "/kr", "-j", "1", song});
            plain.push_back(run(command));
            command.insert(command.end() - 1, {"--normalize", "-16"});
            normal.push_back(run(command));
        }
        const Measured p = median(plain), n = median(normal);
        std::printf("busy_schedule.mid normalised to -16 LUFS (median of 5)\n");
        std::printf("  plain      cpu %6.3f s\n  normalised cpu %6.3f s: %.3f (target <= 1.3)\n\n",
                    p.cpu, n.cpu, n.cpu / p.cpu);
    }

    if (!against.empty()) {
        // The crash-safe recording (an in-progress file synced once a second,
        // renamed into place) against another build, e.g. one that spooled
        // to a scratch file and copied it at the save: one short and one
        // long file, median CPU of 5 each, run in turns.
        const std::string longest = std::string(kOpenMsx) + "keep_on_rolling.mid";
        std::printf("crash-safe recording against %s (median of 5)\n", against.c_str());
        for (const std::string &file : {song, longest}) {
            std::vector<Measured> now, before;
            for (int i = 0; i < 5; ++i) {
                for (auto *into : {&now, &before}) {
                    std::vector<std::string> command = ours;
                    command.front() = into == &now ? render : against;
                    command.insert(command.end(), {out + "/kr", "-j", "1", file});
                    into->push_back(run(command));
                }
            }
            const Measured n = median(now), b = median(before);
            std::printf("  %-20s cpu %6.3f s against %6.3f s: %.3f (target <= 1.05)\n",
                        std::filesystem::path(file).filename().c_str(), n.cpu, b.cpu,
                        n.cpu / b.cpu);
        }
        std::printf("\n");
    }

    // The OpenMSX set: fluidsynth one by one, then kestrune-render -j 2.
    std::vector<std::string> songs;
    for (const auto &entry : std::filesystem::directory_iterator(kOpenMsx))
        if (entry.path().extension() == ".mid")
            songs.push_back(entry.path());
    std::sort(songs.begin(), songs.end());
    Measured serial;
    for (const std::string &s : songs) {
        const Measured m =
            run({"fluidsynth", "-ni", "-r", "44100", "-F",
                 out + "/fs/" + std::filesystem::path(s).stem().string() + ".wav", soundFont, s});
        serial.wall += m.wall;
        serial.cpu += m.cpu;
        serial.peakMb = std::max(serial.peakMb, m.peakMb);
    }
    std::vector<std::string> command = ours;
    command.insert(command.end(), {out + "/kr", "-j", "2"});
    command.insert(command.end(), songs.begin(), songs.end());
    const Measured batch = run(command);
    std::printf("OpenMSX set, %zu files\n", songs.size());
    std::printf("  fluidsynth -F one by one  wall %6.2f s  cpu %6.2f s\n", serial.wall, serial.cpu);
    std::printf("  kestrune-render -j 2      wall %6.2f s  cpu %6.2f s  (exit %d)\n", batch.wall,
                batch.cpu, WEXITSTATUS(batch.status));
    std::printf("  wall ratio %.3f (target <= 0.6)\n", batch.wall / serial.wall);
    std::printf("  peak memory of a job %.1f MB (target < 80 MB)\n\n", batch.peakMb);

    // A 60-file corpus: the OpenMSX set and one-second songs, read from a
    // list as a cluster's shard reads it.
    std::filesystem::create_directories(out + "/short");
    std::vector<std::string> corpus = songs;
    for (int i = 0; corpus.size() < 60; ++i) {
        const std::string path = out + "/short/s" + std::to_string(i) + ".mid";
        const test::Bytes bytes =
            test::simpleSong({{0.0, 0.8, 60 + i % 12}, {0.2, 0.9, 67}}, 1.0, i % 8);
        std::ofstream(path, std::ios::binary)
            .write(reinterpret_cast<const char *>(bytes.data()), std::streamsize(bytes.size()));
        corpus.push_back(path);
    }
    {
        std::ofstream list(out + "/list.txt");
        for (const std::string &c : corpus)
            list << c << "\n";
    }
    Measured corpusSerial;
    for (std::size_t i = 0; i < corpus.size(); ++i) {
        const Measured m = run({"fluidsynth", "-ni", "-r", "44100", "-F",
                                out + "/fs/c" + std::to_string(i) + ".wav", soundFont, corpus[i]});
        corpusSerial.wall += m.wall;
        corpusSerial.cpu += m.cpu;
    }
    std::filesystem::remove_all(out + "/kr");
    command = ours;
    command.insert(command.end(), {out + "/kr", "-j", "2", "--files-from", out + "/list.txt"});
    const Measured corpusBatch = run(command);
    std::printf("60-file corpus (OpenMSX set and one-second songs), from a list\n");
    std::printf("  fluidsynth -F one by one  wall %6.2f s  cpu %6.2f s\n", corpusSerial.wall,
                corpusSerial.cpu);
    std::printf("  kestrune-render -j 2      wall %6.2f s  cpu %6.2f s  (exit %d)\n",
                corpusBatch.wall, corpusBatch.cpu, WEXITSTATUS(corpusBatch.status));
    std::printf("  wall ratio %.3f\n\n", corpusBatch.wall / corpusSerial.wall);

    // Start-up: one one-second song, a process each.
    std::vector<Measured> fsShort, krShort;
    for (int i = 0; i < 5; ++i) {
        fsShort.push_back(run({"fluidsynth", "-ni", "-r", "44100", "-F", out + "/fs/one.wav",
                               soundFont, out + "/short/s0.mid"}));
        std::vector<std::string> one = ours;
        one.insert(one.end(), {out + "/kr", "-j", "1", out + "/short/s0.mid"});
        krShort.push_back(run(one));
    }
    const Measured fo = median(fsShort), ko = median(krShort);
    std::printf("one one-second song, a process each (median of 5)\n");
    std::printf("  fluidsynth -F     wall %6.3f s  cpu %6.3f s\n", fo.wall, fo.cpu);
    std::printf("  kestrune-render   wall %6.3f s  cpu %6.3f s\n", ko.wall, ko.cpu);
    std::filesystem::remove_all(out);
    return 0;
}
