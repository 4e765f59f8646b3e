// kestrune-render's command line: which files to record, and how, over the
// options the window keeps in its settings file.
#pragma once

#include "settings/Options.h"

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
    Options options;                // the settings file's, then the command line's
    double tailSeconds = 0;         // recorded after the song's end
    int jobs = 1;                   // files recorded at once
    bool skipExisting = false;      // leave a file alone whose output exists
    int shardIndex = 0;             // this shard takes every shardCount-th file
    int shardCount = 1;             //   from shardIndex on
    std::string report;             // JSON lines, one per file; empty for none
    bool quiet = false;             // no progress, only failures
    std::string soundFont;          // empty: devices.ini's
    std::vector<std::string> files; // this shard's files, in the order given
    bool help = false;
    bool version = false;
};

/// Reads the command line over the options of the settings file `settings`
/// (which may be missing). Raises UsageError.
Request parseCommandLine(int argc, char **argv, const std::string &settings);

/// The help text.
std::string usage();

/// A format index from "0" to "11", or from a rate, bits and channels such
/// as "22050/16/mono" or the list's own text; -1 for anything else.
int parseQuality(const std::string &text);

/// The short form of a format: "44100/16/stereo".
std::string qualityText(int quality);

} // namespace render
