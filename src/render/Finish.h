// The last step of a render: the whole recording, a WAVE file in its
// in-progress file, becomes the output, measured, brought to a loudness if
// asked, tagged with the song's name, in the container asked for.
#pragma once

#include "engine/Levels.h"
#include "engine/MidiFile.h"
#include "engine/WaveInput.h"
#include "render/Encoding.h"
#include "render/LoopFile.h"

#include <memory>
#include <optional>
#include <string>
#include <vector>

typedef struct sf_private_tag SNDFILE;

namespace render {

/// What the output is tagged with.
struct Tags {
    std::string title;     // the song's first track name, else its file name
    std::string copyright; // its copyright notice; empty for none
};

/// The tags of the MIDI file `file`, read as `song` (null when it cannot be
/// read: only its file name), its text read as `encoding` says.
Tags tagsOf(const std::string &file, const audio::MidiSong *song, audio::TextEncoding encoding);

/// How the output is written.
struct FinishPlan {
    Encoding encoding;
    Tags tags;
    bool normalize = false; // to `loudness` LUFS, its true peak at most `truePeak` dBTP
    double loudness = -16;
    double truePeak = -1;
    /// The recording's levels when they were measured as it was made;
    /// otherwise it is read again for them where they are needed.
    std::optional<audio::Levels> recorded;
    /// A gain given, in dB, instead of one found by `normalize` (the stems
    /// get the whole song's, so that they still add up to it).
    std::optional<double> gainDb;
    /// --loop-file: the output is the recording's intro and one pass of its
    /// loop, marked as a loop.
    std::optional<LoopFrames> loop;
};

/// What came of it.
struct Finished {
    audio::Levels levels; // what the output holds (lossy: what the codec was given)
    bool measured = false;
    double gainDb = 0; // the normalising gain given
};

/// Writes the WAVE file `recording` into `output`, whole or not at all:
/// a WAVE file in the recording's own format is tagged where it lies and
/// renamed (no copy); anything else is written beside `output` through
/// libsndfile, synced, and renamed over it. Returns empty on success, else
/// why not; the recording is left as it was.
std::string finishOutput(const std::string &recording, const std::string &output,
                         const FinishPlan &plan, Finished &finished);

/// Measures what a recording holds as it is written. A tap that `keeps`
/// what it is given measures it in measureTogether() (or levels()), two
/// taps at a time, which costs less than each alone: the taps of a song's
/// stems, written on one thread, are measured so.
class LevelTap : public audio::RecordingTap {
public:
    explicit LevelTap(const audio::WaveFormat &format, bool keeps = false);
    void written(const float *samples, const std::int32_t *pcm, std::size_t frames) override;
    bool ok() const { return meter_.ok(); }
    audio::Levels levels();
    /// Measures what `taps` kept, on the thread they are written on.
    static void measureTogether(const std::vector<LevelTap *> &taps);

private:
    void measureKept();

    audio::LevelMeter meter_;
    bool keeps_;
    std::vector<float> kept_; // interleaved frames not yet measured
};

/// An output in a lossless container other than WAVE (FLAC, AIFF, W64,
/// RF64), written while the recording is made, so that the recording need
/// not be read again: beside the output under a temporary name (locked, and
/// so no leftover while the program lives) until finish() renames it into
/// place. The recording itself stays the crash-safe copy meanwhile. One
/// not finished is removed.
class StreamedOutput : public audio::RecordingTap {
public:
    ~StreamedOutput() override;
    /// Whether `plan`'s output can be written so (a lossless container, no
    /// gain to find first).
    static bool suits(const FinishPlan &plan);
    /// Opens it beside `output` for samples of `format`; false (nothing
    /// made) when it cannot be.
    bool open(const std::string &output, const audio::WaveFormat &format, const FinishPlan &plan);
    void written(const float *samples, const std::int32_t *pcm, std::size_t frames) override;
    /// Ends it, syncs it and renames it over `output`; empty on success,
    /// else why not (nothing is left then).
    std::string finish(const std::string &output, Finished &finished);

private:
    void discard();

    std::string temp_;
    int fd_ = -1;
    SNDFILE *file_ = nullptr;
    std::unique_ptr<audio::LevelMeter> meter_;
    std::string error_;
};

/// Appends a RIFF INFO list with `tags` to the whole WAVE (or RF64) file
/// `path`, counted in its RIFF size, and syncs it. Why it cannot, or empty.
std::string appendWaveTags(const std::string &path, const Tags &tags);

} // namespace render
