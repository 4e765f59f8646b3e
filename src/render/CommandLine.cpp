// kestrune-render's command line: one table of options gives the help, the
// names getopt reads and what each does to the request; the request is then
// checked as a whole. Reading it changes nothing on disk.
#include "render/Request.h"

#include "engine/Synthesiser.h"
#include "platform/Paths.h"
#include "platform/profile/Profile.h"
#include "recording/Formats.h"
#include "recording/RunPlan.h"
#include "render/Live.h"
#include "render/Loop.h"
#include "render/LoopFile.h"
#include "settings/IniFiles.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <getopt.h>
#include <iterator>
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

double number(const std::string &text, double least, double most, const std::string &refusal) {
    char *end = nullptr;
    const double value = std::strtod(text.c_str(), &end);
    if (text.empty() || *end != '\0' || !(value >= least && value <= most))
        throw UsageError(refusal + ", not \"" + text + "\"");
    return value;
}

// What the options have said, before the request is checked as a whole.
struct Reading {
    Request request;
    std::string quality, tail, format, rate, bits, outputFile, shard, encoder, fade;
    std::vector<std::string> lists;
    bool mp3 = false, noMp3 = false, nulSeparated = false, jobsGiven = false;
    std::string liveOnly; // the last option given that only a live batch takes
    int argc = 0;         // for an option that takes the next word when it fits
    char **argv = nullptr;
};

enum class Group { Format, Output, Synthesiser, Stems, Loops, Batches, Live, Help };

const char *const kHeadings[] = {"Format",
                                 "Output and naming",
                                 "Synthesiser (over devices.ini's [Synth] keys)",
                                 "Stems and channels",
                                 "Loops: songs written to repeat",
                                 "Batches and clusters",
                                 "Live: an instrument played in real time, heard through an input",
                                 "Help"};

enum class Takes { Nothing, Value, MaybeValue };

struct OptionSpec {
    const char *name;
    char letter; // 0 for none
    Takes takes;
    const char *value; // as the help names it
    Group group;
    const char *help;
    void (*apply)(Reading &, std::string &value);
};

// A value that is one of `words`, or a refusal that lists them.
void oneOf(const std::string &value, std::initializer_list<const char *> words,
           const char *option) {
    std::string list;
    for (const char *word : words) {
        if (value == word)
            return;
        list += std::string(list.empty()                      ? ""
                            : word == *std::prev(words.end()) ? " or "
                                                              : ", ") +
                word;
    }
    throw UsageError(std::string(option) + " takes " + list + ", not \"" + value + "\"");
}

void channels(const std::string &value, const char *option, std::vector<int> &channels) {
    for (std::size_t at = 0; at <= value.size();) {
        const std::size_t comma = std::min(value.find(',', at), value.size());
        const std::string item = value.substr(at, comma - at);
        const int channel = parseChannel(item);
        if (channel < 0)
            throw UsageError(std::string(option) +
                             " takes channels 1 to 16 (A1 to D16 for songs with ports), not \"" +
                             item + "\"");
        channels.push_back(channel);
        at = comma + 1;
    }
}

void program(Reading &r, std::string &value) {
    // CH=PROGRAM[:BANK]: the preset's General MIDI number (from 0) and, if
    // given, its bank.
    const std::size_t equals = value.find('=');
    const std::size_t colon = value.find(':', equals == std::string::npos ? 0 : equals);
    audio::ChannelParts::Program held;
    held.channel = parseChannel(value.substr(0, equals));
    char *end = nullptr;
    const std::string program =
        equals == std::string::npos ? std::string() : value.substr(equals + 1, colon - equals - 1);
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
        throw UsageError("--program takes CHANNEL=PROGRAM[:BANK] (a channel 1 to 16 or A1 to D16, "
                         "a program 0 to 127, a bank 0 to 16383), not \"" +
                         value + "\"");
    r.request.parts.programs.push_back(held);
}

void output(Reading &r, std::string &value) {
    Request &request = r.request;
    request.outputFolder.clear();
    if (value == "-") {
        // Recorded in a folder of its own, then written out.
        request.toStdout = true;
        request.options.preferDirectory = true;
        request.options.directory.clear();
        return;
    }
    request.toStdout = false;
    Container named;
    if (containerOfPath(value, named) && !paths::isFolder(value)) {
        r.outputFile = value; // one file's output, named as given
        return;
    }
    r.outputFile.clear();
    if (value.empty())
        throw UsageError("the output folder \"\" cannot be made");
    request.options.preferDirectory = true;
    request.options.directory = value.back() == '/' ? value : value + "/";
    request.outputFolder = value;
}

void stems(Reading &r, std::string &value) {
    // "--stems only" as well as "--stems=only"; dry, only, or both as "dry,only".
    auto kinds = [](const std::string &text) {
        return text == "only" || text == "dry" || text == "dry,only" || text == "only,dry";
    };
    if (value.empty() && ::optind < r.argc && kinds(r.argv[::optind]))
        value = r.argv[::optind++];
    else if (!value.empty() && !kinds(value))
        throw UsageError("--stems takes nothing, only, dry or dry,only, not \"" + value + "\"");
    r.request.stems = true;
    r.request.stemsOnly = r.request.stemsOnly || value.find("only") != std::string::npos;
    r.request.dryStems = r.request.dryStems || value.find("dry") != std::string::npos;
}

void textEncoding(Reading &r, std::string &value) {
    using audio::TextEncoding;
    static const std::pair<const char *, TextEncoding> names[] = {
        {"auto", TextEncoding::Auto},
        {"utf-8", TextEncoding::Utf8},
        {"shift-jis", TextEncoding::ShiftJis},
        {"latin-1", TextEncoding::Latin1}};
    oneOf(value, {"auto", "utf-8", "shift-jis", "latin-1"}, "--text-encoding");
    r.request.textEncoding = std::find_if(std::begin(names), std::end(names), [&](const auto &n) {
                                 return value == n.first;
                             })->second;
}

// A value kept as given, checked with the rest (an empty one is a blank,
// which no check takes).
#define KEEP(field) [](Reading &r, std::string &value) { r.field = value.empty() ? " " : value; }
#define SYNTH(field) [](Reading &r, std::string &value) { r.request.synth.field = value; }

const OptionSpec kOptions[] = {
    {"quality", 'q', Takes::Value, "N|FORM", Group::Format,
     "the recording format: one of the window's twelve by its number (below), or a form "
     "RATE/BITS/CHANNELS such as 44100/16/stereo, 48000/24/stereo or 96000/float/mono",
     KEEP(quality)},
    {"format", 0, Takes::Value, "NAME", Group::Format,
     "wav (the default), rf64, w64, flac, ogg, opus, aiff or mp3; with -o FILE, also its "
     "extension",
     KEEP(format)},
    {"rate", 0, Takes::Value, "HZ", Group::Format,
     "the rate, 8000 to 192000: the synthesiser renders at it up to 96000 (the window's formats "
     "are made at 44100, as the window makes them)",
     KEEP(rate)},
    {"bits", 0, Takes::Value, "8|16|24|32|float", Group::Format,
     "the depth (FLAC: up to 24; lossy: their own)", KEEP(bits)},
    {"tail", 0, Takes::Value, "auto|SECONDS", Group::Format,
     "after the song's end, record until the sound has stayed below -90 dBFS for 100 ms (auto, "
     "at most 30 seconds: the default, unless the window's settings tick a delay), or that many "
     "seconds (0: none)",
     KEEP(tail)},
    {"normalize", 0, Takes::Value, "LUFS", Group::Format,
     "bring each file to this integrated loudness (EBU R128), after it is recorded",
     [](Reading &r, std::string &value) {
         r.request.loudness = number(value, -70, 0, "--normalize takes LUFS from -70 to 0");
         r.request.normalize = true;
     }},
    {"true-peak", 0, Takes::Value, "DBTP", Group::Format,
     "with --normalize, the ceiling of the true peak (default -1)",
     [](Reading &r, std::string &value) {
         r.request.truePeak = number(value, -20, 0, "--true-peak takes dBTP from -20 to 0");
     }},
    {"dither", 0, Takes::Value, "on|off", Group::Format,
     "dither as the samples are quantised (on), or round them (off: stems then add up to the "
     "song within a step or two of the last bit)",
     [](Reading &r, std::string &value) {
         oneOf(value, {"on", "off"}, "--dither");
         r.request.dither = value == "on";
     }},
    {"mp3", 0, Takes::MaybeValue, "ENCODER", Group::Format,
     "encode each WAVE file to MP3 with ENCODER or the window's encoder (format 0 only; "
     "refused with -o FILE, -o - and --stems only)",
     [](Reading &r, std::string &value) {
         r.mp3 = true;
         r.noMp3 = false;
         r.encoder = value;
     }},
    {"no-mp3", 0, Takes::Nothing, "", Group::Format, "no MP3, whatever the window's settings say",
     [](Reading &r, std::string &) {
         r.noMp3 = true;
         r.mp3 = false;
     }},

    {"output-dir", 'o', Takes::Value, "DIR|FILE|-", Group::Output,
     "write the outputs into DIR, made when missing; -o FILE.EXT (one MIDI file) writes it as "
     "FILE.EXT, in the container its extension names; -o - writes the one file's output to "
     "standard output (default: beside each MIDI file, or the window's folder of choice)",
     output},
    {"suffix", 0, Takes::Nothing, "", Group::Output,
     "put the quality information into the file name",
     [](Reading &r, std::string &) { r.request.options.qualityInName = true; }},
    {"no-suffix", 0, Takes::Nothing, "", Group::Output, "name the file after the song only",
     [](Reading &r, std::string &) { r.request.options.qualityInName = false; }},
    {"base", 0, Takes::Value, "DIR", Group::Output,
     "mirror each file's folders below DIR under -o's folder (a/song.mid: OUT/a/song.wav)",
     [](Reading &r, std::string &value) {
         if (!paths::isFolder(value))
             throw UsageError("the base folder \"" + value + "\" does not exist");
         r.request.base = value.back() == '/' ? value : value + "/";
     }},
    {"text-encoding", 0, Takes::Value, "auto|utf-8|shift-jis|latin-1", Group::Output,
     "how the songs' titles and copyrights are read, for the tags (auto: UTF-8 when valid, else "
     "Shift-JIS when it decodes cleanly, else Latin-1)",
     textEncoding},

    {"soundfont", 0, Takes::Value, "FILE", Group::Synthesiser,
     "play through this SoundFont; given again, the next ones are stacked under it (a preset "
     "comes from the first that holds it)",
     [](Reading &r, std::string &value) {
         if (!paths::isFile(value))
             throw UsageError("the SoundFont \"" + value + "\" does not exist");
         if (r.request.soundFont.empty())
             r.request.soundFont = value;
         else
             r.request.moreSoundFonts.push_back(value);
     }},
    {"gain", 0, Takes::Value, "DB", Group::Synthesiser, "raise or lower the level by DB decibels",
     [](Reading &r, std::string &value) {
         r.request.synth.gainDb = number(value, -60, 60, "--gain takes decibels from -60 to 60");
     }},
    {"synth-gain", 0, Takes::Value, "G", Group::Synthesiser,
     "the synthesiser's own gain, 0 to 10 (0.2)", SYNTH(gain)},
    {"reverb", 0, Takes::Value, "on|off", Group::Synthesiser, "the synthesiser's reverb",
     SYNTH(reverb)},
    {"reverb-level", 0, Takes::Value, "L", Group::Synthesiser, "its level, 0 to 1 (0.9)",
     SYNTH(reverbLevel)},
    {"chorus", 0, Takes::Value, "on|off", Group::Synthesiser, "the synthesiser's chorus",
     SYNTH(chorus)},
    {"chorus-level", 0, Takes::Value, "L", Group::Synthesiser, "its level, 0 to 10 (2)",
     SYNTH(chorusLevel)},
    {"polyphony", 0, Takes::Value, "N", Group::Synthesiser, "voices at once, 1 to 65535 (256)",
     SYNTH(polyphony)},
    {"interpolation", 0, Takes::Value, "none|linear|4th|7th", Group::Synthesiser,
     "how samples are interpolated (4th)", SYNTH(interpolation)},
    {"synth-setting", 0, Takes::Value, "NAME=VALUE", Group::Synthesiser,
     "any FluidSynth setting, as fluidsynth -o takes it (repeatable); one FluidSynth does not "
     "know is refused with its name",
     [](Reading &r, std::string &value) {
         if (value.find('=') == std::string::npos || value.find(';') != std::string::npos)
             throw UsageError("--synth-setting takes NAME=VALUE, not \"" + value + "\"");
         r.request.synth.settings += (r.request.synth.settings.empty() ? "" : ";") + value;
     }},

    {"stems", 0, Takes::MaybeValue, "only|dry|dry,only", Group::Stems,
     "also write each channel that plays on its own, in the same format, into SONG.stems/ "
     "beside the output (\"01 Acoustic Grand Piano.wav\"), each with its own reverb and chorus; "
     "the stems add up to the whole song; \"only\": the stems without the whole song; \"dry\": "
     "the channels without effects, and the one reverb and chorus they share as two stems more "
     "(\"Reverb.wav\", \"Chorus.wav\"); refused by --live and by writing to standard output",
     stems},
    {"mute", 0, Takes::Value, "CH[,CH...]", Group::Stems,
     "leave these channels out (1 to 16; A1 to D16 for songs whose tracks name MIDI ports)",
     [](Reading &r, std::string &value) { channels(value, "--mute", r.request.parts.muted); }},
    {"solo", 0, Takes::Value, "CH[,CH...]", Group::Stems, "play these channels only",
     [](Reading &r, std::string &value) { channels(value, "--solo", r.request.parts.solo); }},
    {"program", 0, Takes::Value, "CH=PROGRAM[:BANK]", Group::Stems,
     "hold a channel on a preset (program 0 to 127) whatever program changes the song sends "
     "(repeatable)",
     program},

    {"loops", 0, Takes::Value, "N", Group::Loops,
     "play a song's loop N times in all (1 to 1000), then its ending: the loop its "
     "\"loopStart\" and \"loopEnd\" markers mark, else its controllers 116 and 117 (EMIDI), "
     "else from its controller 111 to its end (RPG Maker); a song with none plays once",
     [](Reading &r, std::string &value) {
         r.request.loops = int(wholeNumber(value, "--loops"));
         if (r.request.loops < 1 || r.request.loops > 1000)
             throw UsageError("--loops must be between 1 and 1000");
     }},
    {"loop", 0, Takes::Value, "FROM-TO", Group::Loops,
     "the loop, over the song's own: seconds (12.5-64) or bars and beats by the song's time "
     "signatures (5:1-37:1)",
     [](Reading &r, std::string &value) {
         r.request.loop = parseLoop(value);
         if (!r.request.loop)
             throw UsageError("--loop takes FROM-TO in seconds (12.5-64) or in bars and beats "
                              "(5:1-37:1), not \"" +
                              value + "\"");
     }},
    {"loop-file", 0, Takes::Nothing, "", Group::Loops,
     "write the intro and exactly one pass of the loop, made to be repeated for ever: the pass "
     "is the second, which carries the ring-out of the one before it into its start, and the "
     "loop is marked where players look (LOOPSTART and LOOPLENGTH comments, in frames, in "
     "FLAC, Ogg and Opus; a sampler loop in WAVE and RF64; markers and a sustain loop in "
     "AIFF; loop_start_frames and loop_length_frames in the report); MP3 and W64 mark none",
     [](Reading &r, std::string &) { r.request.loopFile = true; }},
    {"fade", 0, Takes::MaybeValue, "SECONDS", Group::Loops,
     "after the last pass, play on into the loop while the sound fades out over SECONDS "
     "(8; 0.1 to 600), instead of the ending and the tail",
     [](Reading &r, std::string &value) { r.fade = value.empty() ? "8" : value; }},

    {"jobs", 'j', Takes::Value, "N", Group::Batches, "files recorded at once (default: the cores)",
     [](Reading &r, std::string &value) {
         r.request.jobs = int(wholeNumber(value, "--jobs"));
         r.jobsGiven = true;
         if (r.request.jobs < 1 || r.request.jobs > 1024)
             throw UsageError("--jobs must be between 1 and 1024");
     }},
    {"files-from", 0, Takes::Value, "FILE", Group::Batches,
     "also record the files FILE lists, one a line (\"-\": standard input)",
     [](Reading &r, std::string &value) { r.lists.push_back(value); }},
    {"null", '0', Takes::Nothing, "", Group::Batches,
     "the lists separate their files with NUL bytes",
     [](Reading &r, std::string &) { r.nulSeparated = true; }},
    {"skip-existing", 0, Takes::Nothing, "", Group::Batches,
     "leave out files whose output is there and whole (and, with --mp3, whose MP3 is there "
     "too)",
     [](Reading &r, std::string &) { r.request.skipExisting = true; }},
    {"interrupted", 0, Takes::Value, "keep|remove", Group::Batches,
     "what to do first with recordings that a crash or a kill left in the output folders: keep "
     "each as NAME-interrupted-STAMP.wav (the default), or remove it; either way a report line "
     "says so",
     [](Reading &r, std::string &value) {
         oneOf(value, {"keep", "remove"}, "--interrupted");
         r.request.keepInterrupted = value == "keep";
     }},
    {"shard", 0, Takes::Value, "K/N", Group::Batches,
     "record this shard's files of the whole list: those whose path's hash (relative to --base) "
     "modulo N is K (0-based); the same on every machine",
     KEEP(shard)},
    {"report", 0, Takes::Value, "FILE.jsonl", Group::Batches,
     "add one JSON line per file to FILE.jsonl: input, output, format, frames, seconds, levels, "
     "status, error",
     [](Reading &r, std::string &value) {
         r.request.report = value;
         r.request.reports.push_back(value);
     }},
    {"report-page", 0, Takes::Value, "FILE.html", Group::Batches,
     "also show the report as a page to look at and listen through, written as the batch goes: "
     "a row per file with its waveform and loudness over time, levels and stems, and a player; "
     "those that need a look first (failed, clipped, quieter than -30 LUFS, a silent stem, a "
     "noisy input, a ring-out that timed out)",
     [](Reading &r, std::string &value) { r.request.reportPage = value; }},
    {"from-report", 0, Takes::Value, "FILE.jsonl", Group::Batches,
     "record nothing: make the --report-page of reports already written (repeatable: the "
     "reports of a cluster's shards, say); their paths are taken from where it runs",
     [](Reading &r, std::string &value) { r.request.fromReports.push_back(value); }},
    {"check", 0, Takes::Nothing, "", Group::Batches,
     "record nothing: name every file of this shard whose output is missing, unreadable, "
     "shorter than its song (or, with --mp3, lacks its MP3), every temporary or in-progress "
     "file in the output folders, and every input recorded more than once in the reports given "
     "with --report (repeatable); exit status 1 if any",
     [](Reading &r, std::string &) { r.request.check = true; }},
    {"quiet", 0, Takes::Nothing, "", Group::Batches, "no progress; failures only",
     [](Reading &r, std::string &) { r.request.quiet = true; }},

    {"live", 0, Takes::Nothing, "", Group::Live,
     "play each song in real time on the synthesiser devices.ini names ([Sequencer], [WaveIn]) "
     "and record what its input hears, one song after the other: a reset and a wait for the "
     "last song to ring out between songs, every note silenced on the way out; --tail auto then "
     "ends at the input's own noise floor; one job, no stems",
     [](Reading &r, std::string &) { r.request.live = true; }},
    {"midi-port", 0, Takes::Value, "[jack:|alsa:]PORT", Group::Live,
     "the instrument's MIDI port: a JACK MIDI port, or an ALSA sequencer client:port; without "
     "a prefix, of the kind devices.ini's [Sequencer] Output names (jack when it names the "
     "internal synthesiser)",
     [](Reading &r, std::string &value) {
         r.request.midiPort = value;
         r.liveOnly = "--midi-port";
     }},
    {"input", 0, Takes::Value, "[jack:|pulse:]PORTS", Group::Live,
     "what it is heard through: JACK capture ports \"a,b\", or a PulseAudio/PipeWire source; "
     "without a prefix, of the kind devices.ini's [WaveIn] Input names (jack when it names the "
     "loopback)",
     [](Reading &r, std::string &value) {
         r.request.input = value;
         r.liveOnly = "--input";
     }},
    {"latency", 0, Takes::Value, "FRAMES", Group::Live,
     "frames between an event and its sound reaching the input, beyond what the servers report "
     "(default: devices.ini's [WaveIn] Offset)",
     [](Reading &r, std::string &value) {
         r.request.latency = long(wholeNumber(value, "--latency"));
         r.request.latencyGiven = true;
         r.liveOnly = "--latency";
     }},
    {"calibrate", 0, Takes::Nothing, "", Group::Live, "measure that before the first song",
     [](Reading &r, std::string &) {
         r.request.calibrate = true;
         r.liveOnly = "--calibrate";
     }},
    {"reset", 0, Takes::Value, "gm|gs|xg|mt32|none", Group::Live,
     "the instrument's reset before each song (gm)",
     [](Reading &r, std::string &value) {
         ResetKind kind;
         if (!parseReset(value, kind))
             oneOf(value, {"gm", "gs", "xg", "mt32", "none"}, "--reset");
         r.request.reset = value;
         r.liveOnly = "--reset";
     }},
    {"level-check", 0, Takes::Nothing, "", Group::Live,
     "record nothing: play loud chords on the instrument and show the input's level, until "
     "Enter, to set the volumes by",
     [](Reading &r, std::string &) { r.request.levelCheck = true; }},

    {"help", 'h', Takes::Nothing, "", Group::Help, "this help",
     [](Reading &r, std::string &) { r.request.help = true; }},
    {"version", 0, Takes::Nothing, "", Group::Help, "the program's version",
     [](Reading &r, std::string &) { r.request.version = true; }},
};

#undef KEEP
#undef SYNTH

constexpr int kFirstCode = 1000; // getopt's code of the first option without a letter

// `text` wrapped into lines of at most `width` columns, each but the first
// indented by `indent` blanks.
std::string wrapped(const std::string &text, std::size_t indent, std::size_t width) {
    std::string out, line;
    std::size_t at = 0;
    while (at < text.size()) {
        const std::size_t blank = std::min(text.find(' ', at), text.size());
        const std::string word = text.substr(at, blank - at);
        if (!line.empty() && indent + line.size() + 1 + word.size() > width) {
            out += line + "\n" + std::string(indent, ' ');
            line.clear();
        }
        line += (line.empty() ? "" : " ") + word;
        at = blank + 1;
    }
    return out + line;
}

// The request's encoding: the window's format (or -q's form), --rate and
// --bits over it, in the container --format names, else -o FILE's
// extension, else WAVE.
void chooseEncoding(Reading &r, const std::string &settings) {
    Request &request = r.request;
    Encoding &encoding = request.encoding;
    if (!r.quality.empty()) {
        const int index = parseQuality(r.quality);
        if (index >= 0)
            request.options.quality = index;
        else if (!parseForm(r.quality, encoding.format))
            throw UsageError("unknown recording quality \"" + r.quality +
                             "\": give 0 to 11, or a form such as 44100/16/stereo or "
                             "48000/24/stereo");
    }
    if (const RecordingFormat *window = FormatOf(request.options.quality);
        window && (r.quality.empty() || parseQuality(r.quality) >= 0))
        encoding.format = waveFormatOf(*window);
    else if (r.quality.empty() && r.rate.empty() && r.bits.empty())
        throw UsageError("no recording quality is chosen in " + settings + ": give one with -q");
    if (!r.format.empty() && !containerNamed(r.format, encoding.container))
        throw UsageError("--format takes wav, rf64, w64, flac, ogg, opus, aiff or mp3, not \"" +
                         r.format + "\"");
    if (r.format.empty() && !r.outputFile.empty())
        containerOfPath(r.outputFile, encoding.container);
    if (!r.rate.empty()) {
        encoding.format.sampleRate = int(wholeNumber(r.rate, "--rate"));
    } else if (!takesRate(encoding.container, encoding.format.sampleRate)) {
        encoding.format.sampleRate = 48000; // Opus's and MPEG's highest, which both take
    }
    if (!r.bits.empty()) {
        audio::WaveFormat depth;
        if (!parseForm("1/" + r.bits + "/1", depth))
            throw UsageError("--bits takes 8, 16, 24, 32 or float, not \"" + r.bits + "\"");
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

void chooseTail(Reading &r) {
    Request &request = r.request;
    if (r.tail == "auto") {
        request.tailAuto = true;
    } else if (!r.tail.empty()) {
        request.tailSeconds = number(r.tail, 0, kMaxTailSeconds,
                                     "--tail must be auto or a number of seconds from 0 to 3600");
    } else {
        // The window's delay when its settings tick one; else the sound's own end.
        request.tailSeconds = TailSeconds(request.options);
        request.tailAuto = request.tailSeconds == 0;
    }
}

void chooseEncoder(Reading &r) {
    Request &request = r.request;
    if (r.noMp3) {
        request.options.encode = false;
    } else if (r.mp3) {
        request.options.encode = true;
        if (!r.encoder.empty())
            request.options.encoder = r.encoder;
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
}

void chooseLoops(Reading &r) {
    Request &request = r.request;
    if (!r.fade.empty())
        request.fadeSeconds = number(r.fade, 0.1, 600, "--fade takes seconds from 0.1 to 600");
    if (request.loopFile) {
        if (request.loops > 0 || request.fadeSeconds > 0)
            throw UsageError("--loop-file writes one pass of the loop: --loops and --fade are "
                             "refused");
        if (!marksLoops(request.encoding.container))
            throw UsageError(std::string("--loop-file needs a container that marks a loop (") +
                             kLoopContainers + "); " + containerName(request.encoding.container) +
                             " marks none");
        if (request.options.encode)
            throw UsageError("--loop-file: an MP3 marks no loop: give --no-mp3");
    } else if (request.loops == 0 && (request.fadeSeconds > 0 || request.loop)) {
        throw UsageError(std::string(request.loop ? "--loop" : "--fade") +
                         " needs --loops (how many times the loop plays)" +
                         (request.loop ? " or --loop-file" : ""));
    }
}

void chooseShard(Reading &r) {
    if (r.shard.empty())
        return;
    const auto slash = r.shard.find('/');
    if (slash == std::string::npos)
        throw UsageError("--shard must be K/N, such as 0/4, not \"" + r.shard + "\"");
    Request &request = r.request;
    request.shardIndex = int(wholeNumber(r.shard.substr(0, slash), "--shard's K"));
    request.shardCount = int(wholeNumber(r.shard.substr(slash + 1), "--shard's N"));
    if (request.shardCount < 1 || request.shardIndex < 0 ||
        request.shardIndex >= request.shardCount)
        throw UsageError("--shard K/N needs 0 <= K < N, not \"" + r.shard + "\"");
}

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

// The files, and what they and the options refuse together.
void chooseFiles(Reading &r, int first) {
    Request &request = r.request;
    for (int i = first; i < r.argc; ++i)
        request.files.emplace_back(r.argv[i]);
    for (const std::string &list : r.lists)
        readList(list, r.nulSeparated, request.files);
    if (request.files.empty())
        throw UsageError("no MIDI file given");
    if (!r.outputFile.empty()) {
        if (request.files.size() != 1)
            throw UsageError("-o " + r.outputFile + " names one file's output; " +
                             std::to_string(request.files.size()) + " files were given");
        if (request.options.encode)
            throw UsageError("-o FILE writes that file only: give --no-mp3");
        request.outputFile = r.outputFile;
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
}

} // namespace

std::string usage() {
    std::string text = R"(Usage: kestrune-render [OPTION]... FILE.mid...
Records each Standard MIDI File into a WAVE file (or FLAC, Ogg, ...), as a
run of the Kestrune window would, as fast as the processor allows, tagged
with the song's name and copyright. The options default to those chosen in
the window (its settings file).

  kestrune-render song.mid                 the window's format, beside the song
  kestrune-render -q 48000/24/stereo --format flac -o flac/ a.mid b.mid
  kestrune-render --stems -j 4 -o out/ --report out/report.jsonl *.mid
)";
    constexpr std::size_t kColumn = 27, kWidth = 79;
    for (int group = 0; group <= int(Group::Help); ++group) {
        text += std::string("\n") + kHeadings[group] + ":\n";
        for (const OptionSpec &o : kOptions) {
            if (int(o.group) != group)
                continue;
            std::string names = o.letter ? std::string("  -") + o.letter + ", --" : "      --";
            names += o.name;
            if (o.takes == Takes::Value)
                names += std::string(" ") + o.value;
            else if (o.takes == Takes::MaybeValue)
                names += std::string("[=") + o.value + "]";
            text += names.size() + 1 < kColumn ? names + std::string(kColumn - names.size(), ' ')
                                               : names + "\n" + std::string(kColumn, ' ');
            text += wrapped(o.help, kColumn, kWidth) + "\n";
            if (o.letter == 'q') // the window's formats, by number
                for (std::size_t i = 0; i < kRecordingFormats.size(); ++i)
                    text += std::string(kColumn, ' ') + (i < 10 ? " " : "") + std::to_string(i) +
                            "  " + kRecordingFormats[i].listText + "\n";
        }
    }
    return text + R"(
Exit status: 0 when every file was recorded (or left out), 1 when any
failed (the others are still recorded), 2 for a usage error, 130 when
interrupted (files begun are not saved, those finished are whole).
)";
}

Request parseCommandLine(int argc, char **argv, const std::string &settings) {
    Reading r;
    r.argc = argc;
    r.argv = argv;
    Request &request = r.request;
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

    std::vector<option> longOptions;
    std::string letters = ":";
    for (std::size_t i = 0; i < std::size(kOptions); ++i) {
        const OptionSpec &o = kOptions[i];
        const int has = o.takes == Takes::Nothing ? no_argument
                        : o.takes == Takes::Value ? required_argument
                                                  : optional_argument;
        longOptions.push_back({o.name, has, nullptr, o.letter ? o.letter : kFirstCode + int(i)});
        if (o.letter)
            letters += std::string(1, o.letter) + (has == required_argument ? ":" : "");
    }
    longOptions.push_back({nullptr, 0, nullptr, 0});
    ::opterr = 0;
    ::optind = 0; // also starts getopt afresh for a second command line
    for (int code;
         (code = ::getopt_long(argc, argv, letters.c_str(), longOptions.data(), nullptr)) != -1;) {
        if (code == ':')
            throw UsageError(std::string("the option ") + argv[::optind - 1] + " needs a value");
        const OptionSpec *o =
            code >= kFirstCode && code < kFirstCode + int(std::size(kOptions))
                ? &kOptions[code - kFirstCode]
                : std::find_if(std::begin(kOptions), std::end(kOptions),
                               [&](const OptionSpec &s) { return s.letter && s.letter == code; });
        if (o == std::end(kOptions))
            throw UsageError(std::string("unknown option ") + argv[::optind - 1]);
        std::string value = ::optarg ? ::optarg : "";
        o->apply(r, value);
        if (request.help || request.version)
            return request;
    }

    chooseEncoding(r, settings);
    chooseTail(r);
    chooseEncoder(r);
    // The synthesiser's controls are checked now, before a file records: a
    // value out of range, or a setting FluidSynth does not know, by name.
    const std::string synthProblem = audio::Synthesiser::controlsProblem(request.synth);
    if (!synthProblem.empty())
        throw UsageError(synthProblem);
    chooseShard(r);
    chooseLoops(r);

    if (!r.liveOnly.empty() && !request.live && !request.levelCheck)
        throw UsageError(r.liveOnly + " is for --live and --level-check");
    if (request.levelCheck)
        return request; // nothing to record
    if (!request.fromReports.empty()) {
        if (request.reportPage.empty())
            throw UsageError("--from-report makes a page: give --report-page FILE.html");
        if (::optind < argc || !r.lists.empty())
            throw UsageError("--from-report records nothing: no MIDI file is taken");
        return request;
    }
    if (request.live) {
        // One instrument plays one song at a time.
        if (r.jobsGiven && request.jobs > 1)
            throw UsageError("--live plays one song at a time on one instrument: -j is refused");
        request.jobs = 1;
        if (request.stems)
            throw UsageError("--live records what the input hears, which holds no channels of "
                             "its own: --stems is refused");
    }
    chooseFiles(r, ::optind);
    return request;
}

void makeOutputFolders(const Request &request) {
    for (const std::string &folder :
         {request.outputFolder, request.outputFile.substr(0, request.outputFile.rfind('/') + 1)}) {
        // Made with its parents when missing, as mkdir -p would.
        std::error_code error;
        if (!folder.empty() && !paths::isFolder(folder))
            std::filesystem::create_directories(folder, error);
        if (!folder.empty() && !paths::isFolder(folder))
            throw UsageError("the output folder \"" + folder + "\" cannot be made" +
                             (error ? ": " + error.message() : std::string()));
    }
}

} // namespace render
