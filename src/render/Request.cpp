// Parsing kestrune-render's options, the quality's text forms and the help.
#include "render/Request.h"

#include "platform/Paths.h"
#include "platform/profile/Profile.h"

#include "platform/Paths.h"
#include "recording/Formats.h"
#include "recording/RunPlan.h"
#include "settings/IniFiles.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdlib>
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

std::string qualityText(int quality) {
    if (quality < 0 || quality >= int(kRecordingFormats.size()))
        return "none";
    const RecordingFormat &f = kRecordingFormats[std::size_t(quality)];
    return std::to_string(f.sampleRate) + "/" + std::to_string(f.bitsPerSample) + "/" +
           (f.channels == 2 ? "stereo" : "mono");
}

std::string usage() {
    return R"(Usage: kestrune-render [OPTION]... FILE.mid...
Records each Standard MIDI File into a WAVE file, as a run of the Kestrune
window would, as fast as the processor allows. The options default to those
chosen in the window (its settings file).

  -q, --quality N|FORM     recording format: 0-11, or a form such as
                           44100/16/stereo, 22050/8/mono, 11025/16/stereo
      --tail SECONDS       seconds recorded after the song's end (0: none)
  -o, --output-dir DIR     write the WAVE files into DIR, made when missing
                           (default: beside each MIDI file, or the window's
                           folder of choice)
      --suffix             put the quality information into the file name
      --no-suffix          name the file after the song only
      --mp3[=ENCODER]      encode each WAVE file to MP3 (format 0 only), with
                           ENCODER or the window's encoder
      --no-mp3             no MP3, whatever the window's settings say
      --soundfont FILE     play through this SoundFont
  -j, --jobs N             files recorded at once (default: the cores)
      --skip-existing      leave out files whose WAVE file exists
      --shard K/N          take every Nth file, starting at the Kth (0-based)
      --report FILE.jsonl  add one JSON line per file to FILE.jsonl: input,
                           output, format, frames, seconds, status, error
      --quiet              no progress; failures only
  -h, --help               this help
      --version            the program's version

Exit status: 0 when every file was recorded (or left out), 1 when any
failed (the others are still recorded), 2 for a usage error, 130 when
interrupted (files begun are not saved, those finished are whole).
)";
}

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
    std::string quality, tail, shard, encoder;
    bool mp3 = false, noMp3 = false;

    enum {
        Tail = 1000,
        Suffix,
        NoSuffix,
        Mp3,
        NoMp3,
        SoundFont,
        SkipExisting,
        Shard,
        Report,
        Quiet,
        Version
    };
    static const option longOptions[] = {
        {"quality", required_argument, nullptr, 'q'},
        {"tail", required_argument, nullptr, Tail},
        {"output-dir", required_argument, nullptr, 'o'},
        {"suffix", no_argument, nullptr, Suffix},
        {"no-suffix", no_argument, nullptr, NoSuffix},
        {"mp3", optional_argument, nullptr, Mp3},
        {"no-mp3", no_argument, nullptr, NoMp3},
        {"soundfont", required_argument, nullptr, SoundFont},
        {"jobs", required_argument, nullptr, 'j'},
        {"skip-existing", no_argument, nullptr, SkipExisting},
        {"shard", required_argument, nullptr, Shard},
        {"report", required_argument, nullptr, Report},
        {"quiet", no_argument, nullptr, Quiet},
        {"help", no_argument, nullptr, 'h'},
        {"version", no_argument, nullptr, Version},
        {nullptr, 0, nullptr, 0},
    };
    ::opterr = 0;
    ::optind = 0; // also starts getopt afresh for a second command line
    for (;;) {
        const int c = ::getopt_long(argc, argv, ":q:o:j:h", longOptions, nullptr);
        if (c == -1)
            break;
        const std::string value = ::optarg ? ::optarg : "";
        switch (c) {
        case 'q':
            quality = value.empty() ? " " : value;
            break;
        case Tail:
            tail = value.empty() ? " " : value;
            break;
        case 'o': {
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
            request.soundFont = value;
            break;
        case 'j':
            request.jobs = int(wholeNumber(value, "--jobs"));
            if (request.jobs < 1 || request.jobs > 1024)
                throw UsageError("--jobs must be between 1 and 1024");
            break;
        case SkipExisting:
            request.skipExisting = true;
            break;
        case Shard:
            shard = value;
            break;
        case Report:
            request.report = value;
            break;
        case Quiet:
            request.quiet = true;
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

    if (!quality.empty()) {
        request.options.quality = parseQuality(quality);
        if (request.options.quality < 0)
            throw UsageError("unknown recording quality \"" + quality +
                             "\": give 0 to 11, or a form such as 44100/16/stereo");
    } else if (request.options.quality < 0 ||
               request.options.quality >= int(kRecordingFormats.size())) {
        throw UsageError("no recording quality is chosen in " + settings + ": give one with -q");
    }

    if (!tail.empty()) {
        char *end = nullptr;
        request.tailSeconds = std::strtod(tail.c_str(), &end);
        if (*end != '\0' || !(request.tailSeconds >= 0 && request.tailSeconds <= kMaxTailSeconds))
            throw UsageError("--tail must be a number of seconds from 0 to 3600, not \"" + tail +
                             "\"");
    } else {
        request.tailSeconds = TailSeconds(request.options);
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
        if (request.options.quality != 0)
            throw UsageError("MP3 encoding needs the high-quality format (-q 0, 44100/16/stereo)");
    } else if (request.options.encode && request.options.quality != 0) {
        // The window would ask; here the settings' encoding gives way.
        request.options.encode = false;
    }

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

    if (::optind >= argc)
        throw UsageError("no MIDI file given");
    for (int i = ::optind, n = 0; i < argc; ++i, ++n)
        if (n % request.shardCount == request.shardIndex)
            request.files.emplace_back(argv[i]);
    return request;
}

} // namespace render
