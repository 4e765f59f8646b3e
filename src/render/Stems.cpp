// Stem outputs: which channels sound, and the names of their files.
#include "render/Stems.h"

#include "engine/Engine.h"
#include "engine/MidiFile.h"

#include <algorithm>
#include <cstdio>
#include <string_view>

namespace render {
namespace {

const char *const kGeneralMidi[128] = {
    "Acoustic Grand Piano",
    "Bright Acoustic Piano",
    "Electric Grand Piano",
    "Honky-tonk Piano",
    "Electric Piano 1",
    "Electric Piano 2",
    "Harpsichord",
    "Clavinet",
    "Celesta",
    "Glockenspiel",
    "Music Box",
    "Vibraphone",
    "Marimba",
    "Xylophone",
    "Tubular Bells",
    "Dulcimer",
    "Drawbar Organ",
    "Percussive Organ",
    "Rock Organ",
    "Church Organ",
    "Reed Organ",
    "Accordion",
    "Harmonica",
    "Tango Accordion",
    "Acoustic Guitar (nylon)",
    "Acoustic Guitar (steel)",
    "Electric Guitar (jazz)",
    "Electric Guitar (clean)",
    "Electric Guitar (muted)",
    "Overdriven Guitar",
    "Distortion Guitar",
    "Guitar Harmonics",
    "Acoustic Bass",
    "Electric Bass (finger)",
    "Electric Bass (pick)",
    "Fretless Bass",
    "Slap Bass 1",
    "Slap Bass 2",
    "Synth Bass 1",
    "Synth Bass 2",
    "Violin",
    "Viola",
    "Cello",
    "Contrabass",
    "Tremolo Strings",
    "Pizzicato Strings",
    "Orchestral Harp",
    "Timpani",
    "String Ensemble 1",
    "String Ensemble 2",
    "Synth Strings 1",
    "Synth Strings 2",
    "Choir Aahs",
    "Voice Oohs",
    "Synth Voice",
    "Orchestra Hit",
    "Trumpet",
    "Trombone",
    "Tuba",
    "Muted Trumpet",
    "French Horn",
    "Brass Section",
    "Synth Brass 1",
    "Synth Brass 2",
    "Soprano Sax",
    "Alto Sax",
    "Tenor Sax",
    "Baritone Sax",
    "Oboe",
    "English Horn",
    "Bassoon",
    "Clarinet",
    "Piccolo",
    "Flute",
    "Recorder",
    "Pan Flute",
    "Blown Bottle",
    "Shakuhachi",
    "Whistle",
    "Ocarina",
    "Lead 1 (square)",
    "Lead 2 (sawtooth)",
    "Lead 3 (calliope)",
    "Lead 4 (chiff)",
    "Lead 5 (charang)",
    "Lead 6 (voice)",
    "Lead 7 (fifths)",
    "Lead 8 (bass + lead)",
    "Pad 1 (new age)",
    "Pad 2 (warm)",
    "Pad 3 (polysynth)",
    "Pad 4 (choir)",
    "Pad 5 (bowed)",
    "Pad 6 (metallic)",
    "Pad 7 (halo)",
    "Pad 8 (sweep)",
    "FX 1 (rain)",
    "FX 2 (soundtrack)",
    "FX 3 (crystal)",
    "FX 4 (atmosphere)",
    "FX 5 (brightness)",
    "FX 6 (goblins)",
    "FX 7 (echoes)",
    "FX 8 (sci-fi)",
    "Sitar",
    "Banjo",
    "Shamisen",
    "Koto",
    "Kalimba",
    "Bag pipe",
    "Fiddle",
    "Shanai",
    "Tinkle Bell",
    "Agogo",
    "Steel Drums",
    "Woodblock",
    "Taiko Drum",
    "Melodic Tom",
    "Synth Drum",
    "Reverse Cymbal",
    "Guitar Fret Noise",
    "Breath Noise",
    "Seashore",
    "Bird Tweet",
    "Telephone Ring",
    "Helicopter",
    "Applause",
    "Gunshot",
};

} // namespace

const char *generalMidiName(int program) {
    return program >= 0 && program < 128 ? kGeneralMidi[program] : "Unknown";
}

std::string stemFolderOf(const std::string &output) {
    const std::size_t slash = output.rfind('/');
    const std::size_t dot = output.rfind('.');
    const bool extension =
        dot != std::string::npos && (slash == std::string::npos || dot > slash + 1);
    return (extension ? output.substr(0, dot) : output) + ".stems/";
}

std::string safeFileName(const std::string &name) {
    std::string safe;
    for (const char ch : name) {
        const auto c = static_cast<unsigned char>(ch);
        const bool reserved = c < 0x20 || c == 0x7F ||
                              std::string_view("/\\:*?\"<>|").find(ch) != std::string_view::npos;
        safe += reserved ? '_' : ch;
    }
    // At most 120 bytes, cut before a character's continuation bytes.
    if (safe.size() > 120) {
        std::size_t cut = 120;
        while (cut > 0 && (static_cast<unsigned char>(safe[cut]) & 0xC0) == 0x80)
            --cut;
        safe.resize(cut);
    }
    // Windows drops blanks and dots at a name's end; a name that is only
    // those (or "." and "..") names nothing.
    while (!safe.empty() && (safe.back() == ' ' || safe.back() == '.'))
        safe.pop_back();
    return safe;
}

std::vector<StemOutput> stemOutputsOf(const Request &request, const std::string &file,
                                      const std::string &output) {
    try {
        return stemOutputsOf(request, audio::readMidiFile(file), output);
    } catch (const std::exception &) {
        return {};
    }
}

std::vector<StemOutput> stemOutputsOf(const Request &request, const audio::MidiSong &song,
                                      const std::string &output) {
    const std::string folder = stemFolderOf(output);
    const std::size_t dot = output.rfind('.');
    const std::string extension = dot == std::string::npos ? std::string() : output.substr(dot);
    std::vector<StemOutput> stems;
    for (std::size_t c = 0; c < song.channels.size(); ++c) {
        const audio::SongChannel &channel = song.channels[c];
        if (!channel.sounds)
            continue;
        // A track's name names the part it plays: only when it plays this
        // channel alone (in a format-0 file, the one track is the song).
        std::string plays;
        if (channel.track >= 0 && song.trackChannels[std::size_t(channel.track)] == std::uint64_t(1)
                                                                                        << c)
            plays = safeFileName(audio::decodeMetaText(song.trackNames[std::size_t(channel.track)],
                                                       request.textEncoding));
        if (plays.empty())
            plays = c % 16 == 9 ? "Drums" : generalMidiName(std::max(channel.program, 0));
        char number[8];
        std::snprintf(number, sizeof number, "%02d", int(c % 16) + 1);
        const std::string port = song.ports > 1 ? std::string(1, char('A' + c / 16)) : "";
        stems.push_back(StemOutput{int(c), folder + port + number + " " + plays + extension});
    }
    // Dry: the shared reverb's and chorus's returns, after the channels.
    if (request.dryStems) {
        const int channels = int(song.channels.size());
        stems.push_back(StemOutput{channels, folder + "Reverb" + extension});
        stems.push_back(StemOutput{channels + 1, folder + "Chorus" + extension});
    }
    return stems;
}

} // namespace render
