// kestrune-render's command line: which files to record, and how, over the
// options the window keeps in its settings file.
#pragma once

#include "engine/DeviceConfig.h"
#include "engine/Engine.h"
#include "engine/MidiFile.h"
#include "render/Encoding.h"
#include "render/Loop.h"
#include "settings/Options.h"

#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace render {

/// A command line that cannot be carried out; what() says why.
class UsageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct Request {
    Options options;          // the settings file's, then the command line's
    Encoding encoding;        // what each output is: container, rate, depth, channels
    std::string outputFile;   // -o FILE: the one file's output, named as given
    std::string outputFolder; // -o DIR, as given
    double tailSeconds = 0;   // recorded after the song's end
    bool tailAuto = false;    // --tail auto: until the sound has died away
    bool toStdout = false;    // -o -: the one file's recording to standard output
    bool normalize = false;   // --normalize: to `loudness` LUFS,
    double loudness = -16;    //   its true peak at most `truePeak` dBTP
    double truePeak = -1;
    int jobs = 1;                            // files recorded at once
    bool skipExisting = false;               // leave a file alone whose output exists
    bool keepInterrupted = true;             // --interrupted: keep (or remove) what a crash left
    int shardIndex = 0;                      // this shard takes the files whose hash
    int shardCount = 1;                      //   modulo shardCount is shardIndex
    std::string report;                      // JSON lines, one per file; empty for none
    std::string reportPage;                  // --report-page: the report as a page; empty for none
    std::vector<std::string> fromReports;    // --from-report: the page of these, nothing recorded
    bool check = false;                      // --check: record nothing, prove the set whole
    std::vector<std::string> reports;        // --check: every --report given
    bool quiet = false;                      // no progress, only failures
    std::string soundFont;                   // empty: devices.ini's
    std::vector<std::string> moreSoundFonts; // --soundfont given again: stacked under it
    audio::SynthControls synth;              // what the command line sets over devices.ini's
    std::string base;                        // --base: outputs mirror the folders below it
    audio::TextEncoding textEncoding = audio::TextEncoding::Auto; // of the songs' titles
    bool stems = false;              // --stems: each channel that sounds in a file of its own,
    bool stemsOnly = false;          //   besides the whole song or instead of it,
    bool dryStems = false;           //   dry, with a Reverb and a Chorus return stem
    audio::ChannelParts parts;       // --mute, --solo, --program
    int loops = 0;                   // --loops: the passes of a song's loop; 0: played once
    std::optional<LoopRequest> loop; // --loop: the loop, over the song's own
    double fadeSeconds = 0;          // --fade: on into the loop, fading out; 0: the ending
    bool loopFile = false;           // --loop-file: the intro and one pass, marked as a loop
    bool dither = true;              // --dither off: samples rounded, not dithered
    bool live = false;               // --live: played in real time, recorded from an input
    std::string midiPort;            // --midi-port: the instrument's port over devices.ini's
    std::string input;               // --input: the input it is heard through
    long latency = 0;                // --latency: frames, over [WaveIn] Offset
    bool latencyGiven = false;
    bool calibrate = false;         // --calibrate: measured before the first song
    bool levelCheck = false;        // --level-check: a meter to set levels by, nothing recorded
    std::string reset = "gm";       // --reset: the instrument's reset between songs
    std::vector<std::string> files; // the whole list, every shard's, in the order given
    bool help = false;
    bool version = false;
};

/// Reads the command line over the options of the settings file `settings`
/// (which may be missing), and checks it whole; nothing on disk changes.
/// Raises UsageError.
Request parseCommandLine(int argc, char **argv, const std::string &settings);

/// Makes the output folder -o names, or the folder of -o FILE, with its
/// parents, when missing. Raises UsageError when it cannot be made.
void makeOutputFolders(const Request &request);

/// The files a --files-from list holds: one a line (or NUL-separated),
/// empty entries passed over.
std::vector<std::string> parseList(const std::string &bytes, bool nulSeparated);

/// The key a file is known by in every shard: its path relative to the
/// base folder when one is given (and the file lies below it), else as
/// listed.
std::string listedKey(const Request &request, const std::string &file);

/// Whether `file` is this shard's: a stable 64-bit FNV-1a hash of its key,
/// modulo the shard count, is the shard's index. The same on every machine,
/// in any order of the list, however it is split into commands.
bool inShard(const Request &request, const std::string &file);

/// The folder a file's output goes to, with its trailing "/": the options'
/// folder, and below it the file's own folder relative to the base.
std::string outputFolderOf(const Request &request, const std::string &file);

/// A file's output: -o FILE as given, else in its folder, the song's name
/// without its last four characters, the quality information when asked
/// for, and the container's extension.
std::string outputOf(const Request &request, const std::string &file);

/// A channel as musicians name it, "1" to "16", or "A1" to "D16" with
/// ports (A1 is 1), as 16 × port + channel from 0; -1 for anything else.
int parseChannel(const std::string &text);

/// The help text.
std::string usage();

/// A format index from "0" to "11", or from a rate, bits and channels such
/// as "22050/16/mono" or the list's own text; -1 for anything else.
int parseQuality(const std::string &text);

/// A rate, depth and channels such as "48000/24/stereo" or "96000/float/1"
/// (any rate, 8, 16, 24, 32 bits or float); false for anything else.
bool parseForm(const std::string &text, audio::WaveFormat &format);

/// The short form of a format: "44100/16/stereo".
std::string qualityText(int quality);

} // namespace render
