// The twelve recording formats: their list texts, WAVE formats and the
// quality suffixes of output names. Index 0 is the high-quality format.
#pragma once

#include "engine/WaveFile.h"

#include <array>

struct RecordingFormat {
    const char *listText;
    int sampleRate;
    int bitsPerSample;
    int channels;
    const char *qualitySuffix;
};

inline constexpr std::array<RecordingFormat, 12> kRecordingFormats = {{
    {"44100 Hertz / 16 bit / Stereo", 44100, 16, 2, "_44100162.wav"},
    {"44100 Hertz / 16 bit / Monaural", 44100, 16, 1, "_44100161.wav"},
    {"44100 Hertz /  8 bit / Stereo", 44100, 8, 2, "_44100082.wav"},
    {"44100 Hertz /  8 bit / Monaural", 44100, 8, 1, "_44100081.wav"},
    {"22050 Hertz / 16 bit / Stereo", 22050, 16, 2, "_22050162.wav"},
    {"22050 Hertz / 16 bit / Monaural", 22050, 16, 1, "_22050161.wav"},
    {"22050 Hertz /  8 bit / Stereo", 22050, 8, 2, "_22050082.wav"},
    {"22050 Hertz /  8 bit / Monaural", 22050, 8, 1, "_22050081.wav"},
    {"11025 Hertz / 16 bit / Stereo", 11025, 16, 2, "_11025162.wav"},
    {"11025 Hertz / 16 bit / Monaural", 11025, 16, 1, "_11025161.wav"},
    {"11025 Hertz /  8 bit / Stereo", 11025, 8, 2, "_11025082.wav"},
    {"11025 Hertz /  8 bit / Monaural", 11025, 8, 1, "_11025081.wav"},
}};

/// The format of index `quality`, or null for an index outside the table
/// (-1: no format chosen).
inline const RecordingFormat *FormatOf(int quality) {
    return quality >= 0 && quality < int(kRecordingFormats.size())
               ? &kRecordingFormats[std::size_t(quality)]
               : nullptr;
}

/// The WAVE format of one of them.
inline audio::WaveFormat waveFormatOf(const RecordingFormat &format) {
    return audio::WaveFormat{format.sampleRate, format.channels, format.bitsPerSample};
}
