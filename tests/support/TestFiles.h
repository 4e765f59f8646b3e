// Temporary folders, files, WAVE reading and outside programs for tests.
#pragma once

#include "engine/WaveFile.h"
#include "support/MidiWriter.h"

#include <string>
#include <vector>

namespace test {

/// A temporary folder removed with its content at the end of the test.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;
    /// The full path of `name` inside the folder.
    std::string path(const std::string &name) const;
    std::string root() const;
    /// The names of the entries in the folder, hidden ones too, sorted.
    std::vector<std::string> entries() const;
    /// The same for any folder.
    static std::vector<std::string> entriesOf(const std::string &folder);

private:
    std::string root_;
};

void writeFile(const std::string &path, const Bytes &bytes);
/// A whole file's bytes; empty when it cannot be read.
std::string readFile(const std::string &path);

/// Writes a WAVE file with no sample frames in `format` (a recording template).
void writeTemplate(const std::string &path, const audio::WaveFormat &format);

/// A WAVE file read back: its format and its samples as floats in [-1, 1].
struct WaveData {
    audio::WaveFormat format;
    int container = 0;          // libsndfile's major format code
    int subFormat = 0;          // libsndfile's subformat code
    std::vector<float> samples; // interleaved
    long long frames() const { return (long long)samples.size() / format.channels; }
    /// Root mean square of channel-averaged samples between two times.
    double rms(double fromSeconds, double toSeconds) const;
};
WaveData readWave(const std::string &path);
/// The sample data of a canonical 44-byte-header WAVE file, as stored.
std::string waveBytes(const std::string &path);

/// How alike two recordings of the same music sound: the correlation of
/// their loudness in steps of `window` frames (10 ms unless told;
/// interleaved stereo, the left channel), with frame i + shift of `b`
/// against frame i of `a`, at the shift from `least` to `most` (in `step`s)
/// that suits best.
double envelopeCorrelation(const std::vector<float> &a, const std::vector<float> &b,
                           long long least, long long most, long long step = 147,
                           long long window = 441);

/// The program's settings file beside the test program: removed when the
/// test starts and when it ends, so that every test starts without one.
class SettingsFile {
public:
    SettingsFile();
    ~SettingsFile();
    const std::string &path() const { return path_; }
    void write(const std::string &text) const;
    std::string read() const;

private:
    std::string path_;
};

/// What a program that ran to its end did.
struct Ran {
    int exit = -1;      // its exit status, or -1 when a signal ended it
    std::string output; // what it wrote to its standard output
    std::string said;   // and to its standard error
};
/// Runs `command` (no shell) in `folder` (empty: here), with nothing on its
/// standard input, and waits for it.
Ran runProgram(const std::vector<std::string> &command, const std::string &folder = {});

} // namespace test
