// The containers kestrune-render writes through libsndfile, what each takes,
// and how an output is named and described.
#include "render/Encoding.h"

#include "engine/Synthesiser.h"
#include "recording/Formats.h"

#include <sndfile.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdio>
#include <cstring>

namespace render {
namespace {

struct ContainerInfo {
    Container container;
    const char *name;
    const char *extension;
    int major;
};

constexpr std::array<ContainerInfo, 8> kContainers = {{
    {Container::Wav, "wav", ".wav", SF_FORMAT_WAV},
    {Container::Rf64, "rf64", ".wav", SF_FORMAT_RF64},
    {Container::W64, "w64", ".w64", SF_FORMAT_W64},
    {Container::Flac, "flac", ".flac", SF_FORMAT_FLAC},
    {Container::Ogg, "ogg", ".ogg", SF_FORMAT_OGG},
    {Container::Opus, "opus", ".opus", SF_FORMAT_OGG},
    {Container::Aiff, "aiff", ".aiff", SF_FORMAT_AIFF},
    {Container::Mp3, "mp3", ".mp3", SF_FORMAT_MPEG},
}};

const ContainerInfo &infoOf(Container container) {
    return kContainers[std::size_t(container)];
}

std::string lower(std::string text) {
    for (char &c : text)
        c = char(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

// The rates Opus encodes at, and those of MPEG audio.
constexpr std::array<int, 5> kOpusRates = {8000, 12000, 16000, 24000, 48000};
constexpr std::array<int, 9> kMp3Rates = {8000,  11025, 12000, 16000, 22050,
                                          24000, 32000, 44100, 48000};

template <std::size_t N> bool among(const std::array<int, N> &rates, int rate) {
    return std::find(rates.begin(), rates.end(), rate) != rates.end();
}

template <std::size_t N> std::string listOf(const std::array<int, N> &rates) {
    std::string text;
    for (std::size_t i = 0; i < N; ++i)
        text += (i == 0 ? "" : i + 1 == N ? " or " : ", ") + std::to_string(rates[i]);
    return text;
}

std::string depthText(const audio::WaveFormat &format) {
    return format.floating ? "float" : std::to_string(format.bitsPerSample);
}

} // namespace

int Encoding::windowFormat() const {
    if (container != Container::Wav || format.floating)
        return -1;
    for (std::size_t i = 0; i < kRecordingFormats.size(); ++i)
        if (format == waveFormatOf(kRecordingFormats[i]))
            return int(i);
    return -1;
}

audio::WaveFormat Encoding::recordingFormat() const {
    if (!lossy())
        return format;
    return audio::WaveFormat{format.sampleRate, format.channels, 32, true};
}

int Encoding::engineRate() const {
    if (windowFormat() >= 0)
        return audio::kSampleRate;
    return std::clamp(format.sampleRate, audio::Synthesiser::kMinSampleRate,
                      audio::Synthesiser::kMaxSampleRate);
}

const char *containerName(Container container) {
    return infoOf(container).name;
}

bool containerNamed(const std::string &name, Container &container) {
    for (const ContainerInfo &info : kContainers)
        if (lower(name) == info.name) {
            container = info.container;
            return true;
        }
    return false;
}

bool containerOfPath(const std::string &path, Container &container) {
    const auto dot = path.rfind('.');
    if (dot == std::string::npos || path.find('/', dot) != std::string::npos)
        return false;
    const std::string extension = lower(path.substr(dot + 1));
    if (extension == "oga") {
        container = Container::Ogg;
        return true;
    }
    if (extension == "aif") {
        container = Container::Aiff;
        return true;
    }
    for (const ContainerInfo &info : kContainers)
        if (extension == info.name) {
            container = info.container;
            return true;
        }
    return false;
}

const char *extensionOf(Container container) {
    return infoOf(container).extension;
}

bool takesRate(Container container, int rate) {
    if (container == Container::Opus)
        return among(kOpusRates, rate);
    if (container == Container::Mp3)
        return among(kMp3Rates, rate);
    return true;
}

std::string encodingProblem(const Encoding &encoding) {
    const audio::WaveFormat &f = encoding.format;
    const std::string name = containerName(encoding.container);
    if (f.sampleRate < 8000 || f.sampleRate > 192000)
        return "the rate must be from 8000 to 192000 Hz, not " + std::to_string(f.sampleRate);
    if (f.channels != 1 && f.channels != 2)
        return "only mono and stereo can be recorded";
    if (encoding.container == Container::Opus && !takesRate(encoding.container, f.sampleRate))
        return "Opus takes only " + listOf(kOpusRates) + " Hz, not " + std::to_string(f.sampleRate);
    if (encoding.container == Container::Mp3 && !takesRate(encoding.container, f.sampleRate))
        return "MP3 takes only " + listOf(kMp3Rates) + " Hz, not " + std::to_string(f.sampleRate);
    if (encoding.container == Container::Flac && (f.floating || f.bitsPerSample > 24))
        return "FLAC holds 8, 16 or 24 bits, not " + depthText(f);
    return {};
}

std::string encodingText(const Encoding &encoding) {
    const audio::WaveFormat &f = encoding.format;
    const std::string channels = f.channels == 2 ? "stereo" : "mono";
    const std::string rate = std::to_string(f.sampleRate) + "/";
    if (encoding.lossy())
        return std::string(containerName(encoding.container)) + " " + rate + channels;
    const std::string text = rate + depthText(f) + "/" + channels;
    if (encoding.container == Container::Wav)
        return text;
    return std::string(containerName(encoding.container)) + " " + text;
}

std::string qualityTag(const Encoding &encoding) {
    if (const RecordingFormat *window = FormatOf(encoding.windowFormat())) {
        const std::string suffix = window->qualitySuffix;
        return suffix.substr(0, suffix.size() - 4);
    }
    const audio::WaveFormat &f = encoding.format;
    char depth[8];
    if (f.floating || encoding.lossy())
        std::strcpy(depth, "fl");
    else
        std::snprintf(depth, sizeof depth, "%02d", f.bitsPerSample);
    return "_" + std::to_string(f.sampleRate) + depth + std::to_string(f.channels);
}

int sndfileFormat(const Encoding &encoding) {
    const int major = infoOf(encoding.container).major;
    switch (encoding.container) {
    case Container::Ogg:
        return major | SF_FORMAT_VORBIS;
    case Container::Opus:
        return major | SF_FORMAT_OPUS;
    case Container::Mp3:
        return major | SF_FORMAT_MPEG_LAYER_III;
    default:
        break;
    }
    const audio::WaveFormat &f = encoding.format;
    if (f.floating)
        return major | SF_FORMAT_FLOAT;
    switch (f.bitsPerSample) {
    case 8:
        // WAVE's 8 bits are unsigned; the others' signed.
        return major |
               (encoding.container == Container::Wav || encoding.container == Container::Rf64 ||
                        encoding.container == Container::W64
                    ? SF_FORMAT_PCM_U8
                    : SF_FORMAT_PCM_S8);
    case 24:
        return major | SF_FORMAT_PCM_24;
    case 32:
        return major | SF_FORMAT_PCM_32;
    default:
        return major | SF_FORMAT_PCM_16;
    }
}

} // namespace render
