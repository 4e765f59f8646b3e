// What kestrune-render writes: a container (WAVE and its larger kin, FLAC,
// Ogg Vorbis, Opus, AIFF, MP3), a rate, a depth and the channels, and the
// names and checks that go with them.
#pragma once

#include "engine/WaveFile.h"

#include <string>

namespace render {

enum class Container { Wav, Rf64, W64, Flac, Ogg, Opus, Aiff, Mp3 };

struct Encoding {
    Container container = Container::Wav;
    /// The samples' rate, channels and depth. Lossy containers take the
    /// recording as 32-bit float and choose their own depth.
    audio::WaveFormat format;

    bool lossy() const {
        return container == Container::Ogg || container == Container::Opus ||
               container == Container::Mp3;
    }
    /// The window's format index when the output is a WAVE file in one of
    /// its twelve formats (made as the window makes it), else -1.
    int windowFormat() const;
    /// The WAVE format the recording is made in before it is written out.
    audio::WaveFormat recordingFormat() const;
    /// The rate the synthesiser renders at: the window's 44100 for its
    /// formats, the output's rate where FluidSynth can render it, else the
    /// nearest it can (and the recorder resamples).
    int engineRate() const;
};

/// "wav", "flac", ...; and back (false for none of them).
const char *containerName(Container container);
bool containerNamed(const std::string &name, Container &container);
/// The container a file name's extension names (".wav", ".flac", ".oga",
/// ".aif", ...); false for none.
bool containerOfPath(const std::string &path, Container &container);
/// The extension outputs get: ".wav", ".flac", ...
const char *extensionOf(Container container);

/// Whether `container` can hold audio at `rate` (Opus and MP3 take only a few rates).
bool takesRate(Container container, int rate);

/// Why `encoding` cannot be written (a rate the container does not take, a
/// depth it cannot hold); empty when it can.
std::string encodingProblem(const Encoding &encoding);

/// "48000/24/stereo", "44100/float/mono"; the container's name before it
/// when it is not WAVE ("flac 48000/24/stereo"). Lossy: "ogg 48000/stereo".
std::string encodingText(const Encoding &encoding);

/// The quality information in an output's name: the window's suffix
/// without its ".wav" for its formats, else "_" and the rate, the depth in
/// two digits ("fl" for float) and the channels.
std::string qualityTag(const Encoding &encoding);

/// libsndfile's format for it.
int sndfileFormat(const Encoding &encoding);

} // namespace render
