// Output naming, the tail, the encoder's call and the guard of the song.
#include "recording/RunPlan.h"

#include "platform/Exception.h"
#include "recording/Formats.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>
#include <vector>

namespace {

// Everything up to and including the last "/"; empty when there is none.
std::string folderOf(const std::string &path) {
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

} // namespace

std::string TemplateBaseNameOf(int quality) {
    char digits[16];
    std::snprintf(digits, sizeof digits, quality < 0 ? "-%02d" : "%02d", std::abs(quality));
    return std::string("KWQF00") + digits;
}

std::string OutputFolder(const Options &options, const std::string &song) {
    if (options.preferDirectory && !options.directory.empty())
        return folderOf(options.directory);
    return folderOf(song);
}

std::string OutputName(const Options &options, const std::string &song) {
    // The last four characters are the extension (".mid"); they are cut from
    // the file's name only, never from its folder.
    std::string name = song.substr(folderOf(song).size());
    name.resize(name.size() > 4 ? name.size() - 4 : 0);
    if (options.qualityInName) {
        if (const RecordingFormat *format = FormatOf(options.quality))
            name += format->qualitySuffix;
        return name;
    }
    return name + ".wav";
}

std::string Mp3PathOf(const std::string &wave) {
    return wave.substr(0, wave.size() >= 4 ? wave.size() - 4 : 0) + ".mp3";
}

std::int64_t BatchRecordingFrames(std::int64_t songFrames, int engineRate, int rate,
                                  double tailSeconds) {
    return (songFrames * rate + engineRate - 1) / engineRate + std::llround(tailSeconds * rate);
}

int TailSeconds(const Options &options) {
    return options.delay && options.delaySeconds > 0 ? options.delaySeconds : 0;
}

bool EncoderRuns(const Options &options) {
    struct stat st {};
    return options.encode && !options.encoder.empty() &&
           ::stat(options.encoder.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

ProcessHandle StartEncoder(const Options &options, const std::string &wave, const std::string &mp3,
                           int output) {
    // The two paths go to the encoder whole, whatever blanks or quotes they hold.
    return ExecProcess(options.encoder, {wave, mp3}, "", output);
}

namespace {

// The length in bytes of the MPEG audio frame whose header starts at `h`,
// or 0 when those four bytes are no frame header.
std::size_t mpegFrameLength(const unsigned char *h) {
    if (h[0] != 0xFF || (h[1] & 0xE0) != 0xE0)
        return 0;
    const int version = (h[1] >> 3) & 3; // 0: 2.5, 2: 2, 3: 1
    const int layer = (h[1] >> 1) & 3;   // 1: III, 2: II, 3: I
    const int bitrateIndex = h[2] >> 4;
    const int rateIndex = (h[2] >> 2) & 3;
    if (version == 1 || layer == 0 || bitrateIndex == 0 || bitrateIndex == 15 || rateIndex == 3)
        return 0;
    static const int kbps[5][15] = {
        {0, 32, 64, 96, 128, 160, 192, 224, 256, 288, 320, 352, 384, 416, 448}, // 1, I
        {0, 32, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 384},    // 1, II
        {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320},     // 1, III
        {0, 32, 48, 56, 64, 80, 96, 112, 128, 144, 160, 176, 192, 224, 256},    // 2, I
        {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160}};        // 2, II and III
    static const int rates[3] = {44100, 48000, 32000};
    const bool one = version == 3;
    const int table = one ? 3 - layer : (layer == 3 ? 3 : 4);
    const long bitrate = kbps[table][bitrateIndex] * 1000L;
    const long rate = rates[rateIndex] >> (one ? 0 : version == 2 ? 1 : 2);
    const long padding = (h[2] >> 1) & 1;
    if (layer == 3)
        return std::size_t((12 * bitrate / rate + padding) * 4);
    return std::size_t((layer == 1 && !one ? 72 : 144) * bitrate / rate + padding);
}

} // namespace

bool HoldsMpegAudio(const std::string &path) {
    std::FILE *file = std::fopen(path.c_str(), "rb");
    if (!file)
        return false;
    // The first frame stands at the start, or right after an ID3v2 tag
    // (its size in four 7-bit bytes, after a 10-byte header).
    long at = 0;
    unsigned char tag[10];
    if (std::fread(tag, 1, sizeof tag, file) == sizeof tag && std::memcmp(tag, "ID3", 3) == 0)
        at = 10 + (long(tag[6] & 0x7F) << 21 | long(tag[7] & 0x7F) << 14 |
                   long(tag[8] & 0x7F) << 7 | long(tag[9] & 0x7F));
    std::vector<unsigned char> head(8192);
    head.resize(std::fseek(file, at, SEEK_SET) == 0 ? std::fread(head.data(), 1, head.size(), file)
                                                    : 0);
    std::fclose(file);
    // A frame header, and where its frame ends, the next one or the end of
    // the file: a few bytes that look like a header by chance do not count.
    const std::size_t length = head.size() >= 4 ? mpegFrameLength(head.data()) : 0;
    if (length < 4)
        return false;
    if (length == head.size())
        return true;
    return length + 4 <= head.size() && mpegFrameLength(head.data() + length) != 0 &&
           ((head[1] ^ head[length + 1]) & 0x1E) == 0 && ((head[2] ^ head[length + 2]) & 0x0C) == 0;
}

void RefuseSongAsOutput(const std::string &output, const std::string &song) {
    struct stat a {};
    struct stat b {};
    if (::stat(output.c_str(), &a) == 0 && ::stat(song.c_str(), &b) == 0 && a.st_dev == b.st_dev &&
        a.st_ino == b.st_ino)
        throw Exception("\"" + output +
                        "\" is the MIDI file chosen for recording, and the recording would "
                        "replace it. Tick \"Put Quality Information on WAVE File Name\" or "
                        "choose a WAVE file directory of your own");
}
