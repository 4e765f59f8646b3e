// Parsing kestrune-render's options, the quality's text forms and the help.
#include "render/Request.h"

#include "engine/Synthesiser.h"
#include "platform/Paths.h"
#include "platform/profile/Profile.h"
#include "recording/Formats.h"
#include "recording/RunPlan.h"
#include "render/Live.h"
#include "settings/IniFiles.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <getopt.h>
#include <unistd.h>

namespace render {
namespace {

std::string lowerWithoutBlanks(const std::string &text) {
    std::string out;
    for (const unsigned char c : text)
        if (!std::isspace(c))
            out += static_cast<char>(std::tolower(c));
    return out;
}

void eraseAll(std::string &text, const std::string &word) {
    for (auto at = text.find(word); at != std::string::npos; at = text.find(word))
        text.erase(at, word.size());
}

} // namespace

int parseQuality(const std::string &text) {
    const std::string plain = lowerWithoutBlanks(text);
    if (!plain.empty() &&
        std::all_of(plain.begin(), plain.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        const int index = plain.size() <= 2 ? std::atoi(plain.c_str()) : -1;
        return index >= 0 && index < int(kRecordingFormats.size()) ? index : -1;
    }
    // "22050/16/mono", "44100 Hertz / 16 bit / Stereo" and the like.
    std::string form = plain;
    eraseAll(form, "hertz");
    eraseAll(form, "hz");
    eraseAll(form, "bit");
    static const char *const kStereo[] = {"stereo", "2", nullptr};
    static const char *const kMono[] = {"mono", "monaural", "1", nullptr};
    for (std::size_t i = 0; i < kRecordingFormats.size(); ++i) {
        const RecordingFormat &f = kRecordingFormats[i];
        const std::string rate =
            std::to_string(f.sampleRate) + "/" + std::to_string(f.bitsPerSample) + "/";
        for (const char *const *channels = f.channels == 2 ? kStereo : kMono; *channels; ++channels)
            if (form == rate + *channels)
                return int(i);
    }
    return -1;
}

bool parseForm(const std::string &text, audio::WaveFormat &format) {
    std::string form = lowerWithoutBlanks(text);
    eraseAll(form, "hertz");
    eraseAll(form, "hz");
    eraseAll(form, "bit");
    const auto first = form.find('/');
    const auto second = first == std::string::npos ? first : form.find('/', first + 1);
    if (second == std::string::npos)
        return false;
    const std::string rate = form.substr(0, first);
    const std::string depth = form.substr(first + 1, second - first - 1);
    const std::string channels = form.substr(second + 1);
    if (rate.empty() || rate.size() > 6 ||
        !std::all_of(rate.begin(), rate.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return false;
    audio::WaveFormat parsed;
    parsed.sampleRate = std::atoi(rate.c_str());
    if (depth == "float" || depth == "f") {
        parsed.bitsPerSample = 32;
        parsed.floating = true;
    } else if (depth == "8" || depth == "16" || depth == "24" || depth == "32") {
        parsed.bitsPerSample = std::atoi(depth.c_str());
    } else {
        return false;
    }
    if (channels == "stereo" || channels == "2")
        parsed.channels = 2;
    else if (channels == "mono" || channels == "monaural" || channels == "1")
        parsed.channels = 1;
    else
        return false;
    format = parsed;
    return true;
}

std::string qualityText(int quality) {
    if (quality < 0 || quality >= int(kRecordingFormats.size()))
        return "none";
    const RecordingFormat &f = kRecordingFormats[std::size_t(quality)];
    return std::to_string(f.sampleRate) + "/" + std::to_string(f.bitsPerSample) + "/" +
           (f.channels == 2 ? "stereo" : "mono");
}

int parseChannel(const std::string &text) {
    std::string digits = text;
    int port = 0;
    if (!text.empty() && std::isalpha(static_cast<unsigned char>(text[0]))) {
        port = std::toupper(static_cast<unsigned char>(text[0])) - 'A';
        digits = text.substr(1);
    }
    if (port < 0 || port >= audio::kMaxPorts || digits.empty() || digits.size() > 2 ||
        !std::all_of(digits.begin(), digits.end(), [](char ch) { return ch >= '0' && ch <= '9'; }))
        return -1;
    const int number = std::stoi(digits);
    return number >= 1 && number <= 16 ? 16 * port + number - 1 : -1;
}

std::vector<std::string> parseList(const std::string &bytes, bool nulSeparated) {
    const char separator = nulSeparated ? '\0' : '\n';
    std::vector<std::string> files;
    std::size_t from = 0;
    while (from <= bytes.size()) {
        const auto end = std::min(bytes.find(separator, from), bytes.size());
        if (end > from)
            files.push_back(bytes.substr(from, end - from));
        from = end + 1;
    }
    return files;
}

namespace {

// 64-bit FNV-1a: small, fast, and the same everywhere.
std::uint64_t fnv1a(const std::string &text) {
    std::uint64_t hash = 0xcbf29ce484222325ull;
    for (const char c : text) {
        hash ^= static_cast<unsigned char>(c);
        hash *= 0x100000001b3ull;
    }
    return hash;
}

} // namespace

namespace {

// The path of `file` relative to the base folder; false when there is no
// base or the file does not lie below it.
bool belowBase(const Request &request, const std::string &file, std::string &relative) {
    if (request.base.empty())
        return false;
    namespace fs = std::filesystem;
    const fs::path below =
        fs::absolute(fs::path(file))
            .lexically_normal()
            .lexically_relative(fs::absolute(fs::path(request.base)).lexically_normal());
    if (below.empty() || *below.begin() == "..")
        return false;
    relative = below.string();
    return true;
}

} // namespace

std::string listedKey(const Request &request, const std::string &file) {
    std::string relative;
    return belowBase(request, file, relative) ? relative : file;
}

bool inShard(const Request &request, const std::string &file) {
    return fnv1a(listedKey(request, file)) % std::uint64_t(request.shardCount) ==
           std::uint64_t(request.shardIndex);
}

std::string outputOf(const Request &request, const std::string &file) {
    if (!request.outputFile.empty())
        return request.outputFile;
    // The last four characters are the song's extension (".mid").
    std::string name = file.substr(file.rfind('/') + 1);
    name.resize(name.size() > 4 ? name.size() - 4 : 0);
    if (request.options.qualityInName)
        name += qualityTag(request.encoding);
    return outputFolderOf(request, file) + name + extensionOf(request.encoding.container);
}

std::string outputFolderOf(const Request &request, const std::string &file) {
    std::string folder = OutputFolder(request.options, file);
    std::string relative;
    if (!request.options.preferDirectory || !belowBase(request, file, relative))
        return folder;
    const auto slash = relative.rfind('/');
    if (slash != std::string::npos)
        folder += relative.substr(0, slash + 1);
    return folder;
}

} // namespace render
