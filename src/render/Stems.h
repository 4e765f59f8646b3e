// Stems: each channel a song plays, recorded on its own into a file of its
// own in a folder named after the song's output.
#pragma once

#include "render/Request.h"

#include <string>
#include <vector>

namespace render {

struct StemOutput {
    int channel = 0;  // 16 × port + channel, from 0
    std::string path; // e.g. "OUT/song.stems/01 Acoustic Grand Piano.flac"
};

/// The stems of `file`, whose output is `output`: one for each channel that
/// plays a note, in channel order, named by its channel and what plays on
/// it: the name of the one track that uses it, when that track uses no
/// other channel; else "Drums" on a drum channel; else its first program's
/// General MIDI name. With dry stems, then "Reverb" and "Chorus": the
/// returns of the effects the channels share. Empty when the song cannot
/// be read (its recording says why).
std::vector<StemOutput> stemOutputsOf(const Request &request, const std::string &file,
                                      const std::string &output);
/// The same for `song`, read already.
std::vector<StemOutput> stemOutputsOf(const Request &request, const audio::MidiSong &song,
                                      const std::string &output);

/// The folder the stems of `output` go into: its name without its
/// extension, then ".stems/".
std::string stemFolderOf(const std::string &output);

/// `name` made safe as a file name on every file system: no path
/// separators, reserved or control characters, no blanks or dots at its
/// end, at most 120 bytes (whole UTF-8 characters).
std::string safeFileName(const std::string &name);

/// The General MIDI name of program `program` (0-127).
const char *generalMidiName(int program);

} // namespace render
