// Parsing kestrune-render's options, the quality's text forms and the help.
#include "render/Request.h"

#include "engine/Synthesiser.h"
#include "platform/Paths.h"
#include "platform/profile/Profile.h"
#include "recording/Formats.h"
#include "recording/RunPlan.h"
#include "render/Live.h"
#include "settings/IniFiles.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <getopt.h>
#include <unistd.h>

namespace render {
namespace {

// The longest tail accepted: an hour of silence is never what was meant.
constexpr double kMaxTailSeconds = 3600;

long wholeNumber(const std::string &text, const char *what) {
    char *end = nullptr;
    errno = 0;
    const long value = std::strtol(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || errno != 0)
        throw UsageError(std::string(what) + " must be a whole number, not \"" + text + "\"");
    return value;
}

std::string lowerWithoutBlanks(const std::string &text) {
    std::string out;
    for (const unsigned char c : text)
        if (!std::isspace(c))
            out += static_cast<char>(std::tolower(c));
    return out;
}

void eraseAll(std::string &text, const std::string &word) {
    for (auto at = text.find(word); at != std::string::npos; at = text.find(word))
        text.erase(at, word.size());
}

} // namespace

int parseQuality(const std::string &text) {
    const std::string plain = lowerWithoutBlanks(text);
    if (!plain.empty() &&
        std::all_of(plain.begin(), plain.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        const int index = plain.size() <= 2 ? std::atoi(plain.c_str()) : -1;
        return index >= 0 && index < int(kRecordingFormats.size()) ? index : -1;
    }
    // "22050/16/mono", "44100 Hertz / 16 bit / Stereo" and the like.
    std::string form = plain;
    eraseAll(form, "hertz");
    eraseAll(form, "hz");
    eraseAll(form, "bit");
    static const char *const kStereo[] = {"stereo", "2", nullptr};
    static const char *const kMono[] = {"mono", "monaural", "1", nullptr};
    for (std::size_t i = 0; i < kRecordingFormats.size(); ++i) {
        const RecordingFormat &f = kRecordingFormats[i];
        const std::string rate =
            std::to_string(f.sampleRate) + "/" + std::to_string(f.bitsPerSample) + "/";
        for (const char *const *channels = f.channels == 2 ? kStereo : kMono; *channels; ++channels)
            if (form == rate + *channels)
                return int(i);
    }
    return -1;
}

bool parseForm(const std::string &text, audio::WaveFormat &format) {
    std::string form = lowerWithoutBlanks(text);
    eraseAll(form, "hertz");
    eraseAll(form, "hz");
    eraseAll(form, "bit");
    const auto first = form.find('/');
    const auto second = first == std::string::npos ? first : form.find('/', first + 1);
    if (second == std::string::npos)
        return false;
    const std::string rate = form.substr(0, first);
    const std::string depth = form.substr(first + 1, second - first - 1);
    const std::string channels = form.substr(second + 1);
    if (rate.empty() || rate.size() > 6 ||
        !std::all_of(rate.begin(), rate.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return false;
    audio::WaveFormat parsed;
    parsed.sampleRate = std::atoi(rate.c_str());
    if (depth == "float" || depth == "f") {
        parsed.bitsPerSample = 32;
        parsed.floating = true;
    } else if (depth == "8" || depth == "16" || depth == "24" || depth == "32") {
        parsed.bitsPerSample = std::atoi(depth.c_str());
    } else {
        return false;
    }
    if (channels == "stereo" || channels == "2")
        parsed.channels = 2;
    else if (channels == "mono" || channels == "monaural" || channels == "1")
        parsed.channels = 1;
    else
        return false;
    format = parsed;
    return true;
}

std::string qualityText(int quality) {
    if (quality < 0 || quality >= int(kRecordingFormats.size()))
        return "none";
    const RecordingFormat &f = kRecordingFormats[std::size_t(quality)];
    return std::to_string(f.sampleRate) + "/" + std::to_string(f.bitsPerSample) + "/" +
           (f.channels == 2 ? "stereo" : "mono");
}

int parseChannel(const std::string &text) {
    std::string digits = text;
    int port = 0;
    if (!text.empty() && std::isalpha(static_cast<unsigned char>(text[0]))) {
        port = std::toupper(static_cast<unsigned char>(text[0])) - 'A';
        digits = text.substr(1);
    }
    if (port < 0 || port >= audio::kMaxPorts || digits.empty() || digits.size() > 2 ||
        !std::all_of(digits.begin(), digits.end(), [](char ch) { return ch >= '0' && ch <= '9'; }))
        return -1;
    const int number = std::stoi(digits);
    return number >= 1 && number <= 16 ? 16 * port + number - 1 : -1;
}

std::string usage() {
    return R"(Usage: kestrune-render [OPTION]... FILE.mid...
Records each Standard MIDI File into a WAVE file (or FLAC, Ogg, ...), as a
run of the Kestrune window would, as fast as the processor allows, tagged
with the song's name and copyright. The options default to those chosen in
the window (its settings file).

  -q, --quality N|FORM     recording format: one of the window's, 0-11, or a
                           form RATE/BITS/CHANNELS such as 44100/16/stereo,
                           48000/24/stereo or 96000/float/mono
      --format NAME        wav (the default), rf64, w64, flac, ogg, opus,
                           aiff or mp3; with -o FILE, also its extension
      --rate HZ            the rate, 8000 to 192000: the synthesiser renders
                           at it up to 96000 (the window's formats are made
                           at 44100, as the window makes them)
      --bits 8|16|24|32|float
                           the depth (FLAC: up to 24; lossy: their own)
      --tail auto|SECONDS  after the song's end, record until the sound has
                           stayed below -90 dBFS for 100 ms (auto, at most
                           30 s: the default, unless the window's settings
                           tick a delay), or that many seconds (0: none)
  -o, --output-dir DIR     write the outputs into DIR, made when missing;
                           -o FILE.EXT (one MIDI file) writes it as FILE.EXT,
                           in the container its extension names;
                           -o - writes the one file's output to standard
                           output (default: beside each MIDI file, or the
                           window's folder of choice)
      --suffix             put the quality information into the file name
      --no-suffix          name the file after the song only
      --mp3[=ENCODER]      encode each WAVE file to MP3 (format 0 only), with
                           ENCODER or the window's encoder
      --no-mp3             no MP3, whatever the window's settings say
      --soundfont FILE     play through this SoundFont; given again, the next
                           ones are stacked under it (a preset comes from
                           the first that holds it)
      --gain DB            raise or lower the level by DB decibels
      --normalize LUFS     bring each file to this integrated loudness
                           (EBU R128), after it is recorded
      --true-peak DBTP     with --normalize, the ceiling of the true peak
                           (default -1)
      --synth-gain G       the synthesiser's own gain, 0 to 10 (0.2)
      --reverb on|off      the synthesiser's reverb
      --reverb-level L     its level, 0 to 1 (0.9)
      --chorus on|off      the synthesiser's chorus
      --chorus-level L     its level, 0 to 10 (2)
      --polyphony N        voices at once, 1 to 65535 (256)
      --interpolation none|linear|4th|7th
                           how samples are interpolated (4th)
      --synth-setting NAME=VALUE
                           any FluidSynth setting, as fluidsynth -o takes it
                           (repeatable); one FluidSynth does not know is
                           refused with its name
                           (these override devices.ini's [Synth] keys)
  -j, --jobs N             files recorded at once (default: the cores)
      --skip-existing      leave out files whose WAVE file is there and whole
                           (and, with --mp3, whose MP3 is there too)
      --interrupted keep|remove
                           what to do first with recordings that a crash or
                           a kill left in the output folders: keep each as
                           NAME-interrupted-STAMP.wav (the default), or
                           remove it; either way a report line says so
      --files-from FILE    also record the files FILE lists, one a line
                           ("-": standard input)
  -0, --null               the lists separate their files with NUL bytes
      --base DIR           mirror each file's folders below DIR under -o's
                           folder (a/song.mid: OUT/a/song.wav)
      --shard K/N          record this shard's files of the whole list: those
                           whose path's hash (relative to --base) modulo N
                           is K (0-based); the same on every machine
      --report FILE.jsonl  add one JSON line per file to FILE.jsonl: input,
                           output, format, frames, seconds, status, error
      --quiet              no progress; failures only
      --stems[=only|dry|dry,only]
                           also write each channel that plays on its own, in
                           the same format, into SONG.stems/ beside the
                           output ("01 Acoustic Grand Piano.wav"), each
                           with its own reverb and chorus; the stems add up
                           to the whole song; "only": the stems without the
                           whole song; "dry": the channels without effects,
                           and the one reverb and chorus they share as two
                           stems more ("Reverb.wav", "Chorus.wav")
      --mute CH[,CH...]    leave these channels out (1 to 16; A1 to D16 for
                           songs whose tracks name MIDI ports)
      --solo CH[,CH...]    play these channels only
      --program CH=PROGRAM[:BANK]
                           hold a channel on a preset (program 0 to 127)
                           whatever program changes the song sends
                           (repeatable)
      --dither on|off      dither as the samples are quantised (on), or round
                           them (off: stems then add up to the song within
                           a step or two of the last bit)
      --text-encoding auto|utf-8|shift-jis|latin-1
                           how the songs' titles and copyrights are read
                           (auto: UTF-8 when valid, else Shift-JIS when it
                           decodes cleanly, else Latin-1)
      --check              record nothing: name every file of this shard whose
                           output is missing, unreadable, shorter than its song
                           (or, with --mp3, lacks its MP3), every temporary or
                           in-progress file in the output folders, and every
                           input recorded more than once in the reports given
                           with --report (repeatable); exit status 1 if any
      --live               play each song in real time on the synthesiser
                           devices.ini names ([Sequencer], [WaveIn]) and
                           record what its input hears, one song after the
                           other: a reset and a wait for the last song to
                           ring out between songs, every note silenced on
                           the way out; --tail auto then ends at the input's
                           own noise floor
      --midi-port [jack:|alsa:]PORT
                           the instrument's MIDI port (a JACK MIDI port, or
                           an ALSA sequencer client:port)
      --input [jack:|pulse:]PORTS
                           what it is heard through: JACK capture ports
                           "a,b", or a PulseAudio/PipeWire source
      --latency FRAMES     frames between an event and its sound reaching
                           the input, beyond what the servers report
                           (default: devices.ini's [WaveIn] Offset)
      --calibrate          measure that before the first song
      --reset gm|gs|xg|mt32|none
                           the instrument's reset before each song (gm)
      --level-check        record nothing: play loud chords on the
                           instrument and show the input's level, until
                           Enter, to set the volumes by
  -h, --help               this help
      --version            the program's version

Exit status: 0 when every file was recorded (or left out), 1 when any
failed (the others are still recorded), 2 for a usage error, 130 when
interrupted (files begun are not saved, those finished are whole).
)";
}

std::vector<std::string> parseList(const std::string &bytes, bool nulSeparated) {
    const char separator = nulSeparated ? '\0' : '\n';
    std::vector<std::string> files;
    std::size_t from = 0;
    while (from <= bytes.size()) {
        const auto end = std::min(bytes.find(separator, from), bytes.size());
        if (end > from)
            files.push_back(bytes.substr(from, end - from));
        from = end + 1;
    }
    return files;
}

namespace {

// Appends the paths of a list file ("-": standard input).
void readList(const std::string &list, bool nulSeparated, std::vector<std::string> &files) {
    std::FILE *in = list == "-" ? stdin : std::fopen(list.c_str(), "rb");
    if (!in)
        throw UsageError("the list \"" + list + "\" cannot be read: " + std::strerror(errno));
    std::string bytes;
    char buffer[65536];
    for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, in)) > 0;)
        bytes.append(buffer, n);
    const bool failed = std::ferror(in) != 0;
    if (in != stdin)
        std::fclose(in);
    if (failed)
        throw UsageError("the list \"" + list + "\" cannot be read: " + std::strerror(errno));
    for (std::string &file : parseList(bytes, nulSeparated))
        files.push_back(std::move(file));
}

} // namespace

namespace {

// The output's encoding: the window's format (or -q's form), --rate and
// --bits over it, in the container --format names, else -o FILE's
// extension, else WAVE.
void chooseEncoding(Request &request, const std::string &quality, const std::string &format,
                    const std::string &rate, const std::string &bits, const std::string &outputFile,
                    const std::string &settings) {
    Encoding &encoding = request.encoding;
    if (!quality.empty()) {
        const int index = parseQuality(quality);
        if (index >= 0)
            request.options.quality = index;
        else if (!parseForm(quality, encoding.format))
            throw UsageError("unknown recording quality \"" + quality +
                             "\": give 0 to 11, or a form such as 44100/16/stereo or "
                             "48000/24/stereo");
    }
    if (const RecordingFormat *window = FormatOf(request.options.quality);
        window && (quality.empty() || parseQuality(quality) >= 0))
        encoding.format = waveFormatOf(*window);
    else if (quality.empty() && rate.empty() && bits.empty())
        throw UsageError("no recording quality is chosen in " + settings + ": give one with -q");
    if (!format.empty() && !containerNamed(format, encoding.container))
        throw UsageError("--format takes wav, rf64, w64, flac, ogg, opus, aiff or mp3, not \"" +
                         format + "\"");
    if (format.empty() && !outputFile.empty())
        containerOfPath(outputFile, encoding.container);
    if (!rate.empty()) {
        encoding.format.sampleRate = int(wholeNumber(rate, "--rate"));
    } else if (!takesRate(encoding.container, encoding.format.sampleRate)) {
        encoding.format.sampleRate = 48000; // Opus's and MPEG's highest, which both take
    }
    if (!bits.empty()) {
        audio::WaveFormat depth;
        if (!parseForm("1/" + bits + "/1", depth))
            throw UsageError("--bits takes 8, 16, 24, 32 or float, not \"" + bits + "\"");
        encoding.format.bitsPerSample = depth.bitsPerSample;
        encoding.format.floating = depth.floating;
    }
    const std::string problem = encodingProblem(encoding);
    if (!problem.empty())
        throw UsageError(problem);
    // The window's formats, in a WAVE file, are the window's choice too.
    if (encoding.windowFormat() >= 0)
        request.options.quality = encoding.windowFormat();
}

} // namespace

Request parseCommandLine(int argc, char **argv, const std::string &settings) {
    Request request;
    // A settings file that is not one (a FIFO, a folder) is refused by name
    // rather than waited on or taken for empty.
    for (const std::string &file : {settings, paths::devicesFile()}) {
        std::string why;
        if (!profile::isReadableFile(file.c_str(), why))
            throw UsageError(file + " cannot be read as a settings file: " + why);
    }
    request.options = ReadOptions(TIniFile(settings));
    const long cores = ::sysconf(_SC_NPROCESSORS_ONLN);
    request.jobs = cores > 0 ? int(cores) : 1;
    std::string quality, tail, shard, encoder, format, rate, bits, outputFile;
    std::vector<std::string> lists;
    bool mp3 = false, noMp3 = false, nulSeparated = false, jobsGiven = false;
    std::string liveOnly; // the last option given that only a live batch takes

    enum {
        Tail = 1000,
        Format,
        Rate,
        Bits,
        Suffix,
        NoSuffix,
        Mp3,
        NoMp3,
        SoundFont,
        Gain,
        Normalize,
        TruePeak,
        SynthGain,
        Reverb,
        ReverbLevel,
        Chorus,
        ChorusLevel,
        Polyphony,
        Interpolation,
        SynthSetting,
        SkipExisting,
        Interrupted,
        Shard,
        Report,
        Quiet,
        Version,
        FilesFrom,
        Base,
        Check,
        TextEncoding,
        Stems,
        Mute,
        Solo,
        Program,
        Dither,
        Live,
        MidiPort,
        Input,
        Latency,
        Calibrate,
        LevelCheck,
        Reset
    };
    static const option longOptions[] = {
        {"quality", required_argument, nullptr, 'q'},
        {"tail", required_argument, nullptr, Tail},
        {"format", required_argument, nullptr, Format},
        {"rate", required_argument, nullptr, Rate},
        {"bits", required_argument, nullptr, Bits},
        {"output-dir", required_argument, nullptr, 'o'},
        {"files-from", required_argument, nullptr, FilesFrom},
        {"null", no_argument, nullptr, '0'},
        {"base", required_argument, nullptr, Base},
        {"check", no_argument, nullptr, Check},
        {"suffix", no_argument, nullptr, Suffix},
        {"no-suffix", no_argument, nullptr, NoSuffix},
        {"mp3", optional_argument, nullptr, Mp3},
        {"no-mp3", no_argument, nullptr, NoMp3},
        {"soundfont", required_argument, nullptr, SoundFont},
        {"gain", required_argument, nullptr, Gain},
        {"normalize", required_argument, nullptr, Normalize},
        {"true-peak", required_argument, nullptr, TruePeak},
        {"synth-gain", required_argument, nullptr, SynthGain},
        {"reverb", required_argument, nullptr, Reverb},
        {"reverb-level", required_argument, nullptr, ReverbLevel},
        {"chorus", required_argument, nullptr, Chorus},
        {"chorus-level", required_argument, nullptr, ChorusLevel},
        {"polyphony", required_argument, nullptr, Polyphony},
        {"interpolation", required_argument, nullptr, Interpolation},
        {"synth-setting", required_argument, nullptr, SynthSetting},
        {"jobs", required_argument, nullptr, 'j'},
        {"skip-existing", no_argument, nullptr, SkipExisting},
        {"interrupted", required_argument, nullptr, Interrupted},
        {"shard", required_argument, nullptr, Shard},
        {"report", required_argument, nullptr, Report},
        {"quiet", no_argument, nullptr, Quiet},
        {"text-encoding", required_argument, nullptr, TextEncoding},
        {"stems", optional_argument, nullptr, Stems},
        {"mute", required_argument, nullptr, Mute},
        {"solo", required_argument, nullptr, Solo},
        {"program", required_argument, nullptr, Program},
        {"dither", required_argument, nullptr, Dither},
        {"live", no_argument, nullptr, Live},
        {"midi-port", required_argument, nullptr, MidiPort},
        {"input", required_argument, nullptr, Input},
        {"latency", required_argument, nullptr, Latency},
        {"calibrate", no_argument, nullptr, Calibrate},
        {"level-check", no_argument, nullptr, LevelCheck},
        {"reset", required_argument, nullptr, Reset},
        {"help", no_argument, nullptr, 'h'},
        {"version", no_argument, nullptr, Version},
        {nullptr, 0, nullptr, 0},
    };
    ::opterr = 0;
    ::optind = 0; // also starts getopt afresh for a second command line
    for (;;) {
        const int c = ::getopt_long(argc, argv, ":q:o:j:h0", longOptions, nullptr);
        if (c == -1)
            break;
        std::string value = ::optarg ? ::optarg : "";
        switch (c) {
        case 'q':
            quality = value.empty() ? " " : value;
            break;
        case Tail:
            tail = value.empty() ? " " : value;
            break;
        case Format:
            format = value.empty() ? " " : value;
            break;
        case Rate:
            rate = value.empty() ? " " : value;
            break;
        case Bits:
            bits = value.empty() ? " " : value;
            break;
        case 'o': {
            if (value == "-") {
                // Recorded in a folder of its own, then written out.
                request.toStdout = true;
                request.options.preferDirectory = true;
                request.options.directory.clear();
                break;
            }
            request.toStdout = false;
            Container named;
            if (containerOfPath(value, named) && !paths::isFolder(value)) {
                // One file's output, named as given.
                outputFile = value;
                break;
            }
            outputFile.clear();
            // Made with its parents when missing, as mkdir -p would.
            std::error_code error;
            if (!value.empty() && !paths::isFolder(value))
                std::filesystem::create_directories(value, error);
            if (!paths::isFolder(value))
                throw UsageError("the output folder \"" + value + "\" cannot be made" +
                                 (error ? ": " + error.message() : std::string()));
            request.options.preferDirectory = true;
            request.options.directory = value.back() == '/' ? value : value + "/";
            break;
        }
        case Suffix:
            request.options.qualityInName = true;
            break;
        case NoSuffix:
            request.options.qualityInName = false;
            break;
        case Mp3:
            mp3 = true;
            noMp3 = false;
            encoder = value;
            break;
        case NoMp3:
            noMp3 = true;
            mp3 = false;
            break;
        case SoundFont:
            if (!paths::isFile(value))
                throw UsageError("the SoundFont \"" + value + "\" does not exist");
            if (request.soundFont.empty())
                request.soundFont = value;
            else
                request.moreSoundFonts.push_back(value);
            break;
        case Gain: {
            char *end = nullptr;
            request.synth.gainDb = std::strtod(value.c_str(), &end);
            if (value.empty() || *end != '\0' || std::fabs(request.synth.gainDb) > 60)
                throw UsageError("--gain takes decibels from -60 to 60, not \"" + value + "\"");
            break;
        }
        case Normalize:
        case TruePeak: {
            char *end = nullptr;
            const double level = std::strtod(value.c_str(), &end);
            const bool loudness = c == Normalize;
            if (value.empty() || *end != '\0' || level > 0 || level < (loudness ? -70 : -20))
                throw UsageError(
                    loudness ? "--normalize takes LUFS from -70 to 0, not \"" + value + "\""
                             : "--true-peak takes dBTP from -20 to 0, not \"" + value + "\"");
            (loudness ? request.loudness : request.truePeak) = level;
            request.normalize = request.normalize || loudness;
            break;
        }
        case SynthGain:
            request.synth.gain = value;
            break;
        case Reverb:
            request.synth.reverb = value;
            break;
        case ReverbLevel:
            request.synth.reverbLevel = value;
            break;
        case Chorus:
            request.synth.chorus = value;
            break;
        case ChorusLevel:
            request.synth.chorusLevel = value;
            break;
        case Polyphony:
            request.synth.polyphony = value;
            break;
        case Interpolation:
            request.synth.interpolation = value;
            break;
        case SynthSetting:
            if (value.find('=') == std::string::npos || value.find(';') != std::string::npos)
                throw UsageError("--synth-setting takes NAME=VALUE, not \"" + value + "\"");
            request.synth.settings += (request.synth.settings.empty() ? "" : ";") + value;
            break;
        case 'j':
            request.jobs = int(wholeNumber(value, "--jobs"));
            jobsGiven = true;
            if (request.jobs < 1 || request.jobs > 1024)
                throw UsageError("--jobs must be between 1 and 1024");
            break;
        case SkipExisting:
            request.skipExisting = true;
            break;
        case Interrupted:
            if (value != "keep" && value != "remove")
                throw UsageError("--interrupted takes keep or remove, not \"" + value + "\"");
            request.keepInterrupted = value == "keep";
            break;
        case Shard:
            shard = value;
            break;
        case Report:
            request.report = value;
            request.reports.push_back(value);
            break;
        case Check:
            request.check = true;
            break;
        case Quiet:
            request.quiet = true;
            break;
        case Dither:
            if (value != "on" && value != "off")
                throw UsageError("--dither takes on or off, not \"" + value + "\"");
            request.dither = value == "on";
            break;
        case Stems: {
            // "--stems only" as well as "--stems=only"; dry, only, or both
            // as "dry,only".
            auto kinds = [](const std::string &text) {
                return text == "only" || text == "dry" || text == "dry,only" || text == "only,dry";
            };
            if (value.empty() && ::optind < argc && kinds(argv[::optind]))
                value = argv[::optind++];
            else if (!value.empty() && !kinds(value))
                throw UsageError("--stems takes nothing, only, dry or dry,only, not \"" + value +
                                 "\"");
            request.stems = true;
            request.stemsOnly = request.stemsOnly || value.find("only") != std::string::npos;
            request.dryStems = request.dryStems || value.find("dry") != std::string::npos;
            break;
        }
        case Live:
            request.live = true;
            break;
        case MidiPort:
            request.midiPort = value;
            liveOnly = "--midi-port";
            break;
        case Input:
            request.input = value;
            liveOnly = "--input";
            break;
        case Latency:
            request.latency = long(wholeNumber(value, "--latency"));
            request.latencyGiven = true;
            liveOnly = "--latency";
            break;
        case Calibrate:
            request.calibrate = true;
            liveOnly = "--calibrate";
            break;
        case LevelCheck:
            request.levelCheck = true;
            break;
        case Reset: {
            ResetKind kind;
            if (!parseReset(value, kind))
                throw UsageError("--reset takes gm, gs, xg, mt32 or none, not \"" + value + "\"");
            request.reset = value;
            liveOnly = "--reset";
            break;
        }
        case Mute:
        case Solo:
            for (std::size_t at = 0; at <= value.size();) {
                const std::size_t comma = std::min(value.find(',', at), value.size());
                const std::string item = value.substr(at, comma - at);
                const int channel = parseChannel(item);
                if (channel < 0)
                    throw UsageError(std::string(c == Mute ? "--mute" : "--solo") +
                                     " takes channels 1 to 16 (A1 to D16 for songs with ports), "
                                     "not \"" +
                                     item + "\"");
                (c == Mute ? request.parts.muted : request.parts.solo).push_back(channel);
                at = comma + 1;
            }
            break;
        case Program: {
            // CH=PROGRAM[:BANK]: the preset's General MIDI number (from 0)
            // and, if given, its bank.
            const std::size_t equals = value.find('=');
            const std::size_t colon = value.find(':', equals == std::string::npos ? 0 : equals);
            audio::ChannelParts::Program held;
            held.channel = parseChannel(value.substr(0, equals));
            char *end = nullptr;
            const std::string program = equals == std::string::npos
                                            ? std::string()
                                            : value.substr(equals + 1, colon - equals - 1);
            const long p = std::strtol(program.c_str(), &end, 10);
            bool ok = held.channel >= 0 && !program.empty() && *end == '\0' && p >= 0 && p < 128;
            held.program = int(p);
            if (ok && colon != std::string::npos) {
                const std::string bank = value.substr(colon + 1);
                const long b = std::strtol(bank.c_str(), &end, 10);
                ok = !bank.empty() && *end == '\0' && b >= 0 && b < 16384;
                held.bank = int(b);
            }
            if (!ok)
                throw UsageError("--program takes CHANNEL=PROGRAM[:BANK] (a channel 1 to 16 or "
                                 "A1 to D16, a program 0 to 127, a bank 0 to 16383), not \"" +
                                 value + "\"");
            request.parts.programs.push_back(held);
            break;
        }
        case TextEncoding: {
            using audio::TextEncoding;
            static const std::pair<const char *, TextEncoding> names[] = {
                {"auto", TextEncoding::Auto},
                {"utf-8", TextEncoding::Utf8},
                {"shift-jis", TextEncoding::ShiftJis},
                {"latin-1", TextEncoding::Latin1}};
            const auto *named = std::find_if(std::begin(names), std::end(names),
                                             [&](const auto &n) { return value == n.first; });
            if (named == std::end(names))
                throw UsageError("--text-encoding takes auto, utf-8, shift-jis or latin-1, not \"" +
                                 value + "\"");
            request.textEncoding = named->second;
            break;
        }
        case FilesFrom:
            lists.push_back(value);
            break;
        case '0':
            nulSeparated = true;
            break;
        case Base:
            if (!paths::isFolder(value))
                throw UsageError("the base folder \"" + value + "\" does not exist");
            request.base = value.back() == '/' ? value : value + "/";
            break;
        case 'h':
            request.help = true;
            return request;
        case Version:
            request.version = true;
            return request;
        case ':':
            throw UsageError(std::string("the option ") + argv[::optind - 1] + " needs a value");
        default:
            throw UsageError(std::string("unknown option ") + argv[::optind - 1]);
        }
    }

    chooseEncoding(request, quality, format, rate, bits, outputFile, settings);

    if (tail == "auto") {
        request.tailAuto = true;
    } else if (!tail.empty()) {
        char *end = nullptr;
        request.tailSeconds = std::strtod(tail.c_str(), &end);
        if (*end != '\0' || !(request.tailSeconds >= 0 && request.tailSeconds <= kMaxTailSeconds))
            throw UsageError("--tail must be auto or a number of seconds from 0 to 3600, not \"" +
                             tail + "\"");
    } else {
        // The window's delay when its settings tick one; else the sound's own end.
        request.tailSeconds = TailSeconds(request.options);
        request.tailAuto = request.tailSeconds == 0;
    }

    if (noMp3) {
        request.options.encode = false;
    } else if (mp3) {
        request.options.encode = true;
        if (!encoder.empty())
            request.options.encoder = encoder;
        if (!paths::isFile(request.options.encoder))
            throw UsageError(request.options.encoder.empty()
                                 ? std::string("--mp3 needs an encoder: give --mp3=ENCODER")
                                 : "the MP3 encoder \"" + request.options.encoder +
                                       "\" does not exist");
        if (request.encoding.windowFormat() != 0)
            throw UsageError("MP3 encoding needs the high-quality format (-q 0, 44100/16/stereo) "
                             "in a WAVE file; --format mp3 writes MP3 files itself");
    } else if (request.options.encode && request.encoding.windowFormat() != 0) {
        // The window would ask; here the settings' encoding gives way.
        request.options.encode = false;
    }

    // The synthesiser's controls are checked now, before a file records: a
    // value out of range, or a setting FluidSynth does not know, by name.
    const std::string synthProblem = audio::Synthesiser::controlsProblem(request.synth);
    if (!synthProblem.empty())
        throw UsageError(synthProblem);

    if (!shard.empty()) {
        const auto slash = shard.find('/');
        if (slash == std::string::npos)
            throw UsageError("--shard must be K/N, such as 0/4, not \"" + shard + "\"");
        request.shardIndex = int(wholeNumber(shard.substr(0, slash), "--shard's K"));
        request.shardCount = int(wholeNumber(shard.substr(slash + 1), "--shard's N"));
        if (request.shardCount < 1 || request.shardIndex < 0 ||
            request.shardIndex >= request.shardCount)
            throw UsageError("--shard K/N needs 0 <= K < N, not \"" + shard + "\"");
    }

    if (!liveOnly.empty() && !request.live && !request.levelCheck)
        throw UsageError(liveOnly + " is for --live and --level-check");
    if (request.levelCheck)
        return request; // nothing to record
    if (request.live) {
        // One instrument plays one song at a time.
        if (jobsGiven && request.jobs > 1)
            throw UsageError("--live plays one song at a time on one instrument: -j is refused");
        request.jobs = 1;
        if (request.stems)
            throw UsageError("--live records what the input hears, which holds no channels of "
                             "its own: --stems is refused");
    }

    // The whole list, from the command line and the lists named: every
    // shard reads all of it, and takes its own files by their hash.
    for (int i = ::optind; i < argc; ++i)
        request.files.emplace_back(argv[i]);
    for (const std::string &list : lists)
        readList(list, nulSeparated, request.files);
    if (request.files.empty())
        throw UsageError("no MIDI file given");
    if (!outputFile.empty()) {
        if (request.files.size() != 1)
            throw UsageError("-o " + outputFile + " names one file's output; " +
                             std::to_string(request.files.size()) + " files were given");
        if (request.options.encode)
            throw UsageError("-o FILE writes that file only: give --no-mp3");
        const std::string folder = outputFile.substr(0, outputFile.rfind('/') + 1);
        std::error_code error;
        if (!folder.empty() && !paths::isFolder(folder))
            std::filesystem::create_directories(folder, error);
        if (!folder.empty() && !paths::isFolder(folder))
            throw UsageError("the output folder \"" + folder + "\" cannot be made" +
                             (error ? ": " + error.message() : std::string()));
        request.outputFile = outputFile;
    }
    if (request.toStdout) {
        if (request.files.size() != 1)
            throw UsageError("-o - writes one file's recording to standard output; " +
                             std::to_string(request.files.size()) + " files were given");
        if (request.options.encode)
            throw UsageError("-o - writes the one output only: give --no-mp3");
        if (request.skipExisting || request.shardCount > 1 || !request.base.empty())
            throw UsageError("-o - takes no --skip-existing, --shard or --base");
        if (request.stems)
            throw UsageError("-o - writes one file: the stems need a folder");
    }
    if (request.stems && request.options.encode && request.stemsOnly)
        throw UsageError("--stems only writes no WAVE file for --mp3 to encode: give --no-mp3");
    return request;
}

namespace {

// 64-bit FNV-1a: small, fast, and the same everywhere.
std::uint64_t fnv1a(const std::string &text) {
    std::uint64_t hash = 0xcbf29ce484222325ull;
    for (const char c : text) {
        hash ^= static_cast<unsigned char>(c);
        hash *= 0x100000001b3ull;
    }
    return hash;
}

} // namespace

namespace {

// The path of `file` relative to the base folder; false when there is no
// base or the file does not lie below it.
bool belowBase(const Request &request, const std::string &file, std::string &relative) {
    if (request.base.empty())
        return false;
    namespace fs = std::filesystem;
    const fs::path below =
        fs::absolute(fs::path(file))
            .lexically_normal()
            .lexically_relative(fs::absolute(fs::path(request.base)).lexically_normal());
    if (below.empty() || *below.begin() == "..")
        return false;
    relative = below.string();
    return true;
}

} // namespace

std::string listedKey(const Request &request, const std::string &file) {
    std::string relative;
    return belowBase(request, file, relative) ? relative : file;
}

bool inShard(const Request &request, const std::string &file) {
    return fnv1a(listedKey(request, file)) % std::uint64_t(request.shardCount) ==
           std::uint64_t(request.shardIndex);
}

std::string outputOf(const Request &request, const std::string &file) {
    if (!request.outputFile.empty())
        return request.outputFile;
    // The last four characters are the song's extension (".mid").
    std::string name = file.substr(file.rfind('/') + 1);
    name.resize(name.size() > 4 ? name.size() - 4 : 0);
    if (request.options.qualityInName)
        name += qualityTag(request.encoding);
    return outputFolderOf(request, file) + name + extensionOf(request.encoding.container);
}

std::string outputFolderOf(const Request &request, const std::string &file) {
    std::string folder = OutputFolder(request.options, file);
    std::string relative;
    if (!request.options.preferDirectory || !belowBase(request, file, relative))
        return folder;
    const auto slash = relative.rfind('/');
    if (slash != std::string::npos)
        folder += relative.substr(0, slash + 1);
    return folder;
}

} // namespace render
